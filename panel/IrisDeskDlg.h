#pragma once
// The panel: the whole state of the program and every operation on it. Two threads
// act on it: the window's thread runs the handlers, the link worker polls the
// controller. Fields either side may touch are atomic or locked; window changes the
// worker makes go through a DeferredWindowWriter so the worker never waits for the
// window's thread.
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "link/Bridge.h"
#include "link/Clock.h"
#include "link/CommandQueue.h"
#include "link/ControllerList.h"
#include "link/Exchange.h"
#include "link/WireProtocol.h"
#include "panel/DecimalEditCtrl.h"
#include "panel/DeferredWindowWriter.h"
#include "panel/WindowOps.h"

namespace irisdesk {

enum LinkState : uint8_t {
  LinkConnected = 0,
  LinkNoFeedback = 1,
  LinkNotConnected = 2,
  LinkNotFound = 3,
  LinkUnset = 0xFF,
};

// The status line for a state; nullptr for LinkUnset.
const char* LinkStateText(uint8_t state);

inline constexpr const char* kWindowTitle = "Kavro VRX-330 Control v1.0";
inline constexpr const char* kCaptionSet = "Set";
inline constexpr const char* kCaptionStop = "Stop";
inline constexpr const char* kCaptionConnect = "Connect";
inline constexpr const char* kCaptionDisconnect = "Disconnect";

inline constexpr int kMaxSizeMm = static_cast<int>(kTravelMm);
inline constexpr int kMissesBeforeNoFeedback = 6;

// What a thread other than the window's may know of the link, all read at once.
struct SharedLinkView {
  uint8_t linkState = LinkUnset;
  std::optional<StatusReply> reply;  // the controller's last status on this link
  // A move or initialise was asked for or is running and has not been seen to end.
  bool motionPending = false;
};

// Told on the window's thread when a link opens (its controller) and when it is over
// (nullopt), however it ended.
using LinkObserver = std::function<void(const std::optional<ControllerEntry>&)>;

struct PanelEnvironment {
  Bridge& bridge;
  // The settings file is chosen from this executable's place (ChooseSettingsPath).
  std::string executablePath;
  // Asks the window's thread to call ApplyWorkerUpdates soon; must not block.
  std::function<void()> wakeWindowThread;
  Clock& clock = RealClock();
  // false: Connect starts no thread, and the caller plays the worker by calling
  // RunOnePoll (tests that step time themselves).
  bool startWorker = true;
  // false: a panel without an operator (serve) starts from the defaults and keeps no
  // settings, so it never changes the panel's.
  bool useSettings = true;
};

class CIrisDeskDlg {
 public:
  // Constructed on the window's thread, which is the only thread that may call the
  // handlers below.
  CIrisDeskDlg(WindowOps& window, PanelEnvironment environment);
  ~CIrisDeskDlg();
  CIrisDeskDlg(const CIrisDeskDlg&) = delete;
  CIrisDeskDlg& operator=(const CIrisDeskDlg&) = delete;

  // Lifecycle.
  bool OnInitDialog();
  void OnDestroy();  // ends a live link, then saves the settings
  void SaveSettings();

  // Window changes the worker has recorded since the last call.
  void ApplyWorkerUpdates();

  // Value model.
  void ShowPositionInEntry();
  void OnEntryChanged();
  void OnSliderScroll(std::optional<int> scrollSource);
  void SelectPrecision(uint8_t newPrecision);
  // The entry's keystrokes: whether a typed character goes in, and the clamp when a
  // key is released.
  bool OnEntryChar(char32_t ch);
  void OnEntryKeyUp();

  // Link status and operator commands.
  void SetLinkState(uint8_t newState);
  void SetControlsEnabled(bool enabled);
  void OnSetStop();
  void OnAutoConnectClicked();
  void QueueInit();
  void QueueMove();
  void QueueStop();
  void DrainCommandQueue();

  // Connection and poll cycle.
  // Lists the controllers present; `keepSelected`'s controller is selected when it is
  // there, else the first.
  uint32_t EnumerateControllers(const std::optional<ControllerEntry>& keepSelected = std::nullopt);
  // The operator opens the port list: list the devices present now, unless linked.
  void OnPortListDropDown();
  // The listed controller the port list shows selected; none when the list is empty.
  std::optional<ControllerEntry> SelectedController();
  void ToggleConnection();
  void PollController();
  // One turn of the worker after its wait: a poll, then the lost-device path if the
  // device has gone. False when the worker ends.
  bool RunOnePoll();

  // The operator's Set, Init and Stop for other threads (the remote endpoint's): the
  // same queue, travel clamp and initialise-then-move rule as the buttons, a size kept
  // to 0.01 mm, and the window follows a size set this way. False when no link is open
  // (nothing queued). A size that rounds to 0 initialises.
  bool RequestSize(double mm);
  bool RequestInitialise();
  bool RequestStop();
  SharedLinkView SharedView() const;
  // The controller of the open link; nullopt when none is open. Any thread.
  std::optional<ControllerEntry> LinkedController() const;
  // One observer; a link already open is told at once.
  void SetLinkObserver(LinkObserver observer);

  // Read-only views for the shell and tests.
  CDecimalEditCtrl& entry() { return entry_; }
  const std::string& iniPath() const { return iniPath_; }
  uint8_t precision() const { return precision_; }
  int32_t sliderPosition() const { return sliderPosition_; }
  double targetMm() const { return targetMm_.load(); }
  uint8_t linkState() const { return linkState_.load(); }
  int32_t autoConnect() const { return autoConnect_; }
  int32_t missedReplies() const { return missedReplies_; }
  bool initPending() const { return initPending_; }
  bool linked() const { return deviceHandle_.load() != nullptr; }
  bool workerRunning() const { return linkWorker_.joinable() && !workerEnded_.load(); }
  CommandQueue& commandQueue() { return commandQueue_; }

 private:
  // Where window changes go: straight to the window on its own thread, recorded
  // for later on the worker.
  WindowWriter& Writer();
  void SetEntryText(const std::string& text);
  void ApplySliderScale();
  void Connect();
  void Disconnect();
  void EndWorker();
  void CloseDevice();
  void LinkWorkerMain();
  // The worker's end of a link it did not close itself: a lost device (which lists the
  // controllers again) or a poll that threw.
  void EndLinkFromWorker(bool deviceLost);
  // `replacingMove`: a move right behind an unsent move takes its place.
  void Enqueue(const QueuedCommand& command, bool replacingMove = false);
  // Waits on the stop event; true when the worker has been told to stop.
  bool Pause(Duration duration);
  // A status reply came: `reply` is empty when it could not be read or decoded.
  // `motionAsked`, `initAsked`: the moves and initialises, and the initialises, queued
  // before the request went out.
  void HandleReply(const std::optional<StatusReply>& reply, uint64_t motionAsked, uint64_t initAsked);
  void ApplyStatusFlags(uint8_t flags, uint64_t initAsked);
  // The size a request set, in 0.01 mm, shown by the slider and the entry (window's
  // thread).
  void FollowRequestedSize(uint32_t hundredths);
  // Whether the controller is homing, is to home, or has not homed: a move it gets
  // then is lost. Any thread.
  bool Homing() const;
  // Tells the observer when the link it knows of is no longer the open one.
  void NotifyLinkChange();

  WindowOps& window_;
  Bridge& bridge_;
  Clock& clock_;
  std::string executablePath_;
  bool startWorker_;
  bool useSettings_;
  DeferredWindowWriter deferred_;
  const std::thread::id windowThread_;
  CDecimalEditCtrl entry_;

  // Window's thread only.
  std::string iniPath_;
  // Units per mm: 1, 10 or 100. Written on the window's thread; read by requests too.
  std::atomic<uint8_t> precision_{1};
  int32_t sliderPosition_ = 0;  // in precision units
  bool sliderDriven_ = false;   // the entry is being rewritten from the slider
  int32_t autoConnect_ = 0;     // non-zero: connect at start-up
  int32_t portIndex_ = 0;
  // The controllers in the port list, in its order; written by whichever thread lists
  // (the window's, or the worker after a lost device).
  mutable std::mutex listedMutex_;
  std::vector<ControllerEntry> listed_;
  // The controller of the current (or last) link; set before its worker starts
  // (under listedMutex_, as requests read it).
  std::optional<ControllerEntry> linkedController_;
  LinkObserver linkObserver_;
  bool observedLink_ = false;  // the observer was told of an open link (window's thread)

  // Written by the window's thread, read by the worker.
  std::atomic<double> targetMm_{0.0};
  // Both threads; SetLinkState decides a change with one exchange.
  std::atomic<uint8_t> linkState_{LinkUnset};
  // Set by the window's thread before the worker starts and cleared by it after the
  // worker has been joined; the worker only drops it on a lost device.
  std::atomic<FT_HANDLE> deviceHandle_{nullptr};
  CommandQueue commandQueue_;
  // Moves and initialises queued on any link; the worker notes how many had been
  // queued before each status request, so a reply tells which it has seen.
  std::atomic<uint64_t> motionAsked_{0};
  // A requested move was queued since the last drain began.
  std::atomic<bool> requestedMoveQueued_{false};
  // Initialises queued on any link, counted as moves are, so a reply tells whether the
  // controller has had every one it was sent.
  std::atomic<uint64_t> initAsked_{0};
  // A size requested while the controller homes (or is about to): sent once it has.
  std::atomic<bool> moveAfterInit_{false};
  mutable std::mutex sharedMutex_;
  SharedLinkView shared_;  // under sharedMutex_: written by the worker and Connect
  uint64_t motionSeen_ = 0;  // under sharedMutex_
  uint64_t initSeen_ = 0;    // under sharedMutex_

  // Worker only (successive workers are ordered by the join before each start).
  double currentMm_ = 0.0;
  int32_t missedReplies_ = 0;
  bool deviceLost_ = false;
  bool initPending_ = false;

  StopEvent stopEvent_;
  bool linkOpen_ = false;  // Connect succeeded and no Disconnect since (window's thread)
  std::thread linkWorker_;
  std::atomic<bool> workerEnded_{false};
};

}  // namespace irisdesk
