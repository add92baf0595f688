// Start-up of the real window (offscreen) on the simulated controller: time from the
// start of main to the window shown, to the first "Connected", and resident memory.
#include <QApplication>
#include <QElapsedTimer>
#include <QTest>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "link/SimulatedBridge.h"
#include "shell/qt/PanelWindow.h"

namespace {
long ResidentKiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  return -1;
}
}  // namespace

int main(int argc, char** argv) {
  QElapsedTimer clock;
  clock.start();
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  const auto dir = std::filesystem::temp_directory_path() / "irisdesk-startup-bench";
  std::filesystem::create_directories(dir);
  std::ofstream(dir / "vrx330.ini") << "[settings]\r\nAuto Connect=1\r\n";
  irisdesk::SimulatedBridge bridge;
  {
    irisdesk::PanelWindow window(bridge, (dir / "irisdesk").string());
    window.show();
    if (!QTest::qWaitForWindowExposed(&window)) return 1;
    const qint64 shown = clock.elapsed();
    const bool connected = QTest::qWaitFor(
        [&] { return window.GetItemText(irisdesk::IDC_STATUS_LINE) == "VRX-330 Controller Connected."; }, 10000);
    const qint64 linked = clock.elapsed();
    QTest::qWait(2000);
    std::printf("start-up: window shown %lld ms, first Connected %lld ms%s, resident memory %ld KiB after 2 s\n",
                static_cast<long long>(shown), static_cast<long long>(linked), connected ? "" : " (never)",
                ResidentKiB());
    window.close();
  }
  std::filesystem::remove_all(dir);
  return 0;
}
