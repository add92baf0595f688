#pragma once
// Window changes made on the link worker are recorded here and carried out on the
// window's thread, in the order they were made. The worker never waits for the window:
// recording takes a short lock, and `wake` only asks the window's thread to call
// ApplyTo soon (the shell posts an event; tests call ApplyTo themselves).
#include <functional>
#include <mutex>
#include <vector>

#include "panel/WindowOps.h"

namespace irisdesk {

class DeferredWindowWriter final : public WindowWriter {
 public:
  explicit DeferredWindowWriter(std::function<void()> wake) : wake_(std::move(wake)) {}

  // Carries out the recorded changes on `window`; window's thread only.
  void ApplyTo(WindowWriter& window);

  void SetItemText(int id, const std::string& text) override;
  void EnableItem(int id, bool enabled) override;
  void SetCheck(int id, int checked) override;
  void SetSliderRange(int maximum) override;
  void SetSliderTickFrequency(int spacing) override;
  void SetSliderPosition(int position) override;
  void ResetList() override;
  void AddListString(const std::string& text) override;
  void SetListSelection(int index) override;
  void SetTitle(const std::string& title) override;
  void SetIcons() override;
  // Work for the window's thread beyond window changes, run in order with them.
  void Post(std::function<void()> task);

 private:
  using Change = std::function<void(WindowWriter&)>;
  void Record(Change change);

  std::function<void()> wake_;
  mutable std::mutex mutex_;
  std::vector<Change> changes_;
};

}  // namespace irisdesk
