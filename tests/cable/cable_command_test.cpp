#include <gtest/gtest.h>

#include <CLI/CLI.hpp>
#include <sstream>

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

// Every field of a plan, so one comparison shows whatever the options got wrong.
std::string text(const FaultPlan& p) {
  std::ostringstream s;
  for (const auto& f : p.flips) s << "flip " << f.byteIndex << ':' << f.bit << ' ';
  for (const auto& d : p.drops) s << "drop " << d << ' ';
  for (const auto& x : p.pauses) s << "pause " << x.beforeByte << ':' << x.milliseconds << ' ';
  for (const auto& r : p.replaces) s << "replace " << r.byteIndex << ':' << int(r.value) << ' ';
  for (const auto& n : p.noises) s << "noise " << n.afterByte << ':' << n.delayMs << ':' << int(n.value) << ' ';
  s << "ber " << p.bitErrorRate << " seed " << p.seed << " latency " << p.latencyMinMs << '-' << p.latencyMaxMs;
  return s.str() + (p.uart ? " uart" : "");
}

TEST(CableCommand, FaultOptionsBuildThePlansOrAreRejected) {
  const CableConfig c = parse(
      "--baud 115200 --flip a2b:2000:3 --flip b2a:0:7 --drop b2a:12 --pause a2b:5:250 "
      "--replace b2a:1:0x4e --replace a2b:2:65 --ber b2a:1e-5 --seed 9 --noise a2b:99:25:0xff --noise a2b:7:1:0 "
      "--latency b2a:2:16 --uart");
  EXPECT_EQ(c.baud, 115200);
  EXPECT_TRUE(c.uart);
  EXPECT_EQ(text(c.aToB), "flip 2000:3 pause 5:250 replace 2:65 noise 99:25:255 noise 7:1:0 ber 0 seed 9 latency 0-0");
  EXPECT_EQ(text(c.bToA), "flip 0:7 drop 12 replace 1:78 ber 1e-05 seed 10 latency 2-16");
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
