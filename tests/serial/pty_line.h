#pragma once
// One end of a line for SerialPort to open, with the far end held raw by the
// test as the peer: the peer writes exact bytes with exact pauses and reads
// what the port wrote.
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace zarvek::test {

class PtyLine {
 public:
  PtyLine();
  ~PtyLine();
  PtyLine(const PtyLine&) = delete;
  PtyLine& operator=(const PtyLine&) = delete;

  // The device path a SerialPort opens.
  const std::string& portPath() const { return portPath_; }

  void peerWrite(const std::vector<uint8_t>& bytes) const;
  // Reads until n bytes have come or `limit` passed; returns what came.
  std::vector<uint8_t> peerRead(size_t n,
                                std::chrono::milliseconds limit = std::chrono::seconds(5)) const;

 private:
  int master_ = -1;
  int slave_ = -1;  // kept open so the line never hangs up between ports
  std::string portPath_;
};

}  // namespace zarvek::test
