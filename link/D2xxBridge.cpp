#include "link/D2xxBridge.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <utility>
#include <vector>

#include "settings/WideText.h"

namespace irisdesk {
namespace {

static_assert(offsetof(D2xxBridge::DeviceNode, Description) == 32, "the library's record layout");

// No driver, or one that lacks a call: report what an empty bus reports.
constexpr FT_STATUS kAbsent = FT_DEVICE_NOT_FOUND;

template <typename F>
bool Resolve(HMODULE module, const char* name, F& target) {
  const FARPROC proc = GetProcAddress(module, name);
  target = reinterpret_cast<F>(reinterpret_cast<void (*)()>(proc));
  return proc != nullptr;
}

// One of the record's 8-bit texts as UTF-8 that fits `out` (it can grow, so it is cut
// at a whole character), remembering the library's bytes for opening by it.
template <size_t In, size_t Out, typename Texts>
void CopyText(const char (&in)[In], uint32_t openFlag, char (&out)[Out], Texts& texts) {
  const std::string ansi(in, strnlen(in, In));
  CopyListedText(Narrow(Widen(ansi, CP_THREAD_ACP)), out);
  // Of two names listed alike, the first is the one the library would open.
  if (!ansi.empty()) texts.try_emplace({openFlag, std::string(out)}, ansi);
}

}  // namespace

D2xxBridge::D2xxBridge(const std::wstring& library) {
  // The executable's folder and the system folders only: a DLL planted in the
  // current directory is never picked up.
  HMODULE module = LoadLibraryExW(library.c_str(), nullptr, LOAD_LIBRARY_SEARCH_DEFAULT_DIRS);
  if (!module && GetLastError() == ERROR_INVALID_PARAMETER)  // a system without the flag
    module = LoadLibraryW(library.c_str());
  if (!module) return;
  wchar_t path[MAX_PATH] = {};
  if (GetModuleFileNameW(module, path, MAX_PATH) > 0) libraryPath_ = path;
  auto resolve = [&](const char* name, auto& target) {
    if (Resolve(module, name, target)) return true;
    if (missingCall_.empty()) missingCall_ = name;
    return false;
  };
  const bool all = resolve("FT_CreateDeviceInfoList", calls_.CreateDeviceInfoList) &
                   resolve("FT_GetDeviceInfoList", calls_.GetDeviceInfoList) &
                   resolve("FT_OpenEx", calls_.OpenEx) & resolve("FT_SetBaudRate", calls_.SetBaudRate) &
                   resolve("FT_SetDataCharacteristics", calls_.SetDataCharacteristics) &
                   resolve("FT_Purge", calls_.Purge) & resolve("FT_Write", calls_.Write) &
                   resolve("FT_GetQueueStatus", calls_.GetQueueStatus) & resolve("FT_Read", calls_.Read) &
                   resolve("FT_Close", calls_.Close);
  if (!all) {
    FreeLibrary(module);
    calls_ = {};
    return;
  }
  module_ = module;
  Resolve(module, "FT_SetLatencyTimer", optional_.SetLatencyTimer);
}

D2xxBridge::~D2xxBridge() {
  if (module_) FreeLibrary(module_);
}

FT_STATUS D2xxBridge::FT_CreateDeviceInfoList(uint32_t* count) {
  *count = 0;
  if (!module_) return kAbsent;
  DWORD n = 0;
  const Status status = calls_.CreateDeviceInfoList(&n);
  *count = n;
  return status;
}

FT_STATUS D2xxBridge::FT_GetDeviceInfoList(FT_DEVICE_LIST_INFO_NODE* list, uint32_t* count) {
  const uint32_t capacity = *count;
  *count = 0;
  if (!module_ || capacity == 0) return kAbsent;
  // The library fills as many records as it counted last; a device plugged in since
  // must not write past the end, so leave room for the ones that may have come.
  std::vector<DeviceNode> nodes(capacity + 16);
  DWORD n = capacity;
  const Status status = calls_.GetDeviceInfoList(nodes.data(), &n);
  const uint32_t filled = std::min<uint32_t>(n, capacity);
  LibraryTexts texts;
  for (uint32_t i = 0; i < filled; ++i) {
    const DeviceNode& node = nodes[i];
    FT_DEVICE_LIST_INFO_NODE& out = list[i];
    out = FT_DEVICE_LIST_INFO_NODE{};  // Port stays empty: the library names no port
    out.Flags = node.Flags;
    out.Type = node.Type;
    out.ID = node.ID;
    out.LocId = node.LocId;
    CopyText(node.SerialNumber, FT_OPEN_BY_SERIAL_NUMBER, out.SerialNumber, texts);
    CopyText(node.Description, FT_OPEN_BY_DESCRIPTION, out.Description, texts);
    out.ftHandle = node.ftHandle;
  }
  {
    std::lock_guard lock(listedMutex_);
    listed_ = std::move(texts);
  }
  *count = filled;
  return status;
}

FT_STATUS D2xxBridge::FT_OpenEx(const char* arg, uint32_t flags, FT_HANDLE* handle) {
  *handle = nullptr;
  if (!module_ || !arg) return kAbsent;
  // No port is ever listed here, and the library's own flag 4 takes a location number.
  if (flags != FT_OPEN_BY_SERIAL_NUMBER && flags != FT_OPEN_BY_DESCRIPTION) return FT_DEVICE_NOT_FOUND;
  std::string ansi;
  {
    std::lock_guard lock(listedMutex_);
    if (const auto it = listed_.find({flags, arg}); it != listed_.end()) ansi = it->second;
  }
  // A text not listed (typed, or listed before the last listing) converts as it is.
  if (ansi.empty()) ansi = Narrow(Widen(arg), CP_THREAD_ACP);
  return calls_.OpenEx(ansi.data(), flags, handle);
}

FT_STATUS D2xxBridge::FT_SetBaudRate(FT_HANDLE handle, uint32_t baud) {
  return module_ ? calls_.SetBaudRate(handle, baud) : kAbsent;
}

FT_STATUS D2xxBridge::FT_SetDataCharacteristics(FT_HANDLE handle, uint8_t wordLength, uint8_t stopBits,
                                                uint8_t parity) {
  return module_ ? calls_.SetDataCharacteristics(handle, wordLength, stopBits, parity) : kAbsent;
}

FT_STATUS D2xxBridge::FT_Purge(FT_HANDLE handle, uint32_t mask) {
  return module_ ? calls_.Purge(handle, mask) : kAbsent;
}

FT_STATUS D2xxBridge::FT_Write(FT_HANDLE handle, const void* buffer, uint32_t size, uint32_t* written) {
  DWORD n = 0;
  const Status status = module_ ? calls_.Write(handle, const_cast<void*>(buffer), size, &n) : kAbsent;
  *written = n;
  return status;
}

FT_STATUS D2xxBridge::FT_GetQueueStatus(FT_HANDLE handle, uint32_t* waiting) {
  DWORD n = 0;
  const Status status = module_ ? calls_.GetQueueStatus(handle, &n) : kAbsent;
  *waiting = n;
  return status;
}

FT_STATUS D2xxBridge::FT_Read(FT_HANDLE handle, void* buffer, uint32_t size, uint32_t* read) {
  DWORD n = 0;
  const Status status = module_ ? calls_.Read(handle, buffer, size, &n) : kAbsent;
  *read = n;
  return status;
}

FT_STATUS D2xxBridge::FT_Close(FT_HANDLE handle) { return module_ ? calls_.Close(handle) : kAbsent; }

FT_STATUS D2xxBridge::FT_SetLatencyTimer(FT_HANDLE handle, uint8_t milliseconds) {
  if (!module_) return kAbsent;
  return optional_.SetLatencyTimer ? optional_.SetLatencyTimer(handle, milliseconds) : FT_NOT_SUPPORTED;
}

FT_STATUS D2xxBridge::WaitForReceive(FT_HANDLE, std::chrono::microseconds timeout) {
  // The ten calls have no blocking wait, so sleep a short slice: a reply (16 bytes at
  // 19200 baud, over 8 ms on the wire) is seen within a few milliseconds of its last
  // byte, and the thread stays asleep nearly all the time. The library's receive event
  // (FT_SetEventNotification) ends the wait sooner, but it is set for each of the chip's
  // 1 ms packets: with it a connected, idle panel measured costlier under Wine
  // (d2xx_bench), so the ten calls are all this wait uses.
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(timeout).count();
  Sleep(static_cast<DWORD>(std::clamp<long long>(ms, 1, 4)));
  return FT_OK;
}

}  // namespace irisdesk
