// The simulated controller's own behaviour, stepped on a manual clock.
#include <gtest/gtest.h>

#include "link/SimulatedBridge.h"
#include "link/WireProtocol.h"

namespace irisdesk {
namespace {

using namespace std::chrono_literals;

class SimulatorTest : public ::testing::Test {
 protected:
  ManualClock clock;
  SimulatedBridge bridge{clock};
  SimulatedController& sim = bridge.controller();
  FT_HANDLE handle = nullptr;

  void SetUp() override { ASSERT_EQ(bridge.FT_OpenEx(kSimulatorDescription, FT_OPEN_BY_DESCRIPTION, &handle), FT_OK); }
  void Send(std::string_view code, uint32_t parameter = 0) {
    const Frame f = EncodeCommand(code, parameter);
    uint32_t written = 0;
    ASSERT_EQ(bridge.FT_Write(handle, f.data(), kFrameSize, &written), FT_OK);
  }
  std::optional<StatusReply> AskStatus() {
    bridge.FT_Purge(handle, FT_PURGE_RX);
    Send(kCodeStatus);
    clock.Advance(30ms);
    uint32_t waiting = 0;
    bridge.FT_GetQueueStatus(handle, &waiting);
    if (waiting != kFrameSize) return std::nullopt;
    std::array<uint8_t, kFrameSize> bytes{};
    uint32_t read = 0;
    bridge.FT_Read(handle, bytes.data(), kFrameSize, &read);
    return DecodeStatusReply(bytes);
  }
};

TEST_F(SimulatorTest, ReplyTakesTheLineTimeOfTwoFrames) {
  Send(kCodeStatus);
  uint32_t waiting = 0;
  clock.Advance(16ms);
  bridge.FT_GetQueueStatus(handle, &waiting);
  EXPECT_LT(waiting, kFrameSize);
  clock.Advance(2ms);
  bridge.FT_GetQueueStatus(handle, &waiting);
  EXPECT_EQ(waiting, kFrameSize);
}

TEST_F(SimulatorTest, PowersUpUnhomedThenInitialisesAndMoves) {
  auto s = AskStatus();
  ASSERT_TRUE(s);
  EXPECT_EQ(s->flags, 0);
  Send(kCodeMove, MmToSteps(5));  // ignored: not homed yet
  EXPECT_EQ(AskStatus()->flags, 0);
  Send(kCodeInit);
  EXPECT_EQ(AskStatus()->flags, StatusMoving | StatusInitialising);
  clock.Advance(5s);
  s = AskStatus();
  EXPECT_EQ(s->flags, StatusInitialised);
  EXPECT_EQ(s->position, StepOffset);
  Send(kCodeMove, MmToSteps(5));
  EXPECT_EQ(AskStatus()->flags, StatusInitialised | StatusMoving);
  clock.Advance(2s);
  s = AskStatus();
  EXPECT_EQ(s->flags, StatusInitialised);
  EXPECT_EQ(s->position, 3610u);
}

TEST_F(SimulatorTest, StopHaltsMidMoveAndTargetsAreLimitedToTheTravel) {
  Send(kCodeInit);
  clock.Advance(5s);
  Send(kCodeMove, 100000);
  clock.Advance(1s);
  Send(kCodeStop);
  const auto s = AskStatus();
  EXPECT_EQ(s->flags, StatusInitialised);
  EXPECT_GT(s->position, 860u);
  EXPECT_LT(s->position, 8560u);
  Send(kCodeMove, 100000);
  clock.Advance(10s);
  EXPECT_EQ(AskStatus()->position, 8560u);
}

TEST_F(SimulatorTest, FaultSwitchesSpoilTheReplyAsNamed) {
  const struct {
    SimulatorFaults faults;
    bool replyComplete;
    bool decodes;
  } cases[] = {
      {{.silent = true}, false, false},      {{.lateReply = true}, false, false},
      {{.shortReply = true}, false, false},  {{.wrongHeader = true}, true, false},
      {{.wrongCode = true}, true, false},    {{}, true, true},
  };
  for (const auto& c : cases) {
    sim.SetFaults(c.faults);
    bridge.FT_Purge(handle, FT_PURGE_RX);
    clock.Advance(1s);
    bridge.FT_Purge(handle, FT_PURGE_RX);
    Send(kCodeStatus);
    clock.Advance(30ms);
    uint32_t waiting = 0;
    bridge.FT_GetQueueStatus(handle, &waiting);
    EXPECT_EQ(waiting == kFrameSize, c.replyComplete);
    if (waiting == kFrameSize) {
      std::array<uint8_t, kFrameSize> bytes{};
      uint32_t read = 0;
      bridge.FT_Read(handle, bytes.data(), kFrameSize, &read);
      EXPECT_EQ(DecodeStatusReply(bytes).has_value(), c.decodes);
    }
  }
}

TEST_F(SimulatorTest, UnplugFailsWritesAndHidesTheDevice) {
  bridge.SetOtherDevices({"Other"});
  bridge.SetPlugged(false);
  uint32_t written = 0;
  const Frame f = EncodeCommand(kCodeStatus, 0);
  EXPECT_EQ(bridge.FT_Write(handle, f.data(), kFrameSize, &written), FT_IO_ERROR);
  uint32_t count = 0;
  bridge.FT_CreateDeviceInfoList(&count);
  EXPECT_EQ(count, 1u);
  EXPECT_EQ(bridge.FT_Close(handle), FT_OK);
  FT_HANDLE again = nullptr;
  EXPECT_NE(bridge.FT_OpenEx(kSimulatorDescription, FT_OPEN_BY_DESCRIPTION, &again), FT_OK);
  bridge.SetPlugged(true);
  EXPECT_EQ(bridge.FT_OpenEx(kSimulatorDescription, FT_OPEN_BY_DESCRIPTION, &again), FT_OK);
  EXPECT_EQ(bridge.FT_Write(handle, f.data(), kFrameSize, &written), FT_INVALID_HANDLE);  // old handle stays dead
}

}  // namespace
}  // namespace irisdesk
