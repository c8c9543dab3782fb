// serial_peer_win PORT OP...: SerialPort operations on PORT in order, one output line
// each, for a test playing the cable's far end. Built for Windows (run under Wine on
// COM1) and natively: one set of cases holds both backends to one contract.
//
//   open:R|S      open for the role                      -> "open <ok> <PortError>"
//   probe:NAME    open a second port on NAME (empty: PORT) and close it -> "probe <ok> <PortError>"
//   close         close the port                         -> "close"
//   path:NAME     portDevicePath                         -> "path <device path>"
//   config:SPEED  configure for the role                 -> "config <ok>"
//   wait          waitForData                            -> "wait <result>"
//   more:MS       waitForMore                            -> "more D" | "more Q <ms waited>" | "more S"
//   read          readPacket                             -> "read <ok> <count> <hex of the whole buffer>"
//   drop          dropUntilQuiet                         -> "drop"
//   discard       discardInput                           -> "discard"
//   reply:HH      sendReply                              -> "reply <ok>"
//   write:SALT    writePacket(allValuesPacket(SALT))     -> "write <ok>"
//   replies:N     N waitReply                            -> "replies <A|C|F, or E for a failed read, each>"
//   drain         drainLine                              -> "drain <ms since the last write began>"
//   sleep:MS                                             -> nothing
// OP@MS clears `running` MS ms into OP (before it, for 0); for MS > 0 the line
// ends " @<ms from the clear to OP's end>".
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <thread>

#include "line_pattern.h"
#include "serial/serial_port.h"

using namespace zarvek;
using Clock = std::chrono::steady_clock;

namespace {

long msSince(Clock::time_point t) {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count());
}
std::string num(long value) { return ' ' + std::to_string(value); }
std::string ok(const Result& result) { return result ? " 1" : " 0"; }
std::string opened(const Result& result, const SerialPort& port) {
  static const char* const kErrors[] = {" None", " NotFound", " Busy", " NotPermitted", " Other"};
  return ok(result) + kErrors[static_cast<int>(port.openError())];
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return std::fprintf(stderr, "usage: serial_peer_win PORT OP...\n"), 2;
  auto port = std::make_unique<SerialPort>();
  PortRole role = PortRole::Receiver;
  std::atomic<uint8_t> running{1};
  std::vector<uint8_t> buffer(kPacketSize);
  Clock::time_point wrote{};
  for (int i = 2; i < argc; ++i) {
    const std::string op = argv[i];
    const size_t colon = op.find(':'), at = op.find('@');
    const std::string verb = op.substr(0, std::min(colon, at));
    const std::string arg = colon == std::string::npos ? "" : op.substr(colon + 1, at - colon - 1);
    const long n = std::atol(arg.c_str()), stopAfter = at == std::string::npos ? -1 : std::atol(op.c_str() + at + 1);
    auto cleared = Clock::now();
    if (stopAfter == 0) running = 0;
    std::thread stopper([&] {
      if (stopAfter <= 0) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(stopAfter));
      cleared = Clock::now();
      running = 0;
    });
    const auto start = Clock::now();
    std::string line = verb;
    if (verb == "open") {
      role = arg == "S" ? PortRole::Sender : PortRole::Receiver;
      line += opened(port->open(argv[1], role), *port);
    } else if (verb == "probe") {
      SerialPort second;
      line += opened(second.open(arg.empty() ? argv[1] : arg.c_str(), PortRole::Receiver), second);
    } else if (verb == "close") {
      port = std::make_unique<SerialPort>();
    } else if (verb == "path") {
      line += ' ' + portDevicePath(arg);
    } else if (verb == "config") {
      line += ok(port->configure(static_cast<int32_t>(n), role));
    } else if (verb == "wait") {
      line += num(port->waitForData(running));
    } else if (verb == "more") {
      using More = SerialPort::More;
      const More more = port->waitForMore(running, std::chrono::milliseconds(n));
      line += more == More::Data ? " D" : more == More::Stopped ? " S" : " Q" + num(msSince(start));
    } else if (verb == "read") {
      line += ok(port->readPacket(buffer));  // first: the count and the bytes are what it leaves
      line += num(port->lastReadCount()) + ' ' + test::hex(buffer);
    } else if (verb == "drop") {
      port->dropUntilQuiet(running);
    } else if (verb == "discard") {
      port->discardInput();
    } else if (verb == "reply") {
      line += ok(port->sendReply(static_cast<uint8_t>(std::stoul(arg, nullptr, 16))));
    } else if (verb == "write") {
      wrote = start;
      line += ok(port->writePacket(test::allValuesPacket(static_cast<int>(n))));
    } else if (verb == "replies") {
      line += ' ';
      for (long k = 0; k < n; ++k) {
        const SerialPort::Reply reply = port->waitReply(running);
        line += reply.heard == SerialPort::Heard::Byte     ? (reply.byte == kReplyRefuse ? 'C' : 'A')
                : reply.heard == SerialPort::Heard::Stopped ? 'F'
                                                            : 'E';
      }
    } else if (verb == "drain") {
      port->drainLine();
      line += num(msSince(wrote));
    } else if (verb == "sleep") {
      std::this_thread::sleep_for(std::chrono::milliseconds(n));
    } else {
      return std::fprintf(stderr, "unknown operation %s\n", argv[i]), 2;
    }
    stopper.join();
    if (stopAfter > 0) line += " @" + std::to_string(msSince(cleared));
    if (stopAfter >= 0) running = 1;
    if (verb != "sleep") std::printf("%s\n", line.c_str());
    std::fflush(stdout);
  }
  return 0;
}
