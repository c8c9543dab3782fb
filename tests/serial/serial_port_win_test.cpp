// SerialPort on Windows where no peer is needed; runs under Wine in the
// Windows build. The operations over a cable are driven by serial_wine_test.
#include <gtest/gtest.h>

#include <filesystem>
#include <vector>

#include "protocol/diagnostic.h"
#include "serial/serial_port.h"
#include "support/temp_dir.h"

namespace zarvek {
namespace {

std::vector<unsigned long> codes;

TEST(PortDevicePath, ComNamesGoThroughTheDeviceNamespace) {
  const struct { const char* name; const char* path; } cases[] = {
      {"COM1", "\\\\.\\COM1"},   {"COM4", "\\\\.\\COM4"},     {"COM10", "\\\\.\\COM10"},
      {"com2", "\\\\.\\com2"},   {"\\\\.\\COM3", "\\\\.\\COM3"}, {"COM", "COM"},
      {"COMX", "COMX"},          {"COM1:", "COM1:"},          {"C:\\port", "C:\\port"},
  };
  for (const auto& c : cases) EXPECT_EQ(portDevicePath(c.name), c.path) << c.name;
}

TEST(SerialPortWin, OpeningAnAbsentPortFailsWithNotFound) {
  test::TempDir dir;
  const std::string file = (dir / "no-such-port").string();
  setDiagnosticSink([](unsigned long code) { codes.push_back(code); });
  for (const std::string& name : {std::string("COM42"), file}) {
    for (PortRole role : {PortRole::Receiver, PortRole::Sender}) {
      codes.clear();
      SerialPort port;
      EXPECT_EQ(port.open(name.c_str(), role), 0) << name;
      EXPECT_FALSE(port.isOpen()) << name;
      EXPECT_EQ(port.openError(), PortError::NotFound) << name;
      ASSERT_EQ(codes.size(), 1u) << name;
      EXPECT_NE(codes[0], 0u) << name;
    }
  }
  setDiagnosticSink(nullptr);
  EXPECT_FALSE(std::filesystem::exists(file)) << "a receiver must never create a file";
}

}  // namespace
}  // namespace zarvek
