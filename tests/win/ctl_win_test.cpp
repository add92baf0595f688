// vrx330ctl.exe end to end: on the simulator, with no FTD2XX.DLL, with the stand-in
// library beside a copy of the program, and with one lacking a call.
#include <gtest/gtest.h>
#include <windows.h>

#include "settings/Platform.h"
#include "settings/WideText.h"

namespace irisdesk {
namespace {

struct Outcome {
  DWORD exit = 999;
  std::string out;  // stdout and stderr, line ends as "\n"
};

Outcome RunCtl(const std::string& folder, const std::string& args) {
  const std::string exe = RunningExecutablePath();
  std::wstring command =
      L"\"" + Widen(exe.substr(0, exe.find_last_of('\\') + 1) + folder) + L"vrx330ctl.exe\" " + Widen(args);
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE read = nullptr, write = nullptr;
  if (!CreatePipe(&read, &write, &inherit, 0)) return {};
  SetHandleInformation(read, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOW si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdOutput = si.hStdError = write;
  PROCESS_INFORMATION pi{};
  Outcome run;
  const bool started =
      CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi);
  CloseHandle(write);
  char buffer[4096];
  DWORD n = 0;
  while (started && ReadFile(read, buffer, sizeof buffer, &n, nullptr) && n > 0)
    for (DWORD i = 0; i < n; ++i)
      if (buffer[i] != '\r') run.out += buffer[i];
  CloseHandle(read);
  if (!started) return run;
  WaitForSingleObject(pi.hProcess, 60000);
  GetExitCodeProcess(pi.hProcess, &run.exit);
  CloseHandle(pi.hProcess);
  CloseHandle(pi.hThread);
  return run;
}

TEST(Vrx330ctlExe, CommandsExitStatusesAndDoctor) {
  const std::string standIn =
      "VRX-330 Pr\xC3\xBC"
      "fstand";
  const struct {
    const char* folder;
    std::string args;
    DWORD exit;
    std::string expected;   // a part of the output
    const char* told = "";  // for the stand-in library
  } cases[] = {
      {"", "--simulate list", 0, "VRX-330 Simulator\n"},
      {"", "--simulate status", 0, "device=VRX-330 Simulator\nlink=connected\nsize_mm="},
      {"", "--simulate set 2.5 --wait", 0, "size_mm=2.50\nmoving=no"},
      {"", "--simulate set 15", 2, "outside the travel of 0 to 14 mm"},
      {"", "--root C:\\ doctor", 2, "unknown option '--root'"},
      {"", "list", 3, "no controller found"},
      {"", "doctor", 1, "PROBLEM  FTD2XX.DLL is not installed"},
      {"d2xx-double\\", "list", 0, standIn + "\n"},
      {"d2xx-double\\", "-d \"" + standIn + "\" status", 0, standIn + "\nlink=connected\n"},
      {"d2xx-double\\", "-d other status", 3, "cannot open 'other'"},
      {"d2xx-double\\", "doctor", 0, "with all ten calls\nOK       FTD2XX.DLL lists device 0: \"" + standIn},
      {"d2xx-double\\", "list", 3, "no controller found", "unplugged"},
      {"d2xx-double\\", "doctor", 1, "PROBLEM  FTD2XX.DLL lists no device. Fix: plug the controller in",
       "unplugged"},
      {"d2xx-no-purge\\", "doctor", 1, "d2xx-no-purge\\FTD2XX.DLL lacks FT_Purge. Fix: "},
  };
  for (const auto& c : cases) {
    SetEnvironmentVariableA("IRISDESK_D2XX_DOUBLE", c.told);
    const Outcome run = RunCtl(c.folder, c.args);
    EXPECT_EQ(run.exit, c.exit) << c.folder << c.args << "\n" << run.out;
    EXPECT_NE(run.out.find(c.expected), std::string::npos) << c.folder << c.args << "\n" << run.out;
  }
}

}  // namespace
}  // namespace irisdesk
