// SerialPort on Windows: a COM port opened for synchronous I/O. Waits do not
// poll: each slice is a one-byte ReadFile that returns at the first byte or
// after a few ms, so that a cleared `running` is still seen within a slice.
#include "serial/serial_port.h"

#include <windows.h>

#include <algorithm>
#include <cctype>
#include <chrono>

#include "protocol/diagnostic.h"

namespace zarvek {
namespace {

using Clock = std::chrono::steady_clock;

constexpr DWORD kWaitSliceMs = 10;  // how often a wait looks at `running`
constexpr DWORD kReadGapMs = 20;    // the receiver's gap between two bytes
constexpr DWORD kReadPerByteMs = 10;
constexpr DWORD kDropLimitMs = 2000;  // the longest a damaged packet's tail is dropped

HANDLE handleOf(intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

void writeLastError() { writeErrorCode(GetLastError()); }

PortError errorFromCode(DWORD code) {
  switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_BAD_UNIT:
    case ERROR_DEV_NOT_EXIST:
      return PortError::NotFound;
    case ERROR_ACCESS_DENIED:  // what a COM port held by another program gives
    case ERROR_SHARING_VIOLATION:
    case ERROR_BUSY:
      return PortError::Busy;
    default:
      return PortError::Other;
  }
}

bool isComName(const std::string& name) {
  if (name.size() < 4) return false;
  for (int i = 0; i < 3; ++i) {
    if (std::toupper(static_cast<unsigned char>(name[i])) != "COM"[i]) return false;
  }
  return std::all_of(name.begin() + 3, name.end(),
                     [](char c) { return std::isdigit(static_cast<unsigned char>(c)); });
}

// A read that returns at once with whatever is queued, or waits up to `ms` for
// the first byte and returns with it.
bool setFirstByteTimeouts(HANDLE h, DWORD ms) {
  COMMTIMEOUTS t{};
  t.ReadIntervalTimeout = MAXDWORD;
  t.ReadTotalTimeoutMultiplier = MAXDWORD;
  t.ReadTotalTimeoutConstant = ms;
  return SetCommTimeouts(h, &t) != 0;
}

// The receiver's packet read: ends after a gap of kReadGapMs between bytes, or
// after `totalMs` in all.
bool setPacketTimeouts(HANDLE h, DWORD totalMs) {
  COMMTIMEOUTS t{};
  t.ReadIntervalTimeout = kReadGapMs;
  t.ReadTotalTimeoutConstant = totalMs;
  return SetCommTimeouts(h, &t) != 0;
}

DWORD queuedBytes(HANDLE h) {
  DWORD errors = 0;
  COMSTAT status{};
  // Also clears any line error (framing, overrun), which would otherwise stop I/O
  // on drivers that honour fAbortOnError.
  if (!ClearCommError(h, &errors, &status)) return 0;
  return status.cbInQue;
}

// Reads and drops what comes until the line has been quiet for kReadGapMs, for
// at most kDropLimitMs and no longer than `running` stays set.
void dropUntilQuietOn(HANDLE h, const std::atomic<uint8_t>& running) {
  const ULONGLONG until = GetTickCount64() + kDropLimitMs;
  uint8_t scrap[kPacketSize];
  for (;;) {
    const ULONGLONG now = GetTickCount64();
    if (now >= until || !running.load(std::memory_order_relaxed)) return;
    const DWORD slice = static_cast<DWORD>(std::min<ULONGLONG>(kReadGapMs, until - now));
    if (!setFirstByteTimeouts(h, slice)) return;
    DWORD got = 0;
    if (!ReadFile(h, scrap, sizeof scrap, &got, nullptr) || got == 0) return;  // quiet, or failing
  }
}

}  // namespace

std::string portDevicePath(const std::string& name) {
  // COM10 and above open only through the device namespace; COM1..COM9 work
  // through it too.
  return isComName(name) ? "\\\\.\\" + name : name;
}

SerialPort::SerialPort() : handle_(reinterpret_cast<intptr_t>(INVALID_HANDLE_VALUE)) {}

SerialPort::~SerialPort() {
  if (isOpen()) CloseHandle(handleOf(handle_));
}

bool SerialPort::isOpen() const { return handleOf(handle_) != INVALID_HANDLE_VALUE; }

int SerialPort::open(const char* name, PortRole role) {
  if (isOpen()) {
    CloseHandle(handleOf(handle_));
    handle_ = reinterpret_cast<intptr_t>(INVALID_HANDLE_VALUE);
  }
  havePending_ = false;
  discarded_ = false;
  const std::string path = portDevicePath(name);
  // The receiver's CREATE_ALWAYS is harmless on a device, but would create (or
  // empty) a file when the name is a plain path: such names must already exist.
  const bool device = path.rfind("\\\\.\\", 0) == 0;
  const DWORD disposition =
      role == PortRole::Receiver && device ? CREATE_ALWAYS : OPEN_EXISTING;
  // Share mode 0: no other opener while the job holds the port.
  HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, disposition, 0,
                         nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD code = GetLastError();
    openError_ = errorFromCode(code);
    writeErrorCode(code);
    return 0;
  }
  handle_ = reinterpret_cast<intptr_t>(h);
  openError_ = PortError::None;
  return 1;
}

int SerialPort::configure(int32_t speed, PortRole role) {
  const HANDLE h = handleOf(handle_);
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  if (!GetCommState(h, &dcb)) {
    writeLastError();
    return 0;
  }
  dcb.BaudRate = static_cast<DWORD>(speed);
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  // A raw binary line whatever the port held before: every byte value passes.
  dcb.fBinary = TRUE;                     // no end-of-file character
  dcb.fParity = FALSE;                    // no parity check
  dcb.fOutxCtsFlow = FALSE;               // no hardware flow control either way
  dcb.fOutxDsrFlow = FALSE;
  dcb.fDtrControl = DTR_CONTROL_ENABLE;   // lines up, not handshaking
  dcb.fRtsControl = RTS_CONTROL_ENABLE;
  dcb.fDsrSensitivity = FALSE;            // bytes kept whatever DSR says
  dcb.fOutX = FALSE;                      // XON/XOFF are data bytes
  dcb.fInX = FALSE;
  dcb.fErrorChar = FALSE;                 // damaged bytes kept; the CRC finds them
  dcb.fNull = FALSE;                      // NUL bytes kept
  dcb.fAbortOnError = FALSE;              // a line error must not stall reads and writes
  if (!SetCommState(h, &dcb)) {
    writeLastError();
    return 0;
  }
  line_.setSpeed(speed);
  if (role == PortRole::Receiver) {
    COMMTIMEOUTS t{};
    t.ReadIntervalTimeout = kReadGapMs;
    t.ReadTotalTimeoutMultiplier = kReadPerByteMs;
    if (!SetCommTimeouts(h, &t)) return 0;
    SetupComm(h, 1200, 3);
  } else {
    SetupComm(h, 5, 1200);
  }
  return 1;
}

int SerialPort::waitForData(const std::atomic<uint8_t>& running) {
  const HANDLE h = handleOf(handle_);
  if (!discarded_) {
    PurgeComm(h, PURGE_RXCLEAR);
    havePending_ = false;
  }
  discarded_ = false;
  if (havePending_) return 1;  // a byte taken by waitForMore, still owed to readPacket
  // Without read time-outs a ReadFile could block for ever: poll the queue
  // then, as a slice that sleeps.
  const bool timed = setFirstByteTimeouts(h, kWaitSliceMs);
  for (;;) {
    if (!running.load(std::memory_order_relaxed)) return 0;
    if (queuedBytes(h) > 0) return 1;
    if (!timed) {
      Sleep(1);
      continue;
    }
    DWORD got = 0;
    if (!ReadFile(h, &pendingByte_, 1, &got, nullptr)) {
      Sleep(kWaitSliceMs);  // a failing port must not make the wait spin
      continue;
    }
    if (got == 1) {
      havePending_ = true;  // taken off the queue: readPacket puts it first
      return 1;
    }
  }
}

int SerialPort::readPacket(uint8_t* packet) {
  const HANDLE h = handleOf(handle_);
  const auto start = Clock::now();
  const auto totalEnd = start + std::chrono::milliseconds(kReadPerByteMs * kPacketSize);
  int32_t count = 0;
  auto lastByte = start;
  if (havePending_) {
    packet[count++] = pendingByte_;
    havePending_ = false;
  }
  // A read with interval time-outs times its gap from its own first byte. So
  // the long read is issued only while a byte is queued (its gap timer then
  // starts at once); an empty queue is waited out with a first-byte read up to
  // the end of the gap since the last byte.
  while (count < kPacketSize) {
    const auto now = Clock::now();
    if (now >= totalEnd) break;
    const auto leftMs = [&](Clock::time_point end) {
      return static_cast<DWORD>(
          std::chrono::ceil<std::chrono::milliseconds>(end - now).count());
    };
    const bool queued = count == 0 || queuedBytes(h) > 0;
    if (!queued) {
      const auto gapEnd = lastByte + std::chrono::milliseconds(kReadGapMs);
      if (now >= gapEnd) break;
      setFirstByteTimeouts(h, leftMs(std::min(gapEnd, totalEnd)));
    } else {
      setPacketTimeouts(h, leftMs(totalEnd));
    }
    const DWORD want = static_cast<DWORD>(kPacketSize - count);
    DWORD got = 0;
    if (!ReadFile(h, packet + count, want, &got, nullptr)) {
      lastReadCount_ = count;
      writeLastError();
      return 0;
    }
    count += static_cast<int32_t>(got);
    if (got == 0) break;                 // the gap (or the total) ran out
    if (queued && got < want) break;     // the long read timed out
    lastByte = Clock::now();
  }
  lastReadCount_ = count;
  return 1;
}

SerialPort::More SerialPort::waitForMore(const std::atomic<uint8_t>& running, std::chrono::milliseconds limit) {
  const HANDLE h = handleOf(handle_);
  if (havePending_) return More::Data;
  const ULONGLONG until = GetTickCount64() + static_cast<ULONGLONG>(limit.count());
  for (;;) {
    if (!running.load(std::memory_order_relaxed)) return More::Stopped;
    if (queuedBytes(h) > 0) return More::Data;
    const ULONGLONG now = GetTickCount64();
    if (now >= until) return More::Quiet;
    const DWORD slice = static_cast<DWORD>(std::min<ULONGLONG>(kWaitSliceMs, until - now));
    DWORD got = 0;
    if (!setFirstByteTimeouts(h, slice) || !ReadFile(h, &pendingByte_, 1, &got, nullptr)) {
      Sleep(slice);  // a failing port must not make the wait spin
      continue;
    }
    if (got == 1) {
      havePending_ = true;  // taken off the queue: readPacket puts it first
      return More::Data;
    }
  }
}

void SerialPort::discardInput() {
  PurgeComm(handleOf(handle_), PURGE_RXCLEAR);
  havePending_ = false;
  discarded_ = true;
}

void SerialPort::dropUntilQuiet(const std::atomic<uint8_t>& running) {
  havePending_ = false;
  dropUntilQuietOn(handleOf(handle_), running);
}

int SerialPort::sendReply(uint8_t byte) {
  const HANDLE h = handleOf(handle_);
  // Input is discarded here rather than in the next wait: the sender may answer
  // this reply with its next packet before the wait begins.
  PurgeComm(h, PURGE_TXABORT | PURGE_RXCLEAR);
  havePending_ = false;
  discarded_ = true;
  const auto started = Clock::now();
  DWORD written = 0;
  if (!WriteFile(h, &byte, 1, &written, nullptr)) {
    writeLastError();
    return 0;
  }
  line_.queued(written, started);
  return 1;
}

int SerialPort::writePacket(const uint8_t* packet) {
  // A real port's WriteFile returns once the bytes are (nearly) sent, a pty's
  // under Wine at once: the clock counts from the start of the write either way.
  const auto started = Clock::now();
  DWORD written = 0;
  if (!WriteFile(handleOf(handle_), packet, kPacketSize, &written, nullptr)) writeLastError();
  line_.queued(written, started);
  return 1;
}

PacketResult SerialPort::waitReply(const std::atomic<uint8_t>& running) {
  const HANDLE h = handleOf(handle_);
  // The sender sets read time-outs of its own here, so that its wait blocks
  // for a slice instead of sleeping between polls.
  const bool timed = setFirstByteTimeouts(h, kWaitSliceMs);
  for (;;) {
    if (!running.load(std::memory_order_relaxed)) return PacketResult::Failed;
    const DWORD queued = queuedBytes(h);
    if (!timed && queued == 0) {
      Sleep(1);
      continue;
    }
    uint8_t byte = 0;
    DWORD got = 0;
    if (!ReadFile(h, &byte, 1, &got, nullptr)) {
      writeLastError();
      return PacketResult::Failed;
    }
    if (got == 1) {
      line_.answered();
      return byte == kReplyRefuse ? PacketResult::CrcFailed : PacketResult::Accepted;
    }
  }
}

void SerialPort::drainLine() {
  // FlushFileBuffers waits for the driver's queue on Windows, but not under Wine
  // on a pty; the clock holds in both.
  line_.waitIdle();
}

}  // namespace zarvek
