// SerialPort on Windows: a COM port opened for synchronous I/O. Waits do not
// poll: each slice is a one-byte ReadFile that returns at the first byte or
// after a few ms, so that a cleared `running` is still seen within a slice.
// So each wait and each packet read sets the read time-outs its one ReadFile
// needs, derived from the role's values that configure sets (a 20 ms gap, 10
// ms per byte); a packet read times its gap from its last byte, as the line's
// interval time-out would.
#include "serial/serial_port.h"

#include <windows.h>

#include <algorithm>
#include <cctype>
#include <chrono>

#include "base/unique_handle_win32.h"
#include "serial/line_speeds.h"
#include "serial/line_timing.h"
#include "serial/port_name.h"

namespace zarvek {
namespace {

using Clock = std::chrono::steady_clock;

// The shared timings (serial/line_timing.h) in the units the Win32 calls take.
constexpr DWORD kWaitSliceMs = line_timing::kWaitSlice.count();
constexpr DWORD kReadGapMs = line_timing::kReadGap.count();
constexpr DWORD kReadPerByteMs = line_timing::kReadPerByte.count();
constexpr DWORD kDropLimitMs = line_timing::kDropLimit.count();

Result lastError(const char* step) { return Result::failed(step, GetLastError()); }

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
  uint8_t scrap[1024];  // any size: what is read here is dropped
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
  return comNumber(name) ? "\\\\.\\" + name : name;
}

struct SerialPort::Device {
  UniqueHandle handle;
  bool havePending = false;  // a byte taken by a wait, owed to readPacket
  uint8_t pendingByte = 0;
};

SerialPort::SerialPort() = default;

SerialPort::~SerialPort() = default;

Result SerialPort::open(const char* name, PortRole role) {
  device_.reset();
  discarded_ = false;
  const std::string path = portDevicePath(name);
  // The receiver's CREATE_ALWAYS is harmless on a device, but would create (or
  // empty) a file when the name is a plain path: such names must already exist.
  const bool isDevice = path.rfind("\\\\.\\", 0) == 0;
  const DWORD disposition = role == PortRole::Receiver && isDevice ? CREATE_ALWAYS : OPEN_EXISTING;
  // Share mode 0: no other opener while the job holds the port.
  UniqueHandle handle(CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, disposition, 0, nullptr));
  if (!handle) {
    const Result failed = lastError("cannot open the port");
    openError_ = errorFromCode(failed.code());
    return failed;
  }
  device_ = std::make_unique<Device>();
  device_->handle = std::move(handle);
  openError_ = PortError::None;
  return {};
}

Result SerialPort::configure(int32_t speed, PortRole role) {
  const HANDLE h = device_->handle.get();
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  if (!GetCommState(h, &dcb)) return lastError("cannot read the line settings");
  if (!isLineSpeed(speed)) return Result::failed("cannot set the speed", ERROR_INVALID_PARAMETER);
  dcb.BaudRate = static_cast<DWORD>(speed);
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  // A raw binary line whatever the port held before: every byte value passes.
  dcb.fBinary = TRUE;                     // no end-of-file character
  dcb.fParity = FALSE;                    // no parity check
  dcb.fOutxCtsFlow = FALSE;               // no hardware flow control either way
  dcb.fOutxDsrFlow = FALSE;
  dcb.fDtrControl = DTR_CONTROL_ENABLE;   // lines up, as a null-modem cable wants; not handshaking
  dcb.fRtsControl = RTS_CONTROL_ENABLE;
  dcb.fDsrSensitivity = FALSE;            // bytes kept whatever DSR says
  dcb.fOutX = FALSE;                      // XON/XOFF are data bytes
  dcb.fInX = FALSE;
  dcb.fErrorChar = FALSE;                 // damaged bytes kept; the CRC finds them
  dcb.fNull = FALSE;                      // NUL bytes kept
  dcb.fAbortOnError = FALSE;              // a line error must not stall reads and writes
  if (!SetCommState(h, &dcb)) return lastError("cannot write the line settings");
  line_.setSpeed(speed);
  // Queue sizes are advice to the driver: one that keeps its own (USB
  // adapters, Wine on a pty) works the same, so a refusal is not a failure.
  if (role == PortRole::Receiver) {
    COMMTIMEOUTS t{};
    t.ReadIntervalTimeout = kReadGapMs;
    t.ReadTotalTimeoutMultiplier = kReadPerByteMs;
    // The classic program writes no error code for this step: it reports 0.
    if (!SetCommTimeouts(h, &t)) return Result::failed("cannot set the read time-outs", 0);
    // Room for a streamed file's window (16 packets) while the receiver
    // writes a chunk; one packet would do for stop-and-wait alone.
    SetupComm(h, 32 * 1024, 3);
  } else {
    // Input for a streamed file's acknowledgements, which come while a
    // packet is being written.
    SetupComm(h, 4096, 1200);
  }
  return {};
}

bool SerialPort::waitForData(const std::atomic<uint8_t>& running) {
  const HANDLE h = device_->handle.get();
  if (!discarded_) {
    PurgeComm(h, PURGE_RXCLEAR);
    device_->havePending = false;
  }
  discarded_ = false;
  return waitForMore(running, std::chrono::milliseconds::max()) == More::Data ? 1 : 0;
}

SerialPort::More SerialPort::waitForMore(const std::atomic<uint8_t>& running, std::chrono::milliseconds limit) {
  const HANDLE h = device_->handle.get();
  if (device_->havePending) return More::Data;
  const bool endless = limit == std::chrono::milliseconds::max();
  const ULONGLONG until = endless ? ULLONG_MAX : GetTickCount64() + static_cast<ULONGLONG>(limit.count());
  for (;;) {
    if (!running.load(std::memory_order_relaxed)) return More::Stopped;
    if (queuedBytes(h) > 0) return More::Data;
    const ULONGLONG now = GetTickCount64();
    if (now >= until) return More::Quiet;
    const DWORD slice = static_cast<DWORD>(std::min<ULONGLONG>(kWaitSliceMs, until - now));
    DWORD got = 0;
    if (!setFirstByteTimeouts(h, slice) || !ReadFile(h, &device_->pendingByte, 1, &got, nullptr)) {
      Sleep(slice);  // a failing port must not make the wait spin
      continue;
    }
    if (got == 1) {
      device_->havePending = true;  // taken off the queue: readPacket puts it first
      return More::Data;
    }
  }
}

Result SerialPort::readPacket(std::span<uint8_t> buffer) {
  uint8_t* const packet = buffer.data();
  const int32_t size = static_cast<int32_t>(buffer.size());
  const HANDLE h = device_->handle.get();
  const auto start = Clock::now();
  const auto totalEnd = start + std::chrono::milliseconds(kReadPerByteMs * size);
  int32_t count = 0;
  auto lastByte = start;
  if (device_->havePending) {
    packet[count++] = device_->pendingByte;
    device_->havePending = false;
  }
  // A read with interval time-outs times its gap from its own first byte. So
  // the long read is issued only while a byte is queued (its gap timer then
  // starts at once); an empty queue is waited out with a first-byte read up to
  // the end of the gap since the last byte.
  while (count < size) {
    const auto now = Clock::now();
    if (now >= totalEnd) break;
    const auto leftMs = [&](Clock::time_point end) {
      return static_cast<DWORD>(std::chrono::ceil<std::chrono::milliseconds>(end - now).count());
    };
    const bool queued = count == 0 || queuedBytes(h) > 0;
    if (!queued) {
      const auto gapEnd = lastByte + std::chrono::milliseconds(kReadGapMs);
      if (now >= gapEnd) break;
      setFirstByteTimeouts(h, leftMs(std::min(gapEnd, totalEnd)));
    } else {
      setPacketTimeouts(h, leftMs(totalEnd));
    }
    const DWORD want = static_cast<DWORD>(size - count);
    DWORD got = 0;
    if (!ReadFile(h, packet + count, want, &got, nullptr)) {
      lastReadCount_ = count;
      return lastError("cannot read a packet");
    }
    count += static_cast<int32_t>(got);
    if (got == 0) break;              // the gap (or the total) ran out
    if (queued && got < want) break;  // the long read timed out
    lastByte = Clock::now();
  }
  lastReadCount_ = count;
  return {};
}

void SerialPort::discardInput() {
  PurgeComm(device_->handle.get(), PURGE_RXCLEAR);
  device_->havePending = false;
  discarded_ = true;
}

void SerialPort::dropUntilQuiet(const std::atomic<uint8_t>& running) {
  device_->havePending = false;
  dropUntilQuietOn(device_->handle.get(), running);
}

Result SerialPort::sendReply(uint8_t byte) {
  const HANDLE h = device_->handle.get();
  // Input is discarded here rather than in the next wait: the sender may answer
  // this reply with its next packet before the wait begins.
  PurgeComm(h, PURGE_TXABORT | PURGE_RXCLEAR);
  device_->havePending = false;
  discarded_ = true;
  const auto started = Clock::now();
  DWORD written = 0;
  if (!WriteFile(h, &byte, 1, &written, nullptr)) return lastError("cannot write the reply");
  line_.queued(written, started);
  return {};
}

Result SerialPort::writePacket(std::span<const uint8_t> packet) { return write(packet); }

Result SerialPort::write(std::span<const uint8_t> bytes) {
  // A real port's WriteFile returns once the bytes are (nearly) sent, a pty's
  // under Wine at once: the clock counts from the start of the write either way.
  const auto started = Clock::now();
  DWORD written = 0;
  const bool wrote = WriteFile(device_->handle.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) != 0;
  line_.queued(written, started);
  return wrote ? Result{} : lastError("cannot write a packet");
}

Result SerialPort::takeInput(std::span<uint8_t> into) {
  const HANDLE h = device_->handle.get();
  int32_t count = 0;
  if (device_->havePending && !into.empty()) {
    into[count++] = device_->pendingByte;
    device_->havePending = false;
  }
  // Whatever is queued, at once, even nothing.
  COMMTIMEOUTS t{};
  t.ReadIntervalTimeout = MAXDWORD;
  DWORD got = 0;
  const bool read = SetCommTimeouts(h, &t) && ReadFile(h, into.data() + count, static_cast<DWORD>(into.size() - count), &got, nullptr);
  lastReadCount_ = count + static_cast<int32_t>(got);
  return read ? Result{} : lastError("cannot read a packet");
}

SerialPort::Reply SerialPort::waitReply(const std::atomic<uint8_t>& running, std::chrono::milliseconds limit) {
  const HANDLE h = device_->handle.get();
  const bool bounded = limit >= std::chrono::milliseconds::zero();
  const auto deadline = line_.idleAt() + (bounded ? limit : std::chrono::milliseconds::zero());
  // The sender sets read time-outs of its own here, so that its wait blocks
  // for a slice instead of sleeping between polls.
  const bool timed = setFirstByteTimeouts(h, kWaitSliceMs);
  for (;;) {
    if (!running.load(std::memory_order_relaxed)) return {Heard::Stopped, 0, {}};
    if (bounded && LineClock::Clock::now() >= deadline) return {Heard::Quiet, 0, {}};
    if (!timed && queuedBytes(h) == 0) {
      Sleep(1);
      continue;
    }
    uint8_t byte = 0;
    DWORD got = 0;
    if (!ReadFile(h, &byte, 1, &got, nullptr)) return {Heard::Failed, 0, lastError("cannot read the reply")};
    if (got == 1) {
      line_.answered();
      return {Heard::Byte, byte, {}};
    }
  }
}

void SerialPort::drainLine() {
  // FlushFileBuffers waits for the driver's queue on Windows, but not under Wine
  // on a pty; the clock holds in both.
  line_.waitIdle();
}

void SerialPort::pauseAfterLine(std::chrono::milliseconds pause) {
  drainLine();
  Sleep(static_cast<DWORD>(pause.count()));
}

}  // namespace zarvek
