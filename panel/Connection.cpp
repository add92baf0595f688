// Opening and closing the link, the worker that polls the controller while it lasts,
// and the list of controllers to choose from.
#include <algorithm>
#include <cstring>
#include <system_error>
#include <vector>

#include "link/ThreadPriority.h"
#include "link/WireProtocol.h"
#include "panel/IrisDeskDlg.h"
#include "settings/NumberText.h"

namespace irisdesk {

uint32_t CIrisDeskDlg::EnumerateControllers(const std::optional<ControllerEntry>& keepSelected) {
  WindowWriter& w = Writer();
  w.ResetList();
  ControllerList list = ListControllers(bridge_);
  int selection = portIndex_;
  if (keepSelected)
    if (const auto found = FindController(list.entries, *keepSelected)) selection = static_cast<int>(*found);
  for (const std::string& label : EntryLabels(list.entries)) w.AddListString(label);
  const auto count = static_cast<uint32_t>(list.entries.size());
  {
    std::lock_guard lock(listedMutex_);
    listed_ = std::move(list.entries);
  }
  if (list.reported == 0) {
    if (linkState_.load() != LinkNotFound) SetLinkState(LinkNotFound);
    return 0;
  }
  // A fill that found nothing after all leaves the list empty and the state as it was.
  if (count != 0) w.SetListSelection(selection);
  return count;
}

std::optional<ControllerEntry> CIrisDeskDlg::SelectedController() {
  const std::string shown = window_.GetItemText(IDC_PORT_LIST);
  std::lock_guard lock(listedMutex_);
  const std::vector<std::string> labels = EntryLabels(listed_);
  for (size_t i = 0; i < labels.size(); ++i)
    if (labels[i] == shown) return listed_[i];
  return std::nullopt;
}

void CIrisDeskDlg::OnPortListDropDown() {
  // The list belongs to a live link, and to a worker still listing after a lost device.
  if (deviceHandle_.load() || workerRunning()) return;
  ApplyWorkerUpdates();
  // The operator's pick stays picked if that controller is still there.
  EnumerateControllers(SelectedController());
}

void CIrisDeskDlg::ToggleConnection() {
  if (window_.GetItemText(IDC_CONNECT) == kCaptionConnect)
    Connect();
  else
    Disconnect();
}

void CIrisDeskDlg::Connect() {
  // A worker that ended by itself (lost device, failed poll) is reaped first.
  EndWorker();
  CloseDevice();
  ApplyWorkerUpdates();
  linkOpen_ = false;
  // A click that raced the end of the last link must not move this one, nor a move
  // the last link's initialise was holding back.
  commandQueue_.Clear();
  initPending_ = false;

  // A list emptied by a lost device would otherwise need a restart once the device is
  // back: look again before giving up. (An entry with an empty description is a
  // device like any other.)
  std::optional<ControllerEntry> chosen = SelectedController();
  if (!chosen) {
    EnumerateControllers();
    chosen = SelectedController();
  }
  // With nothing listed the open is still tried, for a device without a description.
  ControllerEntry opened;
  const FT_HANDLE handle = OpenController(bridge_, chosen.value_or(ControllerEntry{}), nullptr, &opened);
  if (!handle) {
    SetLinkState(LinkNotConnected);
    return;
  }
  {
    std::lock_guard lock(listedMutex_);
    linkedController_ = opened;
  }
  moveAfterInit_ = false;
  {
    std::lock_guard lock(sharedMutex_);
    shared_.reply.reset();
    motionSeen_ = motionAsked_.load();
    initSeen_ = initAsked_.load();
  }
  deviceHandle_ = handle;
  window_.SetItemText(IDC_CONNECT, kCaptionDisconnect);
  stopEvent_.Reset();
  workerEnded_ = false;
  if (startWorker_) {
    try {
      linkWorker_ = std::thread([this] { LinkWorkerMain(); });
    } catch (const std::system_error&) {
      // Without a worker nothing would ever poll: give the device back and say so.
      CloseDevice();
      window_.SetItemText(IDC_CONNECT, kCaptionConnect);
      SetLinkState(LinkNotConnected);
      return;
    }
  }
  linkOpen_ = true;
  window_.EnableItem(IDC_PORT_LIST, false);
  NotifyLinkChange();
}

void CIrisDeskDlg::Disconnect() {
  if (!linkOpen_) return;
  linkOpen_ = false;
  EndWorker();
  // Everything the worker showed before it ended comes first.
  ApplyWorkerUpdates();
  CloseDevice();
  NotifyLinkChange();
  // A command the worker did not send before the stop must not move the diaphragm at
  // the next link, perhaps of another controller.
  commandQueue_.Clear();
  window_.SetItemText(IDC_CONNECT, kCaptionConnect);
  window_.EnableItem(IDC_PORT_LIST, true);
  SetControlsEnabled(false);
  // A worker that lost the device may just have said "Not Found.": that stays.
  if (linkState_.load() != LinkNotFound) SetLinkState(LinkNotConnected);
}

void CIrisDeskDlg::EndWorker() {
  if (!linkWorker_.joinable()) return;
  stopEvent_.Set();
  // Every wait in the worker watches the stop event and every bridge call returns at
  // once, so this takes at most one in-flight call, not a poll.
  linkWorker_.join();
}

void CIrisDeskDlg::CloseDevice() {
  if (const FT_HANDLE handle = deviceHandle_.exchange(nullptr)) bridge_.FT_Close(handle);
}

bool CIrisDeskDlg::Pause(Duration duration) { return clock_.WaitForStop(stopEvent_, duration); }

void CIrisDeskDlg::LinkWorkerMain() {
  RaiseCurrentThreadPriority();
  TimePoint nextPoll = clock_.Now() + kPollInterval;
  bool sentSincePoll = false;
  for (;;) {
    const auto left = std::max(Duration(0), std::chrono::duration_cast<Duration>(nextPoll - clock_.Now()));
    const StopEvent::Wait wait = clock_.WaitForStopOrWake(stopEvent_, left);
    if (wait == StopEvent::Wait::Stopped) {
      SetLinkState(LinkNotConnected);
      break;
    }
    try {
      if (wait == StopEvent::Wait::Woken && clock_.Now() < nextPoll) {
        // A command was queued: send it now. Only a client's stream of sizes waits
        // for the poll, which sends them first, rather than push the status request
        // back by their spacing time after time; the operator's clicks never wait.
        const bool late = clock_.Now() + kCommandSpacing > nextPoll;
        if (!late || !sentSincePoll || !requestedMoveQueued_.load()) {
          DrainCommandQueue();
          sentSincePoll = true;
        } else {
          // A stop meanwhile ends the wait at the loop's top.
          Pause(std::chrono::duration_cast<Duration>(nextPoll - clock_.Now()));
        }
        continue;
      }
      const TimePoint started = clock_.Now();
      sentSincePoll = false;
      if (!RunOnePoll()) break;
      // A steady cadence from one request to the next, whatever the commands before it
      // or the exchange took, and never a request hard on the end of a late one.
      nextPoll = std::max(started + kPollInterval, clock_.Now() + kCommandSpacing);
    } catch (...) {
      EndLinkFromWorker(false);
      break;
    }
  }
  workerEnded_ = true;
}

bool CIrisDeskDlg::RunOnePoll() {
  PollController();
  if (!deviceLost_) return true;
  deviceLost_ = false;
  EndLinkFromWorker(true);
  return false;
}

void CIrisDeskDlg::EndLinkFromWorker(bool deviceLost) {
  // A lost device's handle still holds the port (a file descriptor on Linux): release
  // it so the same device can be opened when it comes back. Dropped before the queue
  // is cleared, so no click can queue behind the clear.
  if (const FT_HANDLE handle = deviceHandle_.exchange(nullptr)) bridge_.FT_Close(handle);
  commandQueue_.Clear();
  WindowWriter& w = Writer();
  w.EnableItem(IDC_PORT_LIST, true);
  w.SetItemText(IDC_CURRENT_VALUE, "");
  w.SetItemText(IDC_CONNECT, kCaptionConnect);
  // The link is over, whatever the last reply said: never leave "Connected." with
  // controls that would do nothing. An empty list says "Not Found." by itself. A lost
  // controller that is still listed stays the chosen one.
  std::optional<ControllerEntry> lost;
  {
    std::lock_guard lock(listedMutex_);
    lost = linkedController_;
  }
  if (!deviceLost || EnumerateControllers(lost) != 0) SetLinkState(LinkNotConnected);
}

std::optional<ControllerEntry> CIrisDeskDlg::LinkedController() const {
  std::lock_guard lock(listedMutex_);
  if (!deviceHandle_.load()) return std::nullopt;
  return linkedController_;
}

void CIrisDeskDlg::SetLinkObserver(LinkObserver observer) {
  linkObserver_ = std::move(observer);
  observedLink_ = false;
  NotifyLinkChange();
}

void CIrisDeskDlg::NotifyLinkChange() {
  const bool open = deviceHandle_.load() != nullptr;
  if (open == observedLink_) return;
  observedLink_ = open;
  if (linkObserver_) linkObserver_(open ? LinkedController() : std::nullopt);
}

bool CIrisDeskDlg::Homing() const {
  std::lock_guard lock(sharedMutex_);
  if (initSeen_ < initAsked_.load()) return true;
  const uint8_t flags = shared_.reply ? shared_.reply->flags : 0;
  return (flags & StatusInitialising) || !(flags & StatusInitialised);
}

SharedLinkView CIrisDeskDlg::SharedView() const {
  SharedLinkView view;
  view.linkState = linkState_.load();
  std::lock_guard lock(sharedMutex_);
  view.reply = shared_.reply;
  const bool moving = view.reply && (view.reply->flags & (StatusMoving | StatusInitialising));
  view.motionPending = moving || motionSeen_ < motionAsked_.load();
  return view;
}

void CIrisDeskDlg::PollController() {
  if (!deviceHandle_.load()) return;
  // Every move or initialise queued by now goes out before this status request, so
  // its reply has seen them.
  const uint64_t asked = motionAsked_.load();
  const uint64_t initsAsked = initAsked_.load();
  DrainCommandQueue();
  if (stopEvent_.IsSet()) return;  // the link is closing: no new exchange
  const FT_HANDLE handle = deviceHandle_.load();
  if (!handle) return;

  const StatusExchange exchange = ExchangeStatus(bridge_, handle, clock_, &stopEvent_);
  switch (exchange.outcome) {
    case ExchangeOutcome::Lost: deviceLost_ = true; return;
    case ExchangeOutcome::NotSent: return;  // nothing is counted
    case ExchangeOutcome::Abandoned: deviceLost_ = false; return;
    case ExchangeOutcome::Missed:
      deviceLost_ = false;
      if (++missedReplies_ > kMissesBeforeNoFeedback) {
        missedReplies_ = 0;
        SetLinkState(LinkNoFeedback);
      }
      return;
    case ExchangeOutcome::Reply:
      deviceLost_ = false;
      HandleReply(exchange.reply, asked, initsAsked);
      return;
  }
}

void CIrisDeskDlg::HandleReply(const std::optional<StatusReply>& reply, uint64_t motionAsked, uint64_t initAsked) {
  SetLinkState(LinkConnected);
  missedReplies_ = 0;
  if (!reply) return;
  currentMm_ = StepsToMm(reply->position);
  Writer().SetItemText(IDC_CURRENT_VALUE, FormatFixed(currentMm_, 2));
  ApplyStatusFlags(reply->flags, initAsked);
  std::lock_guard lock(sharedMutex_);
  shared_.reply = reply;
  motionSeen_ = motionAsked;
  initSeen_ = initAsked;
}

void CIrisDeskDlg::ApplyStatusFlags(uint8_t flags, uint64_t initAsked) {
  const bool moving = flags & StatusMoving;
  const bool initialising = flags & StatusInitialising;
  const bool initialised = flags & StatusInitialised;
  if (!initialising && initPending_) {
    initPending_ = false;
    moveAfterInit_ = false;  // the same target: one move for both
    if (targetMm_.load() != 0.0) QueueMove();
  }
  // A requested size waits until the controller has had every initialise sent and
  // finished homing: a move it receives meanwhile is lost.
  if (!initialising && initialised && initAsked == initAsked_.load() && moveAfterInit_.exchange(false) &&
      targetMm_.load() != 0.0)
    QueueMove();
  if (!initialised && !initialising) {
    QueueInit();
    initPending_ = true;
  }
  WindowWriter& w = Writer();
  if (moving) {
    w.EnableItem(IDC_NEW_VALUE, false);
    w.EnableItem(IDC_DIAPHRAGM_SLIDER, false);
    if (initialising)
      w.EnableItem(IDC_SET_STOP, false);
    else
      w.SetItemText(IDC_SET_STOP, kCaptionStop);
  } else {
    w.EnableItem(IDC_NEW_VALUE, true);
    w.EnableItem(IDC_DIAPHRAGM_SLIDER, true);
    w.EnableItem(IDC_SET_STOP, true);
    w.SetItemText(IDC_SET_STOP, kCaptionSet);
  }
}

}  // namespace irisdesk
