#include <gtest/gtest.h>

#include <CLI/CLI.hpp>

#include "cable/cable_command.h"

namespace zarvek {
namespace {

CableConfig parse(const std::string& line) {
  CLI::App app;
  CableCommandOptions options;
  addCableOptions(app, options);
  app.parse(line, false);
  return cableConfigFrom(options);
}

TEST(CableCommand, FaultOptionsBuildThePlans) {
  const CableConfig c = parse(
      "--baud 115200 --flip a2b:2000:3 --flip b2a:0:7 --drop b2a:12 --pause a2b:5:250 "
      "--replace b2a:1:0x4e --replace a2b:2:65 --ber b2a:1e-5 --seed 9 --noise a2b:99:25:0xff --noise a2b:7:1:0 "
      "--latency b2a:2:16 --uart");
  EXPECT_EQ(c.baud, 115200);
  ASSERT_EQ(c.aToB.flips.size(), 1u);
  EXPECT_EQ(c.aToB.flips[0].byteIndex, 2000u);
  EXPECT_EQ(c.aToB.flips[0].bit, 3);
  ASSERT_EQ(c.bToA.flips.size(), 1u);
  EXPECT_EQ(c.bToA.flips[0].bit, 7);
  EXPECT_EQ(c.bToA.drops, std::vector<uint64_t>{12});
  EXPECT_TRUE(c.aToB.drops.empty());
  ASSERT_EQ(c.aToB.pauses.size(), 1u);
  EXPECT_EQ(c.aToB.pauses[0].beforeByte, 5u);
  EXPECT_EQ(c.aToB.pauses[0].milliseconds, 250);
  ASSERT_EQ(c.bToA.replaces.size(), 1u);
  EXPECT_EQ(c.bToA.replaces[0].value, 'N');
  ASSERT_EQ(c.aToB.replaces.size(), 1u);
  EXPECT_EQ(c.aToB.replaces[0].value, 'A');
  EXPECT_DOUBLE_EQ(c.bToA.bitErrorRate, 1e-5);
  EXPECT_EQ(c.aToB.bitErrorRate, 0.0);
  EXPECT_NE(c.aToB.seed, c.bToA.seed);
  ASSERT_EQ(c.aToB.noises.size(), 2u);
  EXPECT_EQ(c.aToB.noises[0].afterByte, 99u);
  EXPECT_EQ(c.aToB.noises[0].delayMs, 25);
  EXPECT_EQ(c.aToB.noises[0].value, 0xFF);
  EXPECT_EQ(c.aToB.noises[1].afterByte, 7u);
  EXPECT_TRUE(c.bToA.noises.empty());
  EXPECT_EQ(c.bToA.latencyMinMs, 2);
  EXPECT_EQ(c.bToA.latencyMaxMs, 16);
  EXPECT_EQ(c.aToB.latencyMaxMs, 0);
  EXPECT_TRUE(c.uart);
}

TEST(CableCommand, RejectsMalformedFaults) {
  for (const char* line : {"--flip a2b:3", "--flip a2b:3:8", "--flip x2y:3:1", "--drop a2b:-1", "--drop a2b:",
                           "--drop a2b:3:4", "--pause b2a:3:ms", "--replace a2b:1:256", "--replace a2b:1:0xg",
                           "--ber a2b:2", "--ber a2b:abc", "--link-a /tmp/x", "--baud -5", "--noise a2b:1:2",
                           "--noise a2b:1:2:256", "--noise b2a:x:2:0", "--latency a2b:5:2", "--latency a2b:1",
                           "--latency a2b:1:x"}) {
    SCOPED_TRACE(line);
    EXPECT_THROW(parse(line), CLI::Error);
  }
}

}  // namespace
}  // namespace zarvek
