// The poll cycle against a scripted bridge on a manual clock: exact bytes, exact
// timing rules, and the panel's reactions to each kind of reply.
#include <gtest/gtest.h>

#include "panel/IrisDeskDlg.h"
#include "support/PanelHarness.h"
#include "support/ScriptedBridge.h"

namespace irisdesk {
namespace {

using test::Arrival;
using test::StatusReplyBytes;
using namespace std::chrono_literals;
using Strings = std::vector<std::string>;

class PollTest : public ::testing::Test {
 protected:
  ManualClock clock;
  test::ScriptedBridge bridge{clock};
  test::PanelHarness h;
  CIrisDeskDlg* p = nullptr;

  void SetUp() override {
    h.panel = std::make_unique<CIrisDeskDlg>(
        h.window, PanelEnvironment{bridge, (h.dir.path() / "irisdesk").string(), {}, clock, false});
    p = h.panel.get();
    p->OnInitDialog();
  }
  void Connect() {
    p->ToggleConnection();
    ASSERT_TRUE(p->linked());
  }
  // What arrives after each status request: `bytes`, `after` the request.
  void Offer(std::vector<uint8_t> bytes, Duration after = 17ms) {
    bridge.onStatusRequest = [=] { return std::vector<Arrival>{{after, bytes}}; };
  }
  void Answer(uint32_t position, uint8_t flags) { Offer(StatusReplyBytes(position, flags)); }
  void Silence() { bridge.onStatusRequest = nullptr; }
  // The worker's wait, then one poll.
  bool Poll() {
    clock.Advance(kPollInterval);
    return p->RunOnePoll();
  }
  std::string Status() const { return h.window.Text(IDC_STATUS_LINE); }
  std::string Drain() {  // the queue, oldest first
    std::string codes;
    while (auto c = p->commandQueue().TakeBack()) codes += std::string(c->Code()) + " ";
    return codes;
  }
};

TEST_F(PollTest, ConnectOpensTheSelectedDeviceAndConfiguresTheLine) {
  Connect();
  EXPECT_EQ(bridge.log, (Strings{"Open VRX-330", "Baud 19200", "Data 8 0 0"}));
  EXPECT_EQ(h.window.Text(IDC_CONNECT), "Disconnect");
  EXPECT_FALSE(h.window.IsEnabled(IDC_PORT_LIST));
  EXPECT_EQ(Status(), "");  // the first poll decides the state
}

TEST_F(PollTest, FailedOpenSaysNotConnectedAndKeepsConnect) {
  bridge.openStatus = FT_DEVICE_NOT_OPENED;
  p->ToggleConnection();
  EXPECT_FALSE(p->linked());
  EXPECT_EQ(Status(), "VRX-330 Controller Not Connected.");
  EXPECT_EQ(h.window.Text(IDC_CONNECT), "Connect");
  EXPECT_TRUE(h.window.IsEnabled(IDC_PORT_LIST));
}

TEST_F(PollTest, ReplyShowsSizeAndEnablesTheControls) {
  Connect();
  bridge.log.clear();
  Answer(1537, StatusInitialised);
  Poll();
  EXPECT_EQ(bridge.log, (Strings{"Purge 1", "Write QTRX02PSG 0", "Read", "Purge 1"}));
  EXPECT_EQ(Status(), "VRX-330 Controller Connected.");
  EXPECT_EQ(h.window.Text(IDC_CURRENT_VALUE), "1.23");
  for (int id : {IDC_PRECISION_1MM, IDC_PRECISION_01MM, IDC_PRECISION_001MM, IDC_NEW_VALUE, IDC_SET_STOP,
                 IDC_DIAPHRAGM_SLIDER})
    EXPECT_TRUE(h.window.IsEnabled(id)) << id;
}

TEST_F(PollTest, SeventhMissInARowSaysNoFeedback) {
  Connect();
  Answer(860, StatusInitialised);
  Poll();
  Silence();
  for (int i = 0; i < 6; ++i) Poll();
  EXPECT_EQ(Status(), "VRX-330 Controller Connected.");
  Answer(860, StatusInitialised);  // a reply after six misses starts the count again
  Poll();
  EXPECT_EQ(p->missedReplies(), 0);
  Silence();
  for (int i = 0; i < 7; ++i) Poll();
  EXPECT_EQ(Status(), "VRX-330 Controller Connected. No Feedback.");
  EXPECT_EQ(p->missedReplies(), 0);
  EXPECT_EQ(h.window.Text(IDC_CURRENT_VALUE), "");
  EXPECT_FALSE(h.window.IsEnabled(IDC_SET_STOP));
  EXPECT_EQ(Strings(bridge.log.end() - 2, bridge.log.end()), (Strings{"Purge 1", "Purge 2"}));
}

TEST_F(PollTest, OnlyExactlySixteenBytesWithinTwoHundredMillisecondsAreAReply) {
  Connect();
  auto reply = StatusReplyBytes(860, 8);
  auto longer = reply;
  longer.resize(20, '*');
  const struct {
    std::vector<uint8_t> bytes;
    Duration after;
    bool counted;
  } cases[] = {{reply, 199ms, true},  {reply, 200ms, true},
               {reply, 201ms, false}, {reply, 250ms, false},  // late: a miss, purged before the next request
               {{reply.begin(), reply.begin() + 10}, 5ms, false}, {longer, 5ms, false},
               {reply, 17ms, true}};
  for (const auto& c : cases) {
    Offer(c.bytes, c.after);
    const int before = p->missedReplies();
    Poll();
    EXPECT_EQ(p->missedReplies() == 0, c.counted) << c.after.count() << " us, " << c.bytes.size() << " bytes";
    EXPECT_EQ(p->missedReplies(), c.counted ? 0 : before + 1);
  }
  EXPECT_EQ(h.window.Text(IDC_CURRENT_VALUE), "0.00");
}

TEST_F(PollTest, GarbledRepliesAreDroppedAfterConnected) {
  Connect();
  auto reply = StatusReplyBytes(1537, 0);
  // Three stray bytes then the reply's first 13: exactly 16 wait for a moment.
  std::vector<uint8_t> stray{'*', '*', '\r'};
  stray.insert(stray.end(), reply.begin(), reply.begin() + 13);
  for (const auto& bytes : {stray, StatusReplyBytes(1537, 0, "QTRX"), StatusReplyBytes(1537, 0, "qtrx", "STP")}) {
    h.window.texts[IDC_STATUS_LINE] = "";
    h.panel->SetLinkState(LinkNoFeedback);
    Offer(bytes, 5ms);
    Poll();
    EXPECT_EQ(Status(), "VRX-330 Controller Connected.");
    EXPECT_EQ(h.window.Text(IDC_CURRENT_VALUE), "");
    EXPECT_TRUE(p->commandQueue().Empty()) << "flags of a dropped reply were acted on";
  }
}

TEST_F(PollTest, UnhomedIdleControllerIsInitialised) {
  Connect();
  for (const auto& [flags, initQueued] :
       std::vector<std::pair<uint8_t, bool>>{{0x00, true}, {0x01, true}, {0x08, false}, {0x0C, false},
                                             {0x05, false}, {0x04, false}}) {
    p->commandQueue().Clear();
    Answer(860, flags);
    Poll();
    EXPECT_EQ(p->commandQueue().Size(), initQueued ? 1u : 0u) << int{flags};
  }
}

TEST_F(PollTest, TheMoveWaitingForInitialisationIsSentWhenItEnds) {
  Connect();
  h.Type("5");
  Answer(3000, 0x00);  // uninitialised
  Poll();
  Answer(2000, StatusMoving | StatusInitialising);
  Poll();  // sends INT; still initialising: the move waits
  EXPECT_TRUE(p->initPending());
  Answer(860, StatusInitialised);
  Poll();  // over: the move is queued...
  Poll();  // ...and sent
  EXPECT_FALSE(p->initPending());
  EXPECT_EQ(bridge.WrittenCommands(), (Strings{"QTRX02PSG 0", "QTRX02INT 0", "QTRX02PSG 0", "QTRX02PSG 0",
                                               "QTRX02MSP 3610", "QTRX02PSG 0"}));
}

TEST_F(PollTest, WaitingMoveWithAnUnhomedReplyIsQueuedBeforeTheNewInitialise) {
  Connect();
  h.Type("5");
  Answer(3000, 0x00);
  Poll();
  p->commandQueue().Clear();
  Poll();
  EXPECT_TRUE(p->initPending());
  EXPECT_EQ(Drain(), "MSP INT ");
}

TEST_F(PollTest, WaitingMoveToZeroIsDropped) {
  Connect();
  Answer(3000, 0x00);
  Poll();
  p->commandQueue().Clear();
  Answer(860, StatusInitialised);
  Poll();
  EXPECT_FALSE(p->initPending());
  EXPECT_TRUE(p->commandQueue().Empty());
}

TEST_F(PollTest, SetStopFollowsTheMotorFlags) {
  Connect();
  const struct {
    uint8_t flags;
    const char* caption;
    bool setStopEnabled, entryEnabled;
  } steps[] = {{StatusMoving | StatusInitialising, "Set", false, false},
               {StatusMoving | StatusInitialised, "Stop", false, false},  // caption changes, state does not
               {StatusInitialised, "Set", true, true}};
  for (const auto& s : steps) {
    Answer(2000, s.flags);
    Poll();
    EXPECT_EQ(h.window.Text(IDC_SET_STOP), s.caption) << int{s.flags};
    EXPECT_EQ(h.window.IsEnabled(IDC_SET_STOP), s.setStopEnabled) << int{s.flags};
    EXPECT_EQ(h.window.IsEnabled(IDC_NEW_VALUE), s.entryEnabled) << int{s.flags};
    EXPECT_EQ(h.window.IsEnabled(IDC_DIAPHRAGM_SLIDER), s.entryEnabled) << int{s.flags};
  }
}

TEST_F(PollTest, SetSendsTheSlidersValueWithinTheTravel) {
  Connect();
  const struct {
    uint8_t precision;
    const char* typed;
    const char* caption;
    const char* rewritten;
    const char* queued;
  } cases[] = {
      {100, "3.456", "Set", "3.46", "MSP2763"},  // the slider's quantised value
      {10, "0", "Set", "0.0", "INT0"},           // zero is reached by initialising
      {100, "50", "Set", "14.00", "MSP8560"},    // pasted past the clamp: never beyond the travel
      {10, "5", "Stop", "5", "STP0"},
  };
  for (const auto& c : cases) {
    p->SelectPrecision(c.precision);
    h.Type(c.typed);
    h.window.texts[IDC_SET_STOP] = c.caption;
    p->OnSetStop();
    EXPECT_EQ(h.window.Text(IDC_NEW_VALUE), c.rewritten);
    const auto queued = p->commandQueue().TakeBack();
    ASSERT_TRUE(queued) << c.typed;
    EXPECT_EQ(std::string(queued->Code()) + std::to_string(queued->parameter), c.queued);
    EXPECT_TRUE(p->commandQueue().Empty());
  }
}

TEST_F(PollTest, CommandsNeedALink) {
  h.Type("5");
  p->OnSetStop();
  p->QueueInit();
  h.window.texts[IDC_SET_STOP] = "Stop";
  p->OnSetStop();
  EXPECT_TRUE(p->commandQueue().Empty());
}

TEST_F(PollTest, QueuedCommandsLeaveTwentyMillisecondsApartBeforeTheStatusRequest) {
  Connect();
  h.Type("5");
  p->OnSetStop();
  h.Type("7");
  p->OnSetStop();
  Answer(860, StatusInitialised);
  Poll();
  EXPECT_EQ(bridge.WrittenCommands(), (Strings{"QTRX02MSP 3610", "QTRX02MSP 4710", "QTRX02PSG 0"}));
  EXPECT_EQ(bridge.writtenAt[1] - bridge.writtenAt[0], 20ms);
  EXPECT_EQ(bridge.writtenAt[2] - bridge.writtenAt[1], 20ms);
}

TEST_F(PollTest, DrainSendsFiftyOneButOnlyTheOldestOfFiftyTwo) {
  Connect();
  for (int waiting : {51, 52}) {
    bridge.written.clear();
    for (int i = 0; i < waiting; ++i) p->commandQueue().PushFront(QueuedCommand::Make("MSP", 1000 + i));
    p->DrainCommandQueue();
    ASSERT_EQ(bridge.written.size(), waiting == 51 ? 51u : 1u) << waiting;
    EXPECT_EQ(ReadBigEndian32(bridge.written.front().data() + 9), 1000u);
    EXPECT_EQ(ReadBigEndian32(bridge.written.back().data() + 9), waiting == 51 ? 1050u : 1000u);
    EXPECT_TRUE(p->commandQueue().Empty());
  }
}

TEST_F(PollTest, IoErrorLosesTheDeviceAndRefillsTheList) {
  h.Type("5");
  const struct {
    Strings remaining;
    const char* status;
  } cases[] = {{{"Other bridge"}, "VRX-330 Controller Not Connected."}, {{}, "VRX-330 Controller Not Found."}};
  for (const auto& c : cases) {
    Connect();
    Answer(860, StatusInitialised);
    Poll();
    p->OnSetStop();
    bridge.writeStatus = FT_IO_ERROR;
    bridge.devices = c.remaining;
    EXPECT_FALSE(Poll());
    EXPECT_FALSE(p->linked());
    EXPECT_TRUE(p->commandQueue().Empty());
    EXPECT_EQ(h.window.Text(IDC_CONNECT), "Connect");
    EXPECT_EQ(h.window.Text(IDC_CURRENT_VALUE), "");
    EXPECT_TRUE(h.window.IsEnabled(IDC_PORT_LIST));
    EXPECT_EQ(h.window.list, c.remaining);
    EXPECT_EQ(Status(), c.status);  // never "Connected." with controls that would do nothing
    EXPECT_FALSE(h.window.IsEnabled(IDC_SET_STOP));
    EXPECT_EQ(bridge.closes, 1);  // the lost handle is released, so the port can be reopened
    bridge.closes = 0;
    bridge.writeStatus = FT_OK;
    bridge.devices = {"VRX-330"};
    p->EnumerateControllers();
  }
}

TEST_F(PollTest, DeviceBackAfterALossIsFoundWithoutARestart) {
  Connect();
  bridge.writeStatus = FT_IO_ERROR;
  bridge.devices.clear();
  ASSERT_FALSE(Poll());
  bridge.writeStatus = FT_OK;
  bridge.devices = {"VRX-330"};
  p->ToggleConnection();  // Connect with an empty list looks again
  EXPECT_TRUE(p->linked());
  Answer(860, StatusInitialised);
  Poll();
  EXPECT_EQ(Status(), "VRX-330 Controller Connected.");
  EXPECT_TRUE(h.window.IsEnabled(IDC_PRECISION_01MM));
}

TEST_F(PollTest, ThePickedControllerStaysPickedWhenTheListIsOpened) {
  const struct {
    Strings before, after;
    int picked;
    const char* opened;
  } cases[] = {
      {{"A", "B"}, {"A", "B"}, 1, "Open B"},
      {{"A", "B"}, {"C", "B", "A"}, 1, "Open B"},  // found by name, not by place
      {{"A", "B"}, {"A", "C"}, 1, "Open A"},       // gone: the first entry
      {{"B", ""}, {"B", ""}, 1, "Open "},          // an empty description is an entry too
  };
  for (const auto& c : cases) {
    bridge.devices = c.before;
    p->EnumerateControllers();
    h.window.selection = c.picked;
    bridge.devices = c.after;
    p->OnPortListDropDown();
    bridge.log.clear();
    p->ToggleConnection();
    EXPECT_EQ(bridge.log.front(), c.opened);
    p->ToggleConnection();
  }
}

TEST_F(PollTest, EveryMoveStaysWithinTheTravel) {
  // A stored size beyond the travel, auto-connect and an unhomed controller: the move
  // that follows the initialise is the one no operator pressed.
  const struct {
    const char* stored;
    const char* move;
  } cases[] = {{"Diaphragm Precision=100\r\nLast Diaphragm Value=5000", "QTRX02MSP 8560"},
               {"Diaphragm Precision=10\r\nLast Diaphragm Value=-50", "QTRX02MSP 860"}};
  for (const auto& c : cases) {
    h.panel.reset();
    h.WriteIni(std::string("[settings]\r\nAuto Connect=1\r\n") + c.stored + "\r\n");
    h.window = test::FakeWindow();
    SetUp();
    ASSERT_TRUE(p->linked());
    bridge.written.clear();
    Answer(860, 0x00);
    Poll();
    Answer(860, StatusInitialised);
    Poll();
    Poll();
    EXPECT_EQ(bridge.WrittenCommands(), (Strings{"QTRX02PSG 0", "QTRX02INT 0", "QTRX02PSG 0", c.move, "QTRX02PSG 0"}));
  }
}

TEST_F(PollTest, MissesCarryOverToTheNextLink) {
  Connect();
  for (int i = 0; i < 4; ++i) Poll();
  p->ToggleConnection();
  Connect();
  for (int i = 0; i < 3; ++i) Poll();
  EXPECT_EQ(Status(), "VRX-330 Controller Connected. No Feedback.");
}

TEST_F(PollTest, EnumerationListsDevicesInOrderWithoutTouchingTheState) {
  bridge.devices = {"VRX-330 A", "", "VRX-330 B"};
  EXPECT_EQ(p->EnumerateControllers(), 3u);
  EXPECT_EQ(h.window.list, bridge.devices);
  EXPECT_EQ(h.window.selection, 0);
  EXPECT_EQ(Status(), "");
  bridge.devices.clear();
  EXPECT_EQ(p->EnumerateControllers(), 0u);
  EXPECT_EQ(Status(), "VRX-330 Controller Not Found.");
  h.window.texts[IDC_CURRENT_VALUE] = "1.00";
  EXPECT_EQ(p->EnumerateControllers(), 0u);
  EXPECT_EQ(h.window.Text(IDC_CURRENT_VALUE), "1.00");  // already Not Found: nothing cleared again
}

// The real worker thread on a held clock: nothing happens by time unless the test
// moves the clock, so what does happen was caused by the click alone.
TEST(LinkWorkerTest, ClicksReachTheLineAtOnceAndEveryEndOfALinkIsShown) {
  ManualClock clock(/*held=*/true);
  test::ScriptedBridge bridge{clock};
  test::PanelHarness h;
  h.panel = std::make_unique<CIrisDeskDlg>(
      h.window, PanelEnvironment{bridge, (h.dir.path() / "irisdesk").string(), {}, clock});
  CIrisDeskDlg& p = *h.panel;
  p.OnInitDialog();
  const auto queueEmpties = [&] { return h.PumpUntil([&] { return p.commandQueue().Empty(); }); };
  // Lets time pass a millisecond at a time until `done` holds.
  const auto stepUntil = [&](const std::function<bool()>& done) {
    return h.PumpUntil([&] {
      if (done()) return true;
      clock.Advance(1ms);
      return false;
    });
  };
  const auto shows = [&](const char* status) {
    return stepUntil([&] { return h.window.Text(IDC_STATUS_LINE) == status; });
  };
  const auto reply = [&](uint8_t flags) {
    bridge.onStatusRequest = [=] { return std::vector<Arrival>{{17ms, StatusReplyBytes(860, flags)}}; };
  };

  h.Type("5");
  p.ToggleConnection();
  p.OnSetStop();  // the worker is 120 ms from its next poll: the move must not wait for it
  ASSERT_TRUE(queueEmpties());
  h.window.texts[IDC_SET_STOP] = "Stop";
  p.OnSetStop();
  ASSERT_TRUE(stepUntil([&] { return p.commandQueue().Empty(); }));
  h.window.texts[IDC_SET_STOP] = "Set";
  h.Type("7");
  p.OnSetStop();          // waits out the spacing after the stop...
  p.ToggleConnection();   // ...and is dropped with its link
  EXPECT_EQ(bridge.WrittenCommands(), (Strings{"QTRX02MSP 3610", "QTRX02STP 0"}));
  EXPECT_GE(bridge.writtenAt[1] - bridge.writtenAt[0], kCommandSpacing);  // still 20 ms apart
  EXPECT_TRUE(p.commandQueue().Empty());

  // A poll that throws ends the link as visibly as an unplug; Connect brings it back.
  for (const bool fault : {true, false}) {
    reply(StatusInitialised);
    p.ToggleConnection();
    ASSERT_TRUE(shows("VRX-330 Controller Connected."));
    EXPECT_TRUE(h.window.IsEnabled(IDC_PRECISION_01MM));
    if (!fault) break;
    bridge.throwOnWrite = true;
    ASSERT_TRUE(stepUntil([&] { return !p.workerRunning(); }));
    p.ApplyWorkerUpdates();
    EXPECT_EQ(h.window.Text(IDC_STATUS_LINE), "VRX-330 Controller Not Connected.");
    EXPECT_EQ(h.window.Text(IDC_CONNECT), "Connect");
    EXPECT_FALSE(h.window.IsEnabled(IDC_SET_STOP));
    EXPECT_FALSE(p.linked());
    bridge.throwOnWrite = false;
  }
}

}  // namespace
}  // namespace irisdesk
