#pragma once
// A panel on a fake window, with its settings file in a fresh temporary directory.
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <thread>

#include "panel/IrisDeskDlg.h"
#include "support/FakeWindow.h"

namespace irisdesk::test {

class TempDir {
 public:
  TempDir() {
    // A fresh name each time (create_directory is false for one that exists).
    std::random_device random;
    do {
      path_ = std::filesystem::temp_directory_path() / ("irisdesk-test-" + std::to_string(random()));
    } while (!std::filesystem::create_directory(path_));
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

inline std::string ReadFile(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

inline void WriteFile(const std::filesystem::path& p, const std::string& bytes) {
  std::ofstream(p, std::ios::binary) << bytes;
}

struct PanelHarness {
  TempDir dir;
  FakeWindow window;
  std::unique_ptr<CIrisDeskDlg> panel;

  std::filesystem::path iniFile() const { return dir.path() / "vrx330.ini"; }
  void WriteIni(const std::string& text) { WriteFile(iniFile(), text); }

  // A panel (again) in a fresh window; without a worker the test plays it with RunOnePoll.
  CIrisDeskDlg& Start(Bridge& bridge, Clock& clock = RealClock(), bool startWorker = true) {
    panel.reset();
    window = FakeWindow();
    panel = std::make_unique<CIrisDeskDlg>(
        window, PanelEnvironment{bridge, (dir.path() / "irisdesk").string(), {}, clock, startWorker});
    panel->OnInitDialog();
    return *panel;
  }

  // The operator edits the entry (a change the toolkit reports).
  void Type(const std::string& text) {
    window.texts[IDC_NEW_VALUE] = text;
    panel->OnEntryChanged();
  }

  // Plays the window's thread: applies the worker's changes until `done` holds.
  bool PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    const auto end = std::chrono::steady_clock::now() + limit;
    for (;;) {
      panel->ApplyWorkerUpdates();
      if (done()) return true;
      if (std::chrono::steady_clock::now() > end) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
};

}  // namespace irisdesk::test
