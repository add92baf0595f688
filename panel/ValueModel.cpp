// The wanted size, held four times in step: the slider, the entry text,
// sliderPosition (precision units) and targetMm (mm).
#include <algorithm>
#include <limits>

#include "link/WireProtocol.h"
#include "panel/IrisDeskDlg.h"
#include "settings/NumberText.h"

namespace irisdesk {

void CIrisDeskDlg::SetEntryText(const std::string& text) {
  window_.SetItemText(IDC_NEW_VALUE, text);
  // A toolkit reports only real changes; the model needs one on every set.
  OnEntryChanged();
}

namespace {
bool IsKnownPrecision(int p) { return p == 1 || p == 10 || p == 100; }
}  // namespace

void CIrisDeskDlg::ShowPositionInEntry() {
  // Only the three known precisions have a format; any other leaves the entry empty.
  std::string text;
  if (IsKnownPrecision(precision_)) {
    const double value = static_cast<double>(sliderPosition_) / precision_;
    text = *CDecimalEditCtrl::FormatForPrecision(value, precision_);
  }
  SetEntryText(text);
}

void CIrisDeskDlg::OnEntryChanged() {
  targetMm_ = TextToDouble(window_.GetItemText(IDC_NEW_VALUE));
  if (!sliderDriven_) {
    // A pasted huge value must not wrap to a negative position.
    const uint32_t units = Round049(precision_ * targetMm_.load());
    sliderPosition_ = static_cast<int32_t>(std::min<uint32_t>(units, std::numeric_limits<int32_t>::max()));
    window_.SetSliderPosition(sliderPosition_);
  }
  sliderDriven_ = false;
}

void CIrisDeskDlg::OnSliderScroll(std::optional<int> scrollSource) {
  if (!scrollSource || *scrollSource != IDC_DIAPHRAGM_SLIDER) return;
  sliderPosition_ = window_.GetSliderPosition();
  sliderDriven_ = true;
  ShowPositionInEntry();
}

void CIrisDeskDlg::SelectPrecision(uint8_t newPrecision) {
  if (precision_ == newPrecision) return;
  const int from = precision_;
  const int to = newPrecision;
  if (IsKnownPrecision(from) && IsKnownPrecision(to)) {
    // Keep the millimetre value as far as the new unit allows (truncating). A stored
    // position can be anything, so scale in 64 bits and saturate.
    int64_t scaled = sliderPosition_;
    if (to > from) scaled *= to / from;
    else scaled /= from / to;
    sliderPosition_ = static_cast<int32_t>(std::clamp<int64_t>(
        scaled, std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max()));
  }
  precision_ = newPrecision;
  entry_.entryPrecision = newPrecision;
  ApplySliderScale();
}

bool CIrisDeskDlg::OnEntryChar(char32_t ch) { return entry_.AcceptChar(ch, window_.GetItemText(IDC_NEW_VALUE)); }

void CIrisDeskDlg::OnEntryKeyUp() {
  if (const auto clamped = entry_.ClampOnKeyUp(window_.GetItemText(IDC_NEW_VALUE))) SetEntryText(*clamped);
}

void CIrisDeskDlg::FollowRequestedSize(uint32_t hundredths) {
  // The entry shows the size exactly: a precision too coarse for it is raised, as the
  // operator would have to.
  const uint8_t needed = hundredths % 10 != 0 ? 100 : hundredths % 100 != 0 ? 10 : 1;
  if (!IsKnownPrecision(precision_) || needed > precision_) {
    SelectPrecision(needed);
    window_.SetCheck(IDC_PRECISION_1MM, needed == 1);
    window_.SetCheck(IDC_PRECISION_01MM, needed == 10);
    window_.SetCheck(IDC_PRECISION_001MM, needed == 100);
  }
  sliderPosition_ = static_cast<int32_t>(hundredths * precision_ / 100);
  window_.SetSliderPosition(sliderPosition_);
  ShowPositionInEntry();
}

void CIrisDeskDlg::ApplySliderScale() {
  window_.SetSliderRange(kMaxSizeMm * precision_);
  window_.SetSliderTickFrequency(precision_);
  window_.SetSliderPosition(sliderPosition_);
  ShowPositionInEntry();
}

}  // namespace irisdesk
