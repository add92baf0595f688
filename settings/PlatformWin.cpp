#include <windows.h>
#include <knownfolders.h>
#include <shlobj.h>

#include <cstdlib>

#include "settings/Platform.h"
#include "settings/SettingsFile.h"
#include "settings/WideText.h"

namespace irisdesk {

std::string RunningExecutablePath() {
  // The call cuts a long path to the buffer without saying how long it is: grow the
  // buffer until the path fits (the longest a path can be is 32767 characters).
  std::wstring buffer(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (n == 0) return "";
    if (n < buffer.size()) {
      buffer.resize(n);
      return Narrow(buffer);
    }
    if (buffer.size() > 32768) return "";
    buffer.resize(buffer.size() * 2);
  }
}

std::string PerUserSettingsPath() {
  std::wstring base;
  PWSTR known = nullptr;
  if (SHGetKnownFolderPath(FOLDERID_RoamingAppData, KF_FLAG_DEFAULT, nullptr, &known) == S_OK && known)
    base = known;
  CoTaskMemFree(known);
  if (base.empty()) {
    if (const wchar_t* appData = _wgetenv(L"APPDATA")) base = appData;
  }
  if (base.empty()) return "";
  return Narrow(base) + "\\IrisDesk\\" + kSettingsFileName;
}

bool CanCreateFilesIn(const std::string& directory) {
  // Access rules on Windows are too rich to predict (ACLs, read-only media, virtualised
  // folders): try it. The probe file goes away when its handle closes.
  std::wstring dir = directory.empty() ? L"." : Widen(directory);
  if (dir.back() != L'\\' && dir.back() != L'/') dir += L'\\';
  for (unsigned attempt = 0; attempt < 16; ++attempt) {
    const std::wstring probe = dir + L"~irisdesk-probe-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                               std::to_wstring(GetTickCount() + attempt) + L".tmp";
    const HANDLE h = CreateFileW(probe.c_str(), GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW,
                                 FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
      CloseHandle(h);
      return true;
    }
    if (GetLastError() != ERROR_FILE_EXISTS) return false;
  }
  return false;
}

bool CanWriteFile(const std::string& path) {
  const std::wstring wide = Widen(path);
  const DWORD attributes = GetFileAttributesW(wide.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES ||
      (attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)))
    return false;
  // The access rules decide the rest: ask for write access and let go at once.
  const HANDLE h =
      CreateFileW(wide.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  CloseHandle(h);
  return true;
}

bool IsSystemProgramFolder(const std::string& directory) {
  // The full, case-folded path, compared with the system's program and Windows
  // folders at whole folder names.
  auto normalised = [](std::wstring path) {
    std::wstring full(32768, L'\0');
    const DWORD n = GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    if (n > 0 && n < full.size()) path.assign(full.data(), n);
    for (wchar_t& c : path) c = c == L'/' ? L'\\' : c;
    while (!path.empty() && path.back() == L'\\') path.pop_back();
    CharUpperBuffW(path.data(), static_cast<DWORD>(path.size()));
    return path + L'\\';
  };
  const std::wstring folder = normalised(Widen(directory.empty() ? "." : directory));
  for (const KNOWNFOLDERID& id : {FOLDERID_ProgramFiles, FOLDERID_ProgramFilesX86, FOLDERID_Windows}) {
    PWSTR known = nullptr;
    std::wstring system;
    if (SHGetKnownFolderPath(id, KF_FLAG_DEFAULT, nullptr, &known) == S_OK && known) system = known;
    CoTaskMemFree(known);
    if (!system.empty() && folder.rfind(normalised(system), 0) == 0) return true;
  }
  return false;
}

}  // namespace irisdesk
