#include "link/FrameTrace.h"

#include <cstring>
#include <span>

#include "link/WireProtocol.h"
#ifdef _WIN32
#include "settings/WideText.h"
#endif

namespace irisdesk {
namespace {

std::string StatusText(FT_STATUS status) {
  switch (status) {
    case FT_OK: return "ok";
    case FT_DEVICE_NOT_FOUND: return "not found";
    case FT_DEVICE_NOT_OPENED: return "could not be opened";
    case FT_IO_ERROR: return "I/O error";
    default: return "status " + std::to_string(status);
  }
}

std::string Printable(const uint8_t* bytes, size_t size) {
  std::string text;
  for (size_t i = 0; i < size; ++i) text += bytes[i] >= 0x20 && bytes[i] < 0x7F ? static_cast<char>(bytes[i]) : '.';
  return text;
}

}  // namespace

std::string DescribeFrame(bool sent, const uint8_t* bytes, size_t size) {
  std::string line = sent ? ">" : "<";
  char hex[4];
  for (size_t i = 0; i < size; ++i) {
    std::snprintf(hex, sizeof hex, " %02X", bytes[i]);
    line += hex;
  }
  line += "  ";
  if (size != kFrameSize) return line + Printable(bytes, size) + " (" + std::to_string(size) + " bytes, not a frame)";
  const std::span<const uint8_t, kFrameSize> frame(bytes, kFrameSize);
  if (sent) return line + Printable(bytes, 9) + " " + std::to_string(ReadBigEndian32(bytes + 9));
  const auto reply = DecodeStatusReply(frame);
  if (!reply) return line + Printable(bytes, kFrameSize) + " (not a status reply)";
  char meaning[96];
  std::snprintf(meaning, sizeof meaning, "status: position %u (%.2f mm)%s%s%s", reply->position,
                StepsToMm(reply->position), reply->flags & StatusMoving ? " moving" : "",
                reply->flags & StatusInitialising ? " initialising" : "",
                reply->flags & StatusInitialised ? " initialised" : " not initialised");
  return line + meaning;
}

TracingBridge::TracingBridge(std::unique_ptr<Bridge> inner, std::FILE* file, Clock& clock)
    : inner_(std::move(inner)),
      file_(file, std::fclose),
      clock_(clock),
      start_(clock.Now()),
      mutex_(std::make_shared<std::mutex>()) {
  Line("trace begins");
}

TracingBridge::TracingBridge(std::unique_ptr<Bridge> inner, const TracingBridge& sameTrace, std::string label)
    : inner_(std::move(inner)),
      file_(sameTrace.file_),
      clock_(sameTrace.clock_),
      start_(sameTrace.start_),
      label_(std::move(label) + ": "),
      mutex_(sameTrace.mutex_) {}

TracingBridge::~TracingBridge() {
  if (file_.use_count() == 1) Line("trace ends");
}

std::FILE* TracingBridge::OpenFile(const std::string& path) {
#ifdef _WIN32
  return _wfopen(Widen(path).c_str(), L"w");  // the path is UTF-8, the C library's 8-bit one is not
#else
  return std::fopen(path.c_str(), "w");
#endif
}

void TracingBridge::Line(const std::string& text) {
  std::lock_guard lock(*mutex_);  // timed under the lock, so the lines stay in order
  const double ms = std::chrono::duration<double, std::milli>(clock_.Now() - start_).count();
  std::fprintf(file_.get(), "%10.3f ms  %s%s\n", ms, label_.c_str(), text.c_str());
  std::fflush(file_.get());  // a crash or an unplug must not take the last lines with it
}

FT_STATUS TracingBridge::Checked(const char* call, FT_STATUS status) {
  if (status == FT_IO_ERROR) Line(std::string("lost: ") + call + " found the device gone");
  return status;
}

FT_STATUS TracingBridge::FT_CreateDeviceInfoList(uint32_t* count) { return inner_->FT_CreateDeviceInfoList(count); }

FT_STATUS TracingBridge::FT_GetDeviceInfoList(FT_DEVICE_LIST_INFO_NODE* list, uint32_t* count) {
  const FT_STATUS status = inner_->FT_GetDeviceInfoList(list, count);
  if (list && count) {
    std::string text = "listed " + std::to_string(*count) + " controller" + (*count == 1 ? "" : "s");
    for (uint32_t i = 0; i < *count; ++i)
      text += std::string(i ? ", \"" : ": \"") + list[i].Description + "\" serial \"" + list[i].SerialNumber +
              "\" port \"" + list[i].Port + "\"";
    Line(text);
  }
  return status;
}

FT_STATUS TracingBridge::FT_OpenEx(const char* arg, uint32_t flags, FT_HANDLE* handle) {
  const FT_STATUS status = inner_->FT_OpenEx(arg, flags, handle);
  const char* by = flags == FT_OPEN_BY_SERIAL_NUMBER ? "serial number" : flags == FT_OPEN_BY_PORT ? "port" : "description";
  Line("open \"" + std::string(arg ? arg : "") + "\" by " + by + ": " + StatusText(status));
  return status;
}

FT_STATUS TracingBridge::FT_SetBaudRate(FT_HANDLE handle, uint32_t baud) {
  return inner_->FT_SetBaudRate(handle, baud);
}

FT_STATUS TracingBridge::FT_SetDataCharacteristics(FT_HANDLE handle, uint8_t wordLength, uint8_t stopBits,
                                                   uint8_t parity) {
  return inner_->FT_SetDataCharacteristics(handle, wordLength, stopBits, parity);
}

FT_STATUS TracingBridge::FT_Purge(FT_HANDLE handle, uint32_t mask) {
  // The link discards what is unsent only after a reply did not come whole in time.
  if (mask & FT_PURGE_TX) Line("miss: no whole reply in time, buffers discarded");
  return Checked("purge", inner_->FT_Purge(handle, mask));
}

FT_STATUS TracingBridge::FT_Write(FT_HANDLE handle, const void* buffer, uint32_t size, uint32_t* written) {
  const FT_STATUS status = inner_->FT_Write(handle, buffer, size, written);
  Line(DescribeFrame(true, static_cast<const uint8_t*>(buffer), size) +
       (status == FT_OK ? "" : " (write failed: " + StatusText(status) + ")"));
  return Checked("write", status);
}

FT_STATUS TracingBridge::FT_GetQueueStatus(FT_HANDLE handle, uint32_t* waiting) {
  return Checked("queue status", inner_->FT_GetQueueStatus(handle, waiting));
}

FT_STATUS TracingBridge::FT_Read(FT_HANDLE handle, void* buffer, uint32_t size, uint32_t* read) {
  const FT_STATUS status = inner_->FT_Read(handle, buffer, size, read);
  if (read && *read > 0) Line(DescribeFrame(false, static_cast<const uint8_t*>(buffer), *read));
  return Checked("read", status);
}

FT_STATUS TracingBridge::FT_Close(FT_HANDLE handle) {
  Line("close");
  return inner_->FT_Close(handle);
}

FT_STATUS TracingBridge::FT_SetLatencyTimer(FT_HANDLE handle, uint8_t milliseconds) {
  const FT_STATUS status = inner_->FT_SetLatencyTimer(handle, milliseconds);
  Line("latency timer " + std::to_string(milliseconds) + " ms: " +
       (status == FT_NOT_SUPPORTED ? std::string("not settable here") : StatusText(status)));
  return status;
}

FT_STATUS TracingBridge::WaitForReceive(FT_HANDLE handle, std::chrono::microseconds timeout) {
  return Checked("the reply wait", inner_->WaitForReceive(handle, timeout));
}

}  // namespace irisdesk
