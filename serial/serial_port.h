#pragma once
// A serial port held by one engine for one job: opened by name, configured for
// its role, closed on destruction. One implementation per platform
// (serial_port_win32.cpp, serial_port_posix.cpp); both meet the contracts below.
//
// Every wait reads `running` afresh at least every few milliseconds and ends
// within a few ms of it being cleared, without reading anything; no wait spins.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "base/result.h"
#include "serial/line_clock.h"
#include "serial/port_error.h"

namespace zarvek {

enum class PortRole { Receiver, Sender };

// The device a port name opens. A "COMn" name (any case, port_name.h) is
// Windows' "\\.\COMn" (the device prefix is needed from COM10 up) and Linux's
// n-th UART, /dev/ttyS(n-1); any other name is a device path as given
// (/dev/ttyUSB0, a pty).
std::string portDevicePath(const std::string& name);

class SerialPort {
 public:
  SerialPort();
  ~SerialPort();
  SerialPort(const SerialPort&) = delete;
  SerialPort& operator=(const SerialPort&) = delete;

  // Opens `name` for reading and writing, held exclusively: another opener (this
  // process or another) fails until it is closed. On failure openError() says
  // why, in terms a user can act on.
  Result open(const char* name, PortRole role);
  PortError openError() const { return openError_; }

  // Speed (one of kLineSpeeds: any other fails, alike everywhere), 8 data
  // bits, no parity, one stop bit; raw: every byte value carried unchanged both ways, no flow control, no translation; on Windows DTR and
  // RTS raised, as a null-modem cable wants them. Receiver: read time-outs of
  // 20 ms between bytes and 10 ms per byte in all, queues 32 KiB in / 3 out.
  // Sender: queues 4 KiB in / 1200 out (input room for a streamed file's
  // window and its acknowledgements). A failure leaves the port as it then is.
  Result configure(int32_t speed, PortRole role);

  // Receiver. True as soon as at least one byte is queued, false once
  // `running` is found clear. It first discards whatever input is queued, unless
  // input was discarded since the last packet (sendReply, discardInput): what has
  // come since then is the sender's next packet and must not be lost.
  bool waitForData(const std::atomic<uint8_t>& running);

  // Receiver. Waits up to `limit` for a byte, discarding nothing.
  enum class More { Data, Quiet, Stopped };
  More waitForMore(const std::atomic<uint8_t>& running, std::chrono::milliseconds limit);

  // Receiver. One read of up to packet.size() bytes into `packet` from its
  // first byte; it ends when the packet is full, when more than 20 ms pass
  // between two bytes, or after 10 ms per byte in all. Bytes past those read keep
  // what they held. Fails only when the read call itself fails.
  Result readPacket(std::span<uint8_t> packet);
  int32_t lastReadCount() const { return lastReadCount_; }

  // Both roles. Discards queued input now; the receiver's next wait keeps what
  // comes after this.
  void discardInput();

  // Receiver. Reads and drops input until the line has been quiet for the 20 ms
  // gap (at most two seconds, and no longer once `running` is clear): the tail
  // of a damaged packet must not be taken for the next one. Bytes of a packet
  // the sender has not yet been answered for cannot follow, so nothing real is lost.
  void dropUntilQuiet(const std::atomic<uint8_t>& running);

  // Receiver. Abandons output still pending and discards queued input (the
  // rest of a packet, noise: nothing the sender meant as an answer), then writes
  // the one byte.
  Result sendReply(uint8_t byte);

  // Sender. The whole packet in one write.
  Result writePacket(std::span<const uint8_t> packet);

  // Both roles, in a streamed file: bytes written behind what is on the line,
  // and whatever input is queued taken without waiting (lastReadCount() says
  // how much), neither discarding anything: input may hold the next packets or
  // answers still to be read.
  Result write(std::span<const uint8_t> bytes);
  Result takeInput(std::span<uint8_t> into);

  // Sender. Waits for one reply byte and returns it (Heard::Byte), whatever
  // its value: what a byte means is the protocol's business. Quiet when none
  // has come `limit` after the last packet written has left the line; Stopped
  // once `running` is found clear; Failed when the read fails (`failure` says how).
  enum class Heard { Byte, Quiet, Stopped, Failed };
  struct Reply {
    Heard heard = Heard::Stopped;
    uint8_t byte = 0;
    Result failure;
  };
  static constexpr std::chrono::milliseconds kForever{-1};
  Reply waitReply(const std::atomic<uint8_t>& running, std::chrono::milliseconds limit = kForever);

  // Sender. Blocks until every byte written so far has left the line, so that a
  // pause the protocol relies on begins only then.
  void drainLine();
  // Sender. drainLine, then `pause` more: the protocol's pauses begin once the
  // packet before them has left the line.
  void pauseAfterLine(std::chrono::milliseconds pause);

 private:
  struct Device;  // the platform's handle and its per-platform state
  std::unique_ptr<Device> device_;
  PortError openError_ = PortError::None;
  int32_t lastReadCount_ = 0;
  bool discarded_ = false;  // input discarded since the last packet was read
  LineClock line_;
};

}  // namespace zarvek
