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
  // The controller answers every status request with this, 17 ms later.
  void Answer(uint32_t position, uint8_t flags) {
    bridge.onStatusRequest = [=] { return std::vector<Arrival>{{17ms, StatusReplyBytes(position, flags)}}; };
  }
  void Silence() { bridge.onStatusRequest = nullptr; }
  // The worker's wait, then one poll.
  bool Poll() {
    clock.Advance(kPollInterval);
    return p->RunOnePoll();
  }
  std::string Status() const { return h.window.Text(IDC_STATUS_LINE); }
};

TEST_F(PollTest, ConnectOpensTheListedControllerAndConfiguresTheLine) {
  Connect();
  EXPECT_EQ(bridge.log, (std::vector<std::string>{"Open VRX-330", "Baud 19200", "Data 8 0 0"}));
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

TEST_F(PollTest, EmptyListTriesAnEmptyDescription) {
  bridge.devices.clear();
  p->EnumerateControllers();
  bridge.openStatus = FT_DEVICE_NOT_FOUND;
  p->ToggleConnection();
  EXPECT_EQ(bridge.log.back(), "Open ");
  EXPECT_EQ(Status(), "VRX-330 Controller Not Connected.");
}

TEST_F(PollTest, ReplyShowsSizeAndEnablesTheControls) {
  Connect();
  bridge.log.clear();
  Answer(1537, StatusInitialised);
  Poll();
  EXPECT_EQ(bridge.log, (std::vector<std::string>{"Purge 1", "Write QTRX02PSG 0", "Read", "Purge 1"}));
  EXPECT_EQ(Status(), "VRX-330 Controller Connected.");
  EXPECT_EQ(h.window.Text(IDC_CURRENT_VALUE), "1.23");
  for (int id : {IDC_PRECISION_1MM, IDC_PRECISION_01MM, IDC_PRECISION_001MM, IDC_NEW_VALUE, IDC_SET_STOP,
                 IDC_DIAPHRAGM_SLIDER})
    EXPECT_TRUE(h.window.IsEnabled(id)) << id;
}

TEST_F(PollTest, SixMissesThenAReplyNeverSayNoFeedback) {
  Connect();
  Answer(860, StatusInitialised);
  Poll();
  Silence();
  for (int i = 0; i < 6; ++i) Poll();
  EXPECT_EQ(p->missedReplies(), 6);
  EXPECT_EQ(Status(), "VRX-330 Controller Connected.");
  Answer(860, StatusInitialised);
  Poll();
  EXPECT_EQ(p->missedReplies(), 0);
  EXPECT_EQ(Status(), "VRX-330 Controller Connected.");
}

TEST_F(PollTest, SeventhMissSaysNoFeedbackAndPurgesBothWays) {
  Connect();
  Answer(3610, StatusInitialised);
  Poll();
  Silence();
  for (int i = 0; i < 7; ++i) Poll();
  EXPECT_EQ(Status(), "VRX-330 Controller Connected. No Feedback.");
  EXPECT_EQ(p->missedReplies(), 0);
  EXPECT_EQ(h.window.Text(IDC_CURRENT_VALUE), "");
  EXPECT_FALSE(h.window.IsEnabled(IDC_SET_STOP));
  const std::vector<std::string> tail(bridge.log.end() - 2, bridge.log.end());
  EXPECT_EQ(tail, (std::vector<std::string>{"Purge 1", "Purge 2"}));
}

TEST_F(PollTest, ReplyWindowIsTwoHundredMilliseconds) {
  Connect();
  const struct {
    std::chrono::milliseconds after;
    bool counted;
  } cases[] = {{199ms, true}, {200ms, true}, {201ms, false}, {250ms, false}};
  for (const auto& c : cases) {
    bridge.onStatusRequest = [&] { return std::vector<Arrival>{{c.after, StatusReplyBytes(860, 8)}}; };
    const int before = p->missedReplies();
    Poll();
    EXPECT_EQ(p->missedReplies() == 0, c.counted) << c.after.count() << " ms, missed before " << before;
  }
}

TEST_F(PollTest, ALateReplyIsPurgedAndNotTakenForTheNextOne) {
  Connect();
  bridge.onStatusRequest = [] { return std::vector<Arrival>{{250ms, StatusReplyBytes(3610, 8)}}; };
  Poll();
  EXPECT_EQ(p->missedReplies(), 1);
  Answer(1537, StatusInitialised);
  Poll();  // the late reply lands during the wait and is purged before the request
  EXPECT_EQ(h.window.Text(IDC_CURRENT_VALUE), "1.23");
}

TEST_F(PollTest, ShortOrOverlongRepliesAreMisses) {
  Connect();
  for (size_t length : {10u, 20u}) {
    auto bytes = StatusReplyBytes(860, 8);
    bytes.resize(length, '*');
    bridge.onStatusRequest = [=] { return std::vector<Arrival>{{5ms, bytes}}; };
    const int before = p->missedReplies();
    Poll();
    EXPECT_EQ(p->missedReplies(), before + 1) << length;
  }
}

TEST_F(PollTest, StrayBytesBeforeTheReplyGetItDroppedAfterConnected) {
  Connect();
  // Three stray bytes, then the reply's first 13 bytes: exactly 16 wait for a moment.
  bridge.onStatusRequest = [] {
    auto reply = StatusReplyBytes(1537, 8);
    std::vector<uint8_t> head{'*', '*', '\r'};
    head.insert(head.end(), reply.begin(), reply.begin() + 13);
    return std::vector<Arrival>{{5ms, head}, {150ms, {reply.begin() + 13, reply.end()}}};
  };
  Poll();
  EXPECT_EQ(Status(), "VRX-330 Controller Connected.");
  EXPECT_EQ(p->missedReplies(), 0);
  EXPECT_EQ(h.window.Text(IDC_CURRENT_VALUE), "");  // header did not match
}

TEST_F(PollTest, WrongHeaderOrCodeIsIgnoredAfterConnected) {
  for (const auto& wrong : {std::pair{"QTRX", "PSG"}, std::pair{"qtrx", "STP"}}) {
    const char* header = wrong.first;
    const char* code = wrong.second;
    test::PanelHarness fresh;
    fresh.panel = std::make_unique<CIrisDeskDlg>(
        fresh.window, PanelEnvironment{bridge, (fresh.dir.path() / "x").string(), {}, clock, false});
    fresh.panel->OnInitDialog();
    fresh.panel->ToggleConnection();
    bridge.onStatusRequest = [=] { return std::vector<Arrival>{{5ms, StatusReplyBytes(1537, 0, header, code)}}; };
    fresh.panel->RunOnePoll();
    EXPECT_EQ(fresh.window.Text(IDC_STATUS_LINE), "VRX-330 Controller Connected.");
    EXPECT_EQ(fresh.window.Text(IDC_CURRENT_VALUE), "");
    EXPECT_TRUE(fresh.panel->commandQueue().Empty()) << "flags of a dropped reply were acted on";
  }
}

TEST_F(PollTest, UninitialisedControllerIsInitialisedOnlyWhenIdleAndUnhomed) {
  Connect();
  const struct {
    uint8_t flags;
    bool initQueued;
  } cases[] = {{0x00, true}, {0x01, true}, {0x08, false}, {0x0C, false}, {0x05, false}, {0x04, false}};
  for (const auto& c : cases) {
    p->commandQueue().Clear();
    Answer(860, c.flags);
    Poll();
    EXPECT_EQ(p->commandQueue().Size(), c.initQueued ? 1u : 0u) << int{c.flags};
  }
}

TEST_F(PollTest, AutomaticInitialiseThenTheWaitingMove) {
  Connect();
  h.Type("5");
  Answer(3000, 0x00);  // uninitialised
  Poll();
  EXPECT_TRUE(p->initPending());
  Answer(2000, StatusMoving | StatusInitialising);
  Poll();  // sends INT; still initialising: the move waits
  EXPECT_TRUE(p->initPending());
  Answer(860, StatusInitialised);
  Poll();  // initialisation over: the move is queued
  EXPECT_FALSE(p->initPending());
  Poll();  // and sent
  EXPECT_EQ(bridge.WrittenCommands(), (std::vector<std::string>{"QTRX02PSG 0", "QTRX02INT 0", "QTRX02PSG 0",
                                                                "QTRX02PSG 0", "QTRX02MSP 3610", "QTRX02PSG 0"}));
}

TEST_F(PollTest, WaitingMoveToZeroIsDropped) {
  Connect();
  Answer(3000, 0x00);
  Poll();
  ASSERT_TRUE(p->initPending());
  p->commandQueue().Clear();
  Answer(860, StatusInitialised);
  Poll();
  EXPECT_FALSE(p->initPending());
  EXPECT_TRUE(p->commandQueue().Empty());
}

TEST_F(PollTest, UnhomedWithAMoveWaitingQueuesTheMoveBeforeTheInitialise) {
  Connect();
  h.Type("5");
  Answer(3000, 0x00);
  Poll();
  p->commandQueue().Clear();
  Poll();
  EXPECT_TRUE(p->initPending());
  EXPECT_EQ(p->commandQueue().TakeBack()->Code(), "MSP");
  EXPECT_EQ(p->commandQueue().TakeBack()->Code(), "INT");
}

TEST_F(PollTest, SetStopFollowsTheMotorFlags) {
  Connect();
  Answer(2000, StatusMoving | StatusInitialising);
  Poll();
  EXPECT_FALSE(h.window.IsEnabled(IDC_SET_STOP));
  EXPECT_FALSE(h.window.IsEnabled(IDC_NEW_VALUE));
  EXPECT_FALSE(h.window.IsEnabled(IDC_DIAPHRAGM_SLIDER));
  Answer(2500, StatusMoving | StatusInitialised);
  Poll();
  EXPECT_EQ(h.window.Text(IDC_SET_STOP), "Stop");
  EXPECT_FALSE(h.window.IsEnabled(IDC_SET_STOP));  // the caption changes, not the state
  Answer(3610, StatusInitialised);
  Poll();
  EXPECT_EQ(h.window.Text(IDC_SET_STOP), "Set");
  EXPECT_TRUE(h.window.IsEnabled(IDC_SET_STOP));
  EXPECT_TRUE(h.window.IsEnabled(IDC_NEW_VALUE));
}

TEST_F(PollTest, SetSendsTheSlidersQuantisedValue) {
  Connect();
  p->SelectPrecision(100);
  h.Type("3.456");
  p->OnSetStop();
  EXPECT_EQ(h.window.Text(IDC_NEW_VALUE), "3.46");
  EXPECT_EQ(p->commandQueue().TakeBack()->parameter, MmToSteps(3.46));
}

TEST_F(PollTest, SetAtZeroInitialisesAndStopStops) {
  Connect();
  p->OnSetStop();
  EXPECT_EQ(p->commandQueue().TakeBack()->Code(), "INT");
  h.window.texts[IDC_SET_STOP] = "Stop";
  h.Type("5");
  p->OnSetStop();
  EXPECT_EQ(p->commandQueue().TakeBack()->Code(), "STP");
  EXPECT_TRUE(p->commandQueue().Empty());
}

TEST_F(PollTest, SetNeverAsksForMoreThanTheTravel) {
  // Pasted text skips the key-release clamp.
  Connect();
  p->SelectPrecision(100);
  h.Type("50");
  p->OnSetStop();
  EXPECT_EQ(h.window.Text(IDC_NEW_VALUE), "14.00");
  EXPECT_EQ(p->commandQueue().TakeBack()->parameter, 8560u);
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
  EXPECT_EQ(bridge.WrittenCommands(),
            (std::vector<std::string>{"QTRX02MSP 3610", "QTRX02MSP 4710", "QTRX02PSG 0"}));
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

TEST_F(PollTest, TargetChangedAfterSetDoesNotChangeTheQueuedMove) {
  Connect();
  h.Type("5");
  p->OnSetStop();
  h.Type("9");
  EXPECT_EQ(p->commandQueue().TakeBack()->parameter, 3610u);
}

TEST_F(PollTest, WritesFailingWithIoErrorLoseTheDeviceAndRefillTheList) {
  h.Type("5");
  const struct {
    std::vector<std::string> remaining;
    const char* status;
  } cases[] = {{{"Other bridge"}, ""}, {{}, "VRX-330 Controller Not Found."}};
  for (const auto& c : cases) {
    Connect();
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
    EXPECT_EQ(Status(), c.status);
    EXPECT_EQ(bridge.closes, 1);  // the lost handle is released, so the port can be reopened
    bridge.closes = 0;
    bridge.writeStatus = FT_OK;
    bridge.devices = {"VRX-330"};
    p->EnumerateControllers();
  }
}

TEST_F(PollTest, OtherWriteFailuresCountNothing) {
  Connect();
  bridge.writeStatus = FT_OTHER_ERROR;
  EXPECT_TRUE(Poll());
  EXPECT_EQ(p->missedReplies(), 0);
  EXPECT_TRUE(p->linked());
}

TEST_F(PollTest, MissesCarryOverToTheNextLink) {
  Connect();
  Silence();
  for (int i = 0; i < 4; ++i) Poll();
  p->ToggleConnection();  // disconnect
  EXPECT_EQ(h.window.Text(IDC_CONNECT), "Connect");
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

}  // namespace
}  // namespace irisdesk
