#pragma once
// The bridge on the maker's D2XX library (FTD2XX.DLL), loaded at run time so that a
// PC without the driver still starts the panel: it then lists no devices.
#include <windows.h>

#include <map>
#include <mutex>
#include <string>
#include <utility>

#include "link/Bridge.h"

namespace irisdesk {

class D2xxBridge final : public Bridge {
 public:
  // `library` is the DLL to load: a bare name is looked for beside the executable and
  // in the system folders (never the current directory); tests pass a full path.
  explicit D2xxBridge(const std::wstring& library = L"FTD2XX.DLL");
  ~D2xxBridge() override;
  D2xxBridge(const D2xxBridge&) = delete;
  D2xxBridge& operator=(const D2xxBridge&) = delete;

  // The library was found and has all ten calls.
  bool Loaded() const { return module_ != nullptr; }
  // The first of the ten calls a library that was found lacks; empty when none was
  // found or it has them all.
  const std::string& MissingCall() const { return missingCall_; }
  // Where the library was found, complete or not; empty when it was not.
  const std::wstring& LibraryPath() const { return libraryPath_; }

  FT_STATUS FT_CreateDeviceInfoList(uint32_t* count) override;
  FT_STATUS FT_GetDeviceInfoList(FT_DEVICE_LIST_INFO_NODE* list, uint32_t* count) override;
  FT_STATUS FT_OpenEx(const char* arg, uint32_t flags, FT_HANDLE* handle) override;
  FT_STATUS FT_SetBaudRate(FT_HANDLE handle, uint32_t baud) override;
  FT_STATUS FT_SetDataCharacteristics(FT_HANDLE handle, uint8_t wordLength, uint8_t stopBits,
                                      uint8_t parity) override;
  FT_STATUS FT_Purge(FT_HANDLE handle, uint32_t mask) override;
  FT_STATUS FT_Write(FT_HANDLE handle, const void* buffer, uint32_t size, uint32_t* written) override;
  FT_STATUS FT_GetQueueStatus(FT_HANDLE handle, uint32_t* waiting) override;
  FT_STATUS FT_Read(FT_HANDLE handle, void* buffer, uint32_t size, uint32_t* read) override;
  FT_STATUS FT_Close(FT_HANDLE handle) override;
  // FT_NOT_SUPPORTED from a library without the call (older ones); it still loads.
  FT_STATUS FT_SetLatencyTimer(FT_HANDLE handle, uint8_t milliseconds) override;
  FT_STATUS WaitForReceive(FT_HANDLE handle, std::chrono::microseconds timeout) override;

  // The library's own declarations: 32-bit ULONG/DWORD, the WINAPI convention.
  using Status = ULONG;
  struct DeviceNode {  // the library's device record; its texts are 8-bit ANSI
    ULONG Flags, Type, ID;
    DWORD LocId;
    char SerialNumber[16];
    char Description[64];
    void* ftHandle;
  };
  struct Calls {
    Status(WINAPI* CreateDeviceInfoList)(DWORD*);
    Status(WINAPI* GetDeviceInfoList)(DeviceNode*, DWORD*);
    Status(WINAPI* OpenEx)(void*, DWORD, void**);
    Status(WINAPI* SetBaudRate)(void*, ULONG);
    Status(WINAPI* SetDataCharacteristics)(void*, UCHAR, UCHAR, UCHAR);
    Status(WINAPI* Purge)(void*, ULONG);
    Status(WINAPI* Write)(void*, void*, DWORD, DWORD*);
    Status(WINAPI* GetQueueStatus)(void*, DWORD*);
    Status(WINAPI* Read)(void*, void*, DWORD, DWORD*);
    Status(WINAPI* Close)(void*);
  };
  // Calls the link does without where a library lacks them; null then.
  struct OptionalCalls {
    Status(WINAPI* SetLatencyTimer)(void*, UCHAR);
  };

 private:
  // The library's own 8-bit text for a text the last listing gave as UTF-8, by the
  // flag that opens by it: UTF-8 cut to fit its field does not convert back to it.
  using LibraryTexts = std::map<std::pair<uint32_t, std::string>, std::string>;

  HMODULE module_ = nullptr;
  Calls calls_{};
  OptionalCalls optional_{};
  std::string missingCall_;
  std::wstring libraryPath_;
  // The panel lists on the window's thread and, after a lost device, on its worker.
  std::mutex listedMutex_;
  LibraryTexts listed_;
};

}  // namespace irisdesk
