#include "remote/ServedBridge.h"

#include <charconv>
#include <cstring>

#include "remote/Endpoint.h"
#include "settings/NumberText.h"

namespace irisdesk::remote {
namespace {

// A served answer comes from a cache in the serving process, within a millisecond or
// so: a serving process stopped (in a debugger, say) costs each listing this long.
constexpr std::chrono::milliseconds kAnswerTimeout{300};

struct Handle {
  std::unique_ptr<Client> client;
  std::vector<uint8_t> received;
};

Handle* Open(FT_HANDLE handle) { return static_cast<Handle*>(handle); }

// Three SCPI strings separated by commas, as SYSTem:CONTroller? gives them.
std::optional<ControllerEntry> ParseController(std::string_view text) {
  std::vector<std::string> fields;
  size_t i = 0;
  while (fields.size() < 3) {
    if (i >= text.size() || text[i] != '"') return std::nullopt;
    std::string field;
    for (++i;; ++i) {
      if (i >= text.size()) return std::nullopt;
      if (text[i] == '"') {
        if (i + 1 < text.size() && text[i + 1] == '"') {
          field += '"';
          ++i;
          continue;
        }
        ++i;
        break;
      }
      field += text[i];
    }
    fields.push_back(std::move(field));
    if (fields.size() < 3 && (i >= text.size() || text[i++] != ',')) return std::nullopt;
  }
  if (i != text.size()) return std::nullopt;
  return ControllerEntry{fields[0], fields[1], fields[2]};
}

// "position,flags" from STATe?; nullopt for the not-a-number of no status.
std::optional<StatusReply> ParseState(std::string_view text) {
  const size_t comma = text.find(',');
  if (comma == std::string_view::npos) return std::nullopt;
  StatusReply reply;
  unsigned flags = 0;
  const auto a = std::from_chars(text.data(), text.data() + comma, reply.position);
  const auto b = std::from_chars(text.data() + comma + 1, text.data() + text.size(), flags);
  if (a.ec != std::errc() || a.ptr != text.data() + comma || b.ec != std::errc() ||
      b.ptr != text.data() + text.size() || flags > 0xFF)
    return std::nullopt;
  reply.flags = static_cast<uint8_t>(flags);
  return reply;
}

Frame ReplyFrame(const StatusReply& reply) {
  Frame frame = EncodeCommand(kCodeStatus, reply.position);
  std::memcpy(frame.data(), kReplyHeader.data(), kReplyHeader.size());
  frame[14] = reply.flags;
  return frame;
}

}  // namespace

ControllerEntry ServedEntry(const ServedController& served) {
  ControllerEntry entry = served.controller;
  if (entry.port.empty()) entry.port = served.endpoint;
  return entry;
}

std::vector<ServedController> ListServedControllers(std::vector<std::string>* untaken) {
  std::vector<ServedController> served;
  for (const std::string& path : ListLocalEndpoints()) {
    const auto client = Client::Connect(path, nullptr);
    if (!client) continue;  // left by a process that ended
    const auto answer = client->Ask("SYST:CONT?", kAnswerTimeout);
    if (const auto controller = answer ? ParseController(*answer) : std::nullopt)
      served.push_back({*controller, path});
    else if (!answer && untaken)
      untaken->push_back(path);
  }
  return served;
}

FT_STATUS ServedBridge::FT_CreateDeviceInfoList(uint32_t* count) {
  untaken_.clear();
  served_ = ListServedControllers(&untaken_);
  *count = static_cast<uint32_t>(served_.size());
  return FT_OK;
}

FT_STATUS ServedBridge::FT_GetDeviceInfoList(FT_DEVICE_LIST_INFO_NODE* list, uint32_t* count) {
  const uint32_t n = std::min<uint32_t>(*count, static_cast<uint32_t>(served_.size()));
  for (uint32_t i = 0; i < n; ++i) {
    const ControllerEntry entry = ServedEntry(served_[i]);
    list[i] = {};
    CopyListedText(entry.description, list[i].Description);
    CopyListedText(entry.serial, list[i].SerialNumber);
    CopyListedText(entry.port, list[i].Port);
  }
  *count = n;
  return FT_OK;
}

FT_STATUS ServedBridge::FT_OpenEx(const char* arg, uint32_t flags, FT_HANDLE* handle) {
  *handle = nullptr;
  if (!arg) return FT_DEVICE_NOT_FOUND;
  for (const ServedController& served : served_) {
    const ControllerEntry entry = ServedEntry(served);
    const std::string& name = flags == FT_OPEN_BY_SERIAL_NUMBER ? entry.serial
                              : flags == FT_OPEN_BY_PORT        ? entry.port
                                                                : entry.description;
    if (name.empty() || name != arg) continue;
    auto client = Client::Connect(served.endpoint, nullptr);
    if (!client) return FT_DEVICE_NOT_FOUND;
    *handle = new Handle{std::move(client), {}};
    return FT_OK;
  }
  return FT_DEVICE_NOT_FOUND;
}

FT_STATUS ServedBridge::FT_Purge(FT_HANDLE handle, uint32_t mask) {
  if (!handle) return FT_INVALID_HANDLE;
  if (mask & FT_PURGE_RX) Open(handle)->received.clear();
  return FT_OK;
}

FT_STATUS ServedBridge::FT_Write(FT_HANDLE handle, const void* buffer, uint32_t size, uint32_t* written) {
  *written = 0;
  if (!handle) return FT_INVALID_HANDLE;
  Handle& h = *Open(handle);
  if (size != kFrameSize) return FT_OTHER_ERROR;  // only whole command frames have a meaning here
  const auto* bytes = static_cast<const uint8_t*>(buffer);
  const std::string_view code(reinterpret_cast<const char*>(bytes) + 6, 3);
  const uint32_t parameter = ReadBigEndian32(bytes + 9);
  std::string line;
  // A command's own error is the only one in the queue: those of earlier status
  // requests (a link without feedback for a while) are cleared first.
  if (code == kCodeStatus) {
    line = "STATE?";
  } else if (code == kCodeMove) {
    line = "*CLS;SIZE " + FormatFixed(StepsToMm(parameter), 4) + ";SYST:ERR?";
  } else if (code == kCodeInit) {
    line = "*CLS;INIT;SYST:ERR?";
  } else if (code == kCodeStop) {
    line = "*CLS;STOP;SYST:ERR?";
  } else {
    return FT_OTHER_ERROR;
  }
  const auto answer = h.client->Ask(line, kAnswerTimeout);
  // The serving process is gone (or stopped answering): as an unplugged device.
  if (!answer) return FT_IO_ERROR;
  if (code == kCodeStatus) {
    if (const auto reply = ParseState(*answer)) {
      const Frame frame = ReplyFrame(*reply);
      h.received.assign(frame.begin(), frame.end());
    }
  } else if (answer->rfind("0,", 0) != 0) {
    return FT_OTHER_ERROR;  // refused: the serving link is not connected
  }
  *written = size;
  return FT_OK;
}

FT_STATUS ServedBridge::FT_GetQueueStatus(FT_HANDLE handle, uint32_t* waiting) {
  if (!handle) return FT_INVALID_HANDLE;
  *waiting = static_cast<uint32_t>(Open(handle)->received.size());
  return FT_OK;
}

FT_STATUS ServedBridge::FT_Read(FT_HANDLE handle, void* buffer, uint32_t size, uint32_t* read) {
  if (!handle) return FT_INVALID_HANDLE;
  auto& received = Open(handle)->received;
  const uint32_t n = std::min<uint32_t>(size, static_cast<uint32_t>(received.size()));
  std::memcpy(buffer, received.data(), n);
  received.erase(received.begin(), received.begin() + n);
  *read = n;
  return FT_OK;
}

FT_STATUS ServedBridge::FT_Close(FT_HANDLE handle) {
  delete Open(handle);
  return FT_OK;
}

}  // namespace irisdesk::remote
