// The poll cycle against a scripted bridge on a manual clock: exact bytes, exact
// timing rules, and the panel's reactions to each kind of reply.
#include <gtest/gtest.h>

#include <tuple>

#include "link/Exchange.h"
#include "link/SimulatedBridge.h"
#include "panel/IrisDeskDlg.h"
#include "support/PanelHarness.h"
#include "support/ScriptedBridge.h"

namespace irisdesk {
namespace {

using test::StatusReplyBytes;
using namespace std::chrono_literals;
using Strings = std::vector<std::string>;

class PollTest : public ::testing::Test {
 protected:
  ManualClock clock;
  test::ScriptedBridge bridge{clock};
  test::PanelHarness h;
  CIrisDeskDlg* p = nullptr;

  void SetUp() override { Restart(""); }
  // A panel started on `ini`, in a fresh window.
  void Restart(const std::string& ini) {
    if (!ini.empty()) h.WriteIni(ini);
    p = &h.Start(bridge, clock, /*startWorker=*/false);
  }
  void Connect() {
    p->ToggleConnection();
    ASSERT_TRUE(p->linked());
  }
  // What arrives after each status request: `bytes`, `after` the request.
  void Offer(std::vector<uint8_t> bytes, Duration after = 17ms) {
    bridge.offer = {{after, std::move(bytes)}};
  }
  void Answer(uint32_t position, uint8_t flags) { Offer(StatusReplyBytes(position, flags)); }
  void Silence() { bridge.offer.clear(); }
  // The worker's wait, then one poll.
  bool Poll() {
    clock.Advance(kPollInterval);
    return p->RunOnePoll();
  }
  std::string Shown() const { return h.window.Shown(); }
};

TEST_F(PollTest, ConnectConfiguresTheLineAndTheFirstReplyEnablesTheControls) {
  bridge.openStatus = FT_DEVICE_NOT_OPENED;
  p->ToggleConnection();
  EXPECT_EQ(Shown(), "VRX-330 Controller Not Connected.|Connect||list");
  bridge.openStatus = FT_OK;
  bridge.log.clear();
  Connect();
  EXPECT_EQ(Shown(), "VRX-330 Controller Not Connected.|Disconnect||");
  Answer(1537, StatusInitialised);
  Poll();
  EXPECT_EQ(bridge.log, (Strings{"Open VRX-330", "Baud 19200", "Data 8 0 0", "Latency 1", "Purge 1", "Write QTRX02PSG 0", "Read",
                                 "Purge 1"}));
  EXPECT_EQ(Shown(), "VRX-330 Controller Connected.|Disconnect|1.23|ops");
}

TEST_F(PollTest, SeventhMissInARowSaysNoFeedbackAndMissesCarryOverToTheNextLink) {
  Connect();
  Answer(860, StatusInitialised);
  Poll();
  Silence();
  for (int i = 0; i < 6; ++i) Poll();
  Answer(860, StatusInitialised);  // a reply after six misses starts the count again
  Poll();
  Silence();
  for (int i = 0; i < 4; ++i) Poll();
  p->ToggleConnection();
  Connect();
  for (int i = 0; i < 2; ++i) Poll();
  EXPECT_EQ(h.window.Text(IDC_STATUS_LINE), "VRX-330 Controller Not Connected.");
  Poll();
  EXPECT_EQ(Shown(), "VRX-330 Controller Connected. No Feedback.|Disconnect||");
  EXPECT_EQ(Strings(bridge.log.end() - 2, bridge.log.end()), (Strings{"Purge 1", "Purge 2"}));
}

TEST_F(PollTest, OnlySixteenWellFormedBytesWithinTwoHundredMillisecondsAreBelieved) {
  Connect();
  const auto reply = StatusReplyBytes(860, StatusInitialised);  // shows 0.00
  const auto other = StatusReplyBytes(1537, 0);                // would show 1.23 and ask for an initialise
  auto longer = other;
  longer.resize(20, '*');
  std::vector<uint8_t> stray{'*', '*', '\r'};  // then the reply's first 13: sixteen bytes, garbled
  stray.resize(kFrameSize);
  std::copy(other.begin(), other.begin() + 13, stray.begin() + 3);
  // What arrives and when, and the size then shown (none: a miss). Nothing of `other` may
  // be believed; sixteen bytes are an answer, "Connected." again, even when garbled.
  const std::tuple<std::vector<uint8_t>, Duration, const char*> cases[] = {
      {reply, 199ms, "0.00"}, {reply, 200ms, "0.00"},
      {other, 201ms, nullptr}, {other, 250ms, nullptr},  // late: purged before the next request
      {{other.begin(), other.begin() + 10}, 5ms, nullptr}, {longer, 5ms, nullptr},
      {stray, 5ms, ""},
      {StatusReplyBytes(1537, 0, "QTRX"), 5ms, ""},
      {StatusReplyBytes(1537, 0, "qtrx", "STP"), 5ms, ""}};
  for (const auto& [bytes, after, shown] : cases) {
    p->SetLinkState(LinkNoFeedback);
    const int before = p->missedReplies();
    Offer(bytes, after);
    Poll();
    EXPECT_EQ(p->missedReplies(), shown ? 0 : before + 1) << after.count() << " us, " << bytes.size();
    if (shown) {
      EXPECT_EQ(Shown(), std::string("VRX-330 Controller Connected.|Disconnect|") + shown + "|ops") << bytes.size();
    }
    EXPECT_TRUE(p->commandQueue().Empty()) << "flags of a dropped reply were acted on";
  }
}

TEST_F(PollTest, AnUnhomedControllerIsInitialisedThenMovedWithinTheTravel) {
  // The move after an initialise is one no operator pressed: it must never leave the
  // travel, whatever the file held. A waiting move to 0 is dropped.
  const std::tuple<const char*, const char*> cases[] = {
      {"Diaphragm Precision=10\r\nLast Diaphragm Value=50", "QTRX02MSP 3610"},
      {"Diaphragm Precision=100\r\nLast Diaphragm Value=5000", "QTRX02MSP 8560"},
      {"Diaphragm Precision=10\r\nLast Diaphragm Value=-50", "QTRX02MSP 860"},
      {"Last Diaphragm Value=0", nullptr}};
  for (const auto& [stored, move] : cases) {
    Restart(std::string("[settings]\r\nAuto Connect=1\r\n") + stored + "\r\n");
    bridge.written.clear();
    for (int flags : {0x00, StatusMoving | StatusInitialising, int{StatusInitialised}, int{StatusInitialised}}) {
      Answer(860, static_cast<uint8_t>(flags));
      Poll();
    }
    Strings expected{"QTRX02PSG 0", "QTRX02INT 0", "QTRX02PSG 0", "QTRX02PSG 0"};
    if (move) expected.push_back(move);
    expected.push_back("QTRX02PSG 0");
    EXPECT_EQ(bridge.written, expected) << stored;
  }
  // Only an idle, unhomed controller is initialised; a move still waiting goes first.
  const std::tuple<int, uint8_t, const char*> replies[] = {
      {0, 0x00, "INT "}, {0, 0x01, "INT "}, {0, 0x08, ""}, {0, 0x0C, ""},
      {0, 0x05, ""},     {0, 0x04, ""},     {5, 0x00, "MSP INT "}};
  for (const auto& [stored, flags, queued] : replies) {
    Restart("[settings]\r\nAuto Connect=1\r\nLast Diaphragm Value=" + std::to_string(stored) + "\r\n");
    Answer(860, 0x00);
    Poll();
    p->commandQueue().Clear();
    Answer(860, flags);
    Poll();
    std::string codes;
    while (auto q = p->commandQueue().TakeBack()) codes += std::string(q->Code()) + " ";
    EXPECT_EQ(codes, queued) << int{flags};
  }
}

TEST_F(PollTest, SetSendsTheSlidersValueWithinTheTravelAndOnlyOnALink) {
  h.Type("5");
  p->OnSetStop();
  p->QueueInit();
  EXPECT_TRUE(p->commandQueue().Empty());
  Connect();
  const std::tuple<uint8_t, const char*, const char*, const char*, const char*> cases[] = {
      {100, "3.456", "Set", "3.46", "MSP2763"},  // the slider's quantised value
      {10, "0", "Set", "0.0", "INT0"},           // zero is reached by initialising
      {100, "50", "Set", "14.00", "MSP8560"},    // pasted past the clamp: never beyond the travel
      {10, "5", "Stop", "5", "STP0"},
  };
  for (const auto& [precision, typed, caption, rewritten, queued] : cases) {
    p->SelectPrecision(precision);
    h.Type(typed);
    h.window.texts[IDC_SET_STOP] = caption;
    p->OnSetStop();
    EXPECT_EQ(h.window.Text(IDC_NEW_VALUE), rewritten);
    const auto sent = p->commandQueue().TakeBack();
    ASSERT_TRUE(sent) << typed;
    EXPECT_EQ(std::string(sent->Code()) + std::to_string(sent->parameter), queued);
    EXPECT_TRUE(p->commandQueue().Empty());
  }
}

TEST_F(PollTest, QueuedCommandsLeaveTwentyMillisecondsApartAndABacklogIsBounded) {
  Connect();
  h.Type("5");
  p->OnSetStop();
  h.Type("7");
  p->OnSetStop();
  Answer(860, StatusInitialised);
  Poll();
  EXPECT_EQ(bridge.written, (Strings{"QTRX02MSP 3610", "QTRX02MSP 4710", "QTRX02PSG 0"}));
  EXPECT_EQ(bridge.writtenAt[1] - bridge.writtenAt[0], 20ms);
  EXPECT_EQ(bridge.writtenAt[2] - bridge.writtenAt[1], 20ms);
  for (int waiting : {51, 52}) {  // 51 all go out; of 52 only the oldest
    bridge.written.clear();
    for (int i = 0; i < waiting; ++i) p->commandQueue().PushFront(QueuedCommand::Make("MSP", 1000 + i));
    p->DrainCommandQueue();
    ASSERT_EQ(bridge.written.size(), waiting == 51 ? 51u : 1u) << waiting;
    EXPECT_EQ(bridge.written.back(), waiting == 51 ? "QTRX02MSP 1050" : "QTRX02MSP 1000");
    EXPECT_TRUE(p->commandQueue().Empty());
  }
}

TEST_F(PollTest, ALostDeviceEndsTheLinkVisiblyAndConnectFindsItAgain) {
  h.Type("5");
  // The devices left, and the window: never "Connected." with controls that would do nothing.
  const std::tuple<Strings, const char*> cases[] = {
      {{"Other bridge"}, "VRX-330 Controller Not Connected.|Connect||list"},
      {Strings{}, "VRX-330 Controller Not Found.|Connect||list"}};
  for (const auto& [remaining, shown] : cases) {
    bridge.devices = {"VRX-330"};
    p->EnumerateControllers();
    Connect();
    Answer(860, StatusInitialised);
    Poll();
    p->OnSetStop();
    bridge.writeStatus = FT_IO_ERROR;
    bridge.devices = remaining;
    bridge.log.clear();
    EXPECT_FALSE(Poll());
    EXPECT_TRUE(p->commandQueue().Empty());
    EXPECT_EQ(Shown(), shown);
    EXPECT_EQ(h.window.list, remaining);
    // The lost handle is released, so the port can be reopened.
    EXPECT_EQ(std::count(bridge.log.begin(), bridge.log.end(), "Close"), 1);
    bridge.writeStatus = FT_OK;
  }
  bridge.devices = {"VRX-330"};
  p->ToggleConnection();  // Connect with an empty list looks again
  Answer(860, StatusInitialised);
  Poll();
  EXPECT_EQ(Shown(), "VRX-330 Controller Connected.|Disconnect|0.00|ops");
}

TEST_F(PollTest, ThePickedControllerStaysPickedWhenTheListIsOpened) {
  // The list before and after, the second entry of the first picked, and what Connect opens.
  const std::tuple<Strings, Strings, const char*> cases[] = {
      {{"A", "B"}, {"A", "B"}, "Open B"},
      {{"A", "B"}, {"C", "B", "A"}, "Open B"},  // found by name, not by place
      {{"A", "B"}, {"A", "C"}, "Open A"},       // gone: the first entry
      {{"B", ""}, {"B", ""}, "Open "},          // an empty description is an entry too
  };
  for (const auto& [before, after, opened] : cases) {
    bridge.devices = before;
    p->EnumerateControllers();
    h.window.selection = 1;
    bridge.devices = after;
    p->OnPortListDropDown();
    EXPECT_EQ(h.window.list, after);
    bridge.log.clear();
    p->ToggleConnection();
    EXPECT_EQ(bridge.log.front(), opened);
    p->ToggleConnection();
  }
  // Two of one model are told apart by serial number, else by port. What Connect opens
  // is looked up again first: after a replug that swapped the ports, the one picked.
  const std::tuple<Strings, Strings, Strings, int, Strings, const char*> ofOneModel[] = {
      {{"VRX-330", "VRX-330", "VRX-330 (S1)"}, {"S1", "S2", "S3"}, {}, 2,
       {"VRX-330 (S1)", "VRX-330 (S2)", "VRX-330 (S1) (#3)"}, "Open serial S3"},
      {{"VRX-330", "VRX-330"}, {"", "SB"}, {"/dev/ttyUSB0", "/dev/ttyUSB1"}, 0,
       {"VRX-330 (/dev/ttyUSB0)", "VRX-330 (SB)"}, "Open port /dev/ttyUSB1"},
  };
  for (const auto& [devices, serials, ports, row, shown, opened] : ofOneModel) {
    bridge.devices = devices;
    bridge.serials = serials;
    bridge.ports = ports;
    p->EnumerateControllers();
    EXPECT_EQ(h.window.list, shown);
    h.window.selection = row;
    if (!ports.empty()) bridge.serials = {"SB", ""};  // replugged: the two swapped ports
    bridge.log.clear();
    p->ToggleConnection();
    EXPECT_EQ(bridge.log.front(), opened);
    p->ToggleConnection();
  }
  bridge.serials.clear();
  bridge.ports.clear();
  bridge.devices.clear();
  EXPECT_EQ(p->EnumerateControllers(), 0u);
  EXPECT_EQ(h.window.Text(IDC_STATUS_LINE), "VRX-330 Controller Not Found.");
}

// The reply wait sleeps: one wait for a whole reply rather than one per byte, and the
// real clock never wakes before its time (a wake-up that came early would be asked
// again at once, round and round, through every reply).
TEST(ReplyWait, EndsOnceForAWholeReplyAndNeverBeforeItsTime) {
  ManualClock clock;
  SimulatedBridge bridge(clock);
  FT_HANDLE handle = nullptr;
  ASSERT_EQ(bridge.FT_OpenEx(kSimulatorDescription, FT_OPEN_BY_DESCRIPTION, &handle), FT_OK);
  const Duration frameTime = SimulatedController::kByteTime * static_cast<int>(kFrameSize);
  for (const bool shortReply : {false, true}) {
    bridge.controller().SetFaults({.shortReply = shortReply});
    ASSERT_EQ(SendFrame(bridge, handle, EncodeCommand(kCodeStatus, 0)), FT_OK);
    const TimePoint sent = clock.Now();
    ASSERT_EQ(bridge.WaitForReceive(handle, kReplyWindow), FT_OK);
    uint32_t waiting = 0;
    bridge.FT_GetQueueStatus(handle, &waiting);
    const uint32_t length = shortReply ? 10 : kFrameSize;
    EXPECT_EQ(waiting, length);
    EXPECT_EQ(clock.Now() - sent, frameTime + SimulatedController::kTurnaround +
                                      SimulatedController::kByteTime * static_cast<int>(length));
    // Nothing more on its way: the whole time asked for.
    const TimePoint then = clock.Now();
    bridge.WaitForReceive(handle, kReplyWindow);
    EXPECT_EQ(clock.Now() - then, kReplyWindow);
  }
  // Stray bytes before the reply: past a frame's worth, each further byte is waited for.
  bridge.controller().SetFaults({.strayBytes = true});
  bridge.FT_Purge(handle, FT_PURGE_RX);
  ASSERT_EQ(SendFrame(bridge, handle, EncodeCommand(kCodeStatus, 0)), FT_OK);
  for (const size_t expected : {kFrameSize, kFrameSize + 1}) {
    const TimePoint before = clock.Now();
    bridge.WaitForReceive(handle, kReplyWindow);
    uint32_t waiting = 0;
    bridge.FT_GetQueueStatus(handle, &waiting);
    EXPECT_EQ(waiting, expected);
    EXPECT_GT(clock.Now(), before);
  }
  bridge.FT_Close(handle);

  for (const Duration ahead : {Duration(300), Duration(900), Duration(1500), Duration(2700)}) {
    const TimePoint when = RealClock().Now() + ahead;
    RealClock().SleepUntil(when);
    EXPECT_GE(RealClock().Now(), when) << ahead.count() << " us ahead";
  }
}

// The real worker thread on a held clock: nothing happens by time unless the test
// moves the clock, so what does happen was caused by the click alone.
TEST(LinkWorkerTest, ClicksReachTheLineAtOnceAndEveryEndOfALinkIsShown) {
  ManualClock clock(/*held=*/true);
  test::ScriptedBridge bridge{clock};
  test::PanelHarness h;
  CIrisDeskDlg& p = h.Start(bridge, clock);
  // Lets time pass a millisecond at a time until `done` holds.
  const auto stepUntil = [&](const std::function<bool()>& done) {
    return h.PumpUntil([&] {
      if (done()) return true;
      clock.Advance(1ms);
      return false;
    });
  };

  h.Type("5");
  p.ToggleConnection();
  p.OnSetStop();  // the worker is 120 ms from its next poll: the move must not wait for it
  ASSERT_TRUE(h.PumpUntil([&] { return p.commandQueue().Empty(); }));
  h.window.texts[IDC_SET_STOP] = "Stop";
  p.OnSetStop();
  ASSERT_TRUE(stepUntil([&] { return p.commandQueue().Empty(); }));
  h.window.texts[IDC_SET_STOP] = "Set";
  h.Type("7");
  p.OnSetStop();          // waits out the spacing after the stop...
  p.ToggleConnection();   // ...and is dropped with its link
  EXPECT_EQ(bridge.written, (Strings{"QTRX02MSP 3610", "QTRX02STP 0"}));
  EXPECT_GE(bridge.writtenAt[1] - bridge.writtenAt[0], kCommandSpacing);  // still 20 ms apart

  // A poll that throws ends the link as visibly as an unplug; Connect brings it back.
  bridge.offer = {{17ms, StatusReplyBytes(860, StatusInitialised)}};
  for (const bool fault : {true, false}) {
    p.ToggleConnection();
    ASSERT_TRUE(stepUntil([&] { return h.window.Shown() == "VRX-330 Controller Connected.|Disconnect|0.00|ops"; }));
    if (!fault) break;
    bridge.throwOnWrite = true;
    ASSERT_TRUE(stepUntil([&] { return !p.workerRunning(); }));
    p.ApplyWorkerUpdates();
    EXPECT_EQ(h.window.Shown(), "VRX-330 Controller Not Connected.|Connect||list");
    EXPECT_FALSE(p.linked());
    bridge.throwOnWrite = false;
  }
}

}  // namespace
}  // namespace irisdesk
