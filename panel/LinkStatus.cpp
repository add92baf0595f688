// What the link is doing, shown in one line and in which controls are usable, and
// the operator's commands for the controller.
#include <algorithm>

#include "link/Exchange.h"
#include "link/WireProtocol.h"
#include "panel/IrisDeskDlg.h"

namespace irisdesk {

const char* LinkStateText(uint8_t state) {
  switch (state) {
    case LinkConnected: return "VRX-330 Controller Connected.";
    case LinkNoFeedback: return "VRX-330 Controller Connected. No Feedback.";
    case LinkNotConnected: return "VRX-330 Controller Not Connected.";
    case LinkNotFound: return "VRX-330 Controller Not Found.";
    default: return nullptr;
  }
}

void CIrisDeskDlg::SetLinkState(uint8_t newState) {
  if (linkState_.exchange(newState) == newState) return;
  WindowWriter& w = Writer();
  if (const char* text = LinkStateText(newState)) w.SetItemText(IDC_STATUS_LINE, text);
  if (newState == LinkConnected) {
    SetControlsEnabled(true);
  } else {
    SetControlsEnabled(false);
    w.SetItemText(IDC_CURRENT_VALUE, "");
  }
}

void CIrisDeskDlg::SetControlsEnabled(bool enabled) {
  WindowWriter& w = Writer();
  for (int id : {IDC_PRECISION_1MM, IDC_PRECISION_01MM, IDC_PRECISION_001MM, IDC_NEW_VALUE, IDC_SET_STOP,
                 IDC_DIAPHRAGM_SLIDER})
    w.EnableItem(id, enabled);
}

void CIrisDeskDlg::OnSetStop() {
  if (window_.GetItemText(IDC_SET_STOP) != kCaptionSet) {
    QueueStop();
    return;
  }
  // Never ask the motor for more than its travel: a pasted or stored value can lie
  // beyond the slider's range, and Set sends the slider's value.
  const int32_t clamped = std::clamp(sliderPosition_, 0, kMaxSizeMm * precision_);
  if (clamped != sliderPosition_) {
    sliderPosition_ = clamped;
    window_.SetSliderPosition(sliderPosition_);
  }
  ShowPositionInEntry();
  // Zero is reached by initialising, which homes the diaphragm there.
  if (targetMm_.load() != 0.0)
    QueueMove();
  else
    QueueInit();
}

// The box shows any non-zero value as checked, so a click stores what it then shows.
void CIrisDeskDlg::OnAutoConnectClicked() { autoConnect_ = autoConnect_ != 0 ? 0 : 1; }

void CIrisDeskDlg::QueueInit() { Enqueue(QueuedCommand::Make(kCodeInit, 0)); }

void CIrisDeskDlg::QueueMove() { Enqueue(QueuedCommand::Make(kCodeMove, MoveSteps(targetMm_.load()))); }

void CIrisDeskDlg::QueueStop() { Enqueue(QueuedCommand::Make(kCodeStop, 0)); }

bool CIrisDeskDlg::RequestSize(double mm) {
  if (!deviceHandle_.load()) return false;
  // Kept to the panel's finest step, whatever precision it shows: a script's 3.47 mm
  // is not the operator's 3.
  const uint32_t hundredths = Round049(100.0 * std::clamp(mm, 0.0, kTravelMm));
  targetMm_ = hundredths / 100.0;
  deferred_.Post([this, hundredths] { FollowRequestedSize(hundredths); });
  // Zero is reached by initialising, which homes the diaphragm there. A move waits for
  // an initialise under way, or one the worker is about to send.
  if (hundredths == 0) {
    QueueInit();
  } else if (Homing()) {
    ++motionAsked_;
    moveAfterInit_ = true;
  } else {
    Enqueue(QueuedCommand::Make(kCodeMove, MoveSteps(targetMm_.load())), true);
  }
  return true;
}

bool CIrisDeskDlg::RequestInitialise() {
  if (!deviceHandle_.load()) return false;
  QueueInit();
  return true;
}

bool CIrisDeskDlg::RequestStop() {
  if (!deviceHandle_.load()) return false;
  QueueStop();
  return true;
}

void CIrisDeskDlg::Enqueue(const QueuedCommand& command, bool replacingMove) {
  if (!deviceHandle_.load()) return;
  if (command.Code() != kCodeStop) ++motionAsked_;
  if (command.Code() == kCodeInit) ++initAsked_;
  if (replacingMove) {
    requestedMoveQueued_ = true;
    commandQueue_.PushFrontReplacingMove(command);
  } else {
    commandQueue_.PushFront(command);
  }
  // The worker sends it now rather than at its next poll: a Stop must not wait.
  stopEvent_.Wake();
}

void CIrisDeskDlg::DrainCommandQueue() {
  // What is queued now, not what arrives meanwhile: commands that keep coming must
  // not hold off the status requests.
  requestedMoveQueued_ = false;
  for (size_t left = commandQueue_.Size(); left > 0; --left) {
    const auto record = commandQueue_.TakeBack();
    if (!record) return;
    // A failed write loses the command; it is not retried.
    if (const FT_HANDLE handle = deviceHandle_.load()) SendFrame(bridge_, handle, record->ToFrame());
    commandQueue_.ClearIfOverflowing();
    // A stop ends the drain; what is left goes with the link.
    if (Pause(kCommandSpacing)) return;
  }
}

}  // namespace irisdesk
