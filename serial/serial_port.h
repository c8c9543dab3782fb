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
#include <string>

#include "protocol/packet.h"
#include "serial/line_clock.h"

namespace zarvek {

enum class PortRole { Receiver, Sender };

// Why open failed, so a front end can say what to do about it.
enum class PortError { None, NotFound, Busy, NotPermitted, Other };

// The device a port name opens. Windows: any "COMn" through the "\\.\" device
// prefix (needed from COM10 up), other names as given. Linux: "COM1".."COM4" are
// /dev/ttyS0../dev/ttyS3, any other name is a device path (/dev/ttyUSB0, a pty).
std::string portDevicePath(const std::string& name);

class SerialPort {
 public:
  SerialPort();
  ~SerialPort();
  SerialPort(const SerialPort&) = delete;
  SerialPort& operator=(const SerialPort&) = delete;

  // Opens `name` for reading and writing, held exclusively: another opener (this
  // process or another) fails until it is closed. 1 on success; 0 with the
  // system's error code on the diagnostic stream.
  int open(const char* name, PortRole role);
  bool isOpen() const;
  PortError openError() const { return openError_; }

  // Speed, 8 data bits, no parity, one stop bit; raw: every byte value carried
  // unchanged both ways, no flow control, no translation. Receiver: read
  // time-outs of 20 ms between bytes and 10 ms per byte in all, queues 1200 in /
  // 3 out. Sender: queues 5 in / 1200 out. 1, or 0 after writing the error code.
  int configure(int32_t speed, PortRole role);

  // Receiver. Returns 1 as soon as at least one byte is queued, or 0 once
  // `running` is found clear. It first discards whatever input is queued, unless
  // input was discarded since the last packet (sendReply, discardInput): what has
  // come since then is the sender's next packet and must not be lost.
  int waitForData(const std::atomic<uint8_t>& running);

  // Receiver. Waits up to `limit` for a byte, discarding nothing.
  enum class More { Data, Quiet, Stopped };
  More waitForMore(const std::atomic<uint8_t>& running, std::chrono::milliseconds limit);

  // Receiver. One read of up to kPacketSize bytes into `packet` from its first
  // byte; it ends when kPacketSize bytes have come, when more than 20 ms pass
  // between two bytes, or after 10 ms per byte in all. Bytes past those read keep
  // what they held. 1 if the read succeeded whatever the count; 0 (error code) if not.
  int readPacket(uint8_t* packet);
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
  // the one byte. 1 / 0.
  int sendReply(uint8_t byte);

  // Sender. All kPacketSize bytes in one write. Always 1; a failed write shows
  // only as the error code.
  int writePacket(const uint8_t* packet);

  // Sender. Waits for one reply byte. CrcFailed for "N",
  // Accepted for any other byte, Failed once `running` is found clear or the read
  // fails (error code).
  PacketResult waitReply(const std::atomic<uint8_t>& running);

  // Sender. Blocks until every byte written so far has left the line, so that a
  // pause the protocol relies on begins only then.
  void drainLine();

 private:
  intptr_t handle_;           // HANDLE or file descriptor; invalid when closed
  PortError openError_ = PortError::None;
  int32_t lastReadCount_ = 0;
  bool havePending_ = false;  // a byte taken by waitForData, owed to readPacket
  bool discarded_ = false;    // input discarded since the last packet was read
  uint8_t pendingByte_ = 0;
  LineClock line_;
};

}  // namespace zarvek
