#include "panel/DeferredWindowWriter.h"

namespace irisdesk {

void DeferredWindowWriter::Record(Change change) {
  bool first;
  {
    std::lock_guard lock(mutex_);
    first = changes_.empty();
    changes_.push_back(std::move(change));
  }
  // One wake-up per batch: the window's thread takes everything recorded by then.
  if (first && wake_) wake_();
}

void DeferredWindowWriter::ApplyTo(WindowWriter& window) {
  std::vector<Change> batch;
  {
    std::lock_guard lock(mutex_);
    batch.swap(changes_);
  }
  for (Change& change : batch) change(window);
}

void DeferredWindowWriter::SetItemText(int id, const std::string& text) {
  Record([id, text](WindowWriter& w) { w.SetItemText(id, text); });
}
void DeferredWindowWriter::EnableItem(int id, bool enabled) {
  Record([id, enabled](WindowWriter& w) { w.EnableItem(id, enabled); });
}
void DeferredWindowWriter::SetCheck(int id, int checked) {
  Record([id, checked](WindowWriter& w) { w.SetCheck(id, checked); });
}
void DeferredWindowWriter::SetSliderRange(int maximum) {
  Record([maximum](WindowWriter& w) { w.SetSliderRange(maximum); });
}
void DeferredWindowWriter::SetSliderTickFrequency(int spacing) {
  Record([spacing](WindowWriter& w) { w.SetSliderTickFrequency(spacing); });
}
void DeferredWindowWriter::SetSliderPosition(int position) {
  Record([position](WindowWriter& w) { w.SetSliderPosition(position); });
}
void DeferredWindowWriter::ResetList() {
  Record([](WindowWriter& w) { w.ResetList(); });
}
void DeferredWindowWriter::AddListString(const std::string& text) {
  Record([text](WindowWriter& w) { w.AddListString(text); });
}
void DeferredWindowWriter::SetListSelection(int index) {
  Record([index](WindowWriter& w) { w.SetListSelection(index); });
}
void DeferredWindowWriter::SetTitle(const std::string& title) {
  Record([title](WindowWriter& w) { w.SetTitle(title); });
}
void DeferredWindowWriter::Post(std::function<void()> task) {
  Record([task = std::move(task)](WindowWriter&) { task(); });
}
void DeferredWindowWriter::SetIcons() {
  Record([](WindowWriter& w) { w.SetIcons(); });
}

}  // namespace irisdesk
