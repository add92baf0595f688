// The bytes on the line: command frames and size conversions.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <tuple>

#include "link/WireProtocol.h"

namespace irisdesk {
namespace {

std::string Bytes(const Frame& f) { return std::string(f.begin(), f.end()); }

TEST(Round049, RoundsUpFromFortyNineHundredths) {
  const std::tuple<double, uint32_t> cases[] = {
      {0.48, 0},  {0.49, 1},  {1.489, 1}, {1.49, 2},   {865.5, 866}, {4985.0, 4985}, {4294967294.2, 4294967294u},
      {-0.6, 0},  {-5e9, 0},  {1e300, 4294967295u},   {std::nan(""), 0},            {4294967294.6, 4294967295u}};
  for (const auto& [x, n] : cases) EXPECT_EQ(Round049(x), n) << x;
}

TEST(SizeConversion, MillimetresToStepsAndMovesWithinTheTravel) {
  const std::tuple<double, uint32_t, uint32_t> cases[] = {
      {0, 860, 860},       {0.01, 866, 866}, {1.23, 1537, 1537}, {5.0, 3610, 3610}, {7.5, 4985, 4985},
      {13.99, 8555, 8555}, {14, 8560, 8560}, {50, 28360, 8560},  {-5, 0, 860},      {HUGE_VAL, 4294967295u, 8560}};
  for (const auto& [mm, steps, move] : cases) {
    EXPECT_EQ(MmToSteps(mm), steps) << mm;
    EXPECT_EQ(MoveSteps(mm), move) << mm;
  }
  EXPECT_EQ(MoveSteps(std::nan("")), 860u);
}

TEST(SizeConversion, StepsToMillimetresWithTheShownRange) {
  const std::tuple<uint32_t, double> cases[] = {{859, 0.0},          {860, 0.0},      {0, 0.0},
                                                {1537, 677.0 / 550}, {8560, 14.0},    {11000860, 20000.0},
                                                {11000861, 0.0},     {0xFFFFFFFFu, 0.0}};
  for (const auto& [steps, mm] : cases) EXPECT_DOUBLE_EQ(StepsToMm(steps), mm) << steps;
}

TEST(CommandFrame, IsSixteenBytesWithABigEndianParameter) {
  EXPECT_EQ(Bytes(EncodeCommand("MSP", 1537)), std::string("QTRX02MSP\x00\x00\x06\x01**\r", 16));
  EXPECT_EQ(Bytes(EncodeCommand("MSP", 0x01020304)), std::string("QTRX02MSP\x01\x02\x03\x04**\r", 16));
}

}  // namespace
}  // namespace irisdesk
