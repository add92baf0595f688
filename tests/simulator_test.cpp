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
  FT_HANDLE handle = nullptr;

  void SetUp() override { ASSERT_EQ(bridge.FT_OpenEx(kSimulatorDescription, FT_OPEN_BY_DESCRIPTION, &handle), FT_OK); }
  void Send(std::string_view code, uint32_t parameter = 0) {
    const Frame f = EncodeCommand(code, parameter);
    uint32_t written = 0;
    bridge.FT_Write(handle, f.data(), kFrameSize, &written);
  }
  // A status request and whatever is waiting 18 ms later: one frame's time each way.
  std::optional<StatusReply> AskStatus() {
    bridge.FT_Purge(handle, FT_PURGE_RX);
    Send(kCodeStatus);
    clock.Advance(18ms);
    uint32_t waiting = 0;
    bridge.FT_GetQueueStatus(handle, &waiting);
    std::array<uint8_t, kFrameSize> bytes{};
    uint32_t read = 0;
    bridge.FT_Read(handle, bytes.data(), kFrameSize, &read);
    if (waiting != kFrameSize) return std::nullopt;
    return DecodeStatusReply(bytes);
  }
};

TEST_F(SimulatorTest, PowersUpUnhomedAndMovesOnlyOnceHomed) {
  Send(kCodeMove, 3610);  // ignored: an unhomed motor does not know where it is
  EXPECT_EQ(AskStatus()->flags, 0);
  Send(kCodeInit);
  EXPECT_EQ(AskStatus()->flags, StatusMoving | StatusInitialising);
  clock.Advance(5s);
  Send(kCodeMove, 100000);  // limited to the travel
  clock.Advance(10s);
  const auto s = AskStatus();
  EXPECT_EQ(s->flags, StatusInitialised);
  EXPECT_EQ(s->position, 8560u);
}

TEST_F(SimulatorTest, FaultSwitchesSpoilTheReplyAsNamed) {
  const struct {
    SimulatorFaults faults;
    bool decodes;
  } cases[] = {{{.silent = true}, false},      {{.lateReply = true}, false},   {{.shortReply = true}, false},
               {{.strayBytes = true}, false},  {{.wrongHeader = true}, false}, {{.wrongCode = true}, false},
               {{}, true}};
  for (const auto& c : cases) {
    bridge.controller().SetFaults(c.faults);
    clock.Advance(1s);  // let anything late land, to be purged
    EXPECT_EQ(AskStatus().has_value(), c.decodes);
  }
}

}  // namespace
}  // namespace irisdesk
