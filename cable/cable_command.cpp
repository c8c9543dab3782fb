#include "cable/cable_command.h"

#include <CLI/CLI.hpp>
#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <iostream>
#include <limits>
#include <stdexcept>

namespace zarvek {
namespace {

using Fields = std::vector<std::string>;

uint64_t number(const std::string& text, uint64_t max) {
  size_t used = 0;
  uint64_t value = 0;
  try {
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    value = std::stoull(text, &used, hex ? 16 : 10);
  } catch (const std::exception&) {
    used = 0;
  }
  if (text.empty() || text[0] == '-' || used != text.size() || value > max)
    throw std::invalid_argument("'" + text + "' is not a number from 0 to " + std::to_string(max));
  return value;
}

double rate(const std::string& text) {
  size_t used = 0;
  double value = -1;
  try {
    value = std::stod(text, &used);
  } catch (const std::exception&) {
    used = 0;
  }
  if (used != text.size() || !(value >= 0 && value <= 1))
    throw std::invalid_argument("'" + text + "' is not a rate from 0 to 1");
  return value;
}

constexpr uint64_t kMaxIndex = std::numeric_limits<uint64_t>::max();

struct FaultKind {
  const char* option;
  std::vector<std::string> CableCommandOptions::*texts;
  const char* syntax;
  const char* help;
  size_t fields;  // including DIR
  void (*apply)(FaultPlan&, const Fields&);
};

const FaultKind kFaultKinds[] = {
    {"--flip", &CableCommandOptions::flips, "DIR:N:BIT", "flip bit BIT (0-7) of byte N", 3,
     [](FaultPlan& p, const Fields& f) { p.flips.push_back({number(f[1], kMaxIndex), int(number(f[2], 7))}); }},
    {"--drop", &CableCommandOptions::drops, "DIR:N", "byte N never arrives", 2,
     [](FaultPlan& p, const Fields& f) { p.drops.push_back(number(f[1], kMaxIndex)); }},
    {"--pause", &CableCommandOptions::pauses, "DIR:N:MS", "the line is silent MS milliseconds before byte N", 3,
     [](FaultPlan& p, const Fields& f) { p.pauses.push_back({number(f[1], kMaxIndex), int(number(f[2], 3'600'000))}); }},
    {"--replace", &CableCommandOptions::replaces, "DIR:N:VALUE", "byte N arrives as VALUE (0-255 or 0x00-0xff)", 3,
     [](FaultPlan& p, const Fields& f) { p.replaces.push_back({number(f[1], kMaxIndex), uint8_t(number(f[2], 255))}); }},
    {"--ber", &CableCommandOptions::bers, "DIR:RATE", "flip each bit with probability RATE (e.g. 1e-5), from --seed", 2,
     [](FaultPlan& p, const Fields& f) { p.bitErrorRate = rate(f[1]); }},
    {"--noise", &CableCommandOptions::noises, "DIR:AFTER:MS:VALUE",
     "byte VALUE, never sent, comes MS milliseconds after byte AFTER (a far end powering up)", 4,
     [](FaultPlan& p, const Fields& f) {
       p.noises.push_back({number(f[1], kMaxIndex), int(number(f[2], 3'600'000)), uint8_t(number(f[3], 255))});
     }},
    {"--latency", &CableCommandOptions::latencies, "DIR:MIN:MAX",
     "each burst reaches the program MIN to MAX milliseconds late (a host's USB stack), from --seed", 3,
     [](FaultPlan& p, const Fields& f) {
       p.latencyMinMs = int(number(f[1], 60'000));
       p.latencyMaxMs = int(number(f[2], 60'000));
       if (p.latencyMinMs > p.latencyMaxMs) throw std::invalid_argument("MIN is above MAX");
     }},
};

// Applies one fault text of the given kind to the config.
void applyFault(const FaultKind& kind, const std::string& text, CableConfig& config) {
  Fields f;
  for (size_t start = 0;;) {
    const size_t colon = text.find(':', start);
    f.push_back(text.substr(start, colon - start));
    if (colon == std::string::npos) break;
    start = colon + 1;
  }
  try {
    if (f.size() != kind.fields) throw std::invalid_argument(std::string("expected ") + kind.syntax);
    if (f[0] != "a2b" && f[0] != "b2a") throw std::invalid_argument("direction must be a2b or b2a");
    kind.apply(f[0] == "a2b" ? config.aToB : config.bToA, f);
  } catch (const std::invalid_argument& e) {
    throw std::invalid_argument(std::string(kind.option) + " " + text + ": " + e.what());
  }
}

int usbLatencyTimer(const std::string& text) {
  const int ms = static_cast<int>(number(text, 16));
  if (ms == 0) throw std::invalid_argument("an adapter's latency timer runs 1 to 16 ms");
  return ms;
}

// Removes a link made at start if it still points at our end, so no stale
// link later leads to someone else's pseudo-terminal.
void removeLink(const std::string& link, const std::string& end) {
  std::error_code ec;
  if (!link.empty() && std::filesystem::read_symlink(link, ec) == end) std::filesystem::remove(link, ec);
}

}  // namespace

void applyUsbOption(const std::string& text, CableConfig& config) {
  const size_t colon = text.find(':');
  try {
    if (colon == std::string::npos) {
      config.usbLatencyMs = usbLatencyTimer(text);
      return;
    }
    const std::string direction = text.substr(0, colon);
    if (direction != "a2b" && direction != "b2a") throw std::invalid_argument("direction must be a2b or b2a");
    (direction == "a2b" ? config.aToB : config.bToA).usbLatencyMs = usbLatencyTimer(text.substr(colon + 1));
  } catch (const std::invalid_argument& e) {
    throw std::invalid_argument("--usb " + text + ": " + e.what());
  }
}

std::string usbOptionProblem(const std::string& text) {
  CableConfig scratch;
  try {
    applyUsbOption(text, scratch);
  } catch (const std::invalid_argument& e) {
    return e.what();
  }
  return "";
}

void addCableOptions(CLI::App& app, CableCommandOptions& o) {
  app.footer(
      "DIR is a2b (bytes written on end A, read on end B) or b2a. Byte N (and AFTER)\n"
      "counts from 0 over the bytes written in that direction since the cable started;\n"
      "noise bytes take no number. Fault options repeat. Example:\n"
      "--baud 115200 --flip a2b:2000:3 --replace b2a:1:0x4e --noise b2a:1:25:0xff --uart\n"
      "--baud 921600 --usb 16 (a USB adapter at each end) or --usb b2a:2 (at end A only)");
  app.add_option("--baud", o.baud, "pace both directions at this rate (10 bits a byte); 0 = unpaced")
      ->check(CLI::Range(0, 100'000'000));
  app.add_flag("--uart", o.uart, "both ends receive as a 16550 UART does: in batches of 14, or fewer after 4 quiet byte times");
  app.add_option("--usb", o.usbs,
                 "the far end receives through a USB serial adapter whose latency timer runs MS (1-16) ms: "
                 "62 bytes at a time, fewer once the timer, started by the first byte held, runs out; "
                 "both directions, or DIR only; in place of --uart")
      ->type_name("[DIR:]MS")
      ->check(CLI::Validator([](std::string& text) { return usbOptionProblem(text); }, ""));
  auto* linkA = app.add_option("--link-a", o.linkA, "make this symlink point at end A");
  auto* linkB = app.add_option("--link-b", o.linkB, "make this symlink point at end B");
  linkA->needs(linkB);
  linkB->needs(linkA);
  for (const auto& kind : kFaultKinds) {
    app.add_option(kind.option, o.*kind.texts, kind.help)
        ->type_name(kind.syntax)
        ->check(CLI::Validator(
            [&kind](std::string& text) {
              CableConfig scratch;
              try {
                applyFault(kind, text, scratch);
              } catch (const std::invalid_argument& e) {
                return std::string(e.what());
              }
              return std::string();
            },
            ""));
  }
  app.add_option("--seed", o.seed, "seed of --ber and --latency; b2a uses SEED+1 so the directions differ");
}

CableConfig cableConfigFrom(const CableCommandOptions& o) {
  CableConfig config;
  config.baud = o.baud;
  config.uart = o.uart;
  for (const auto& kind : kFaultKinds)
    for (const auto& text : o.*kind.texts) applyFault(kind, text, config);
  for (const auto& text : o.usbs) applyUsbOption(text, config);
  config.aToB.seed = o.seed;
  config.bToA.seed = o.seed + 1;
  return config;
}

int runCableCommand(const CableCommandOptions& o) {
  CableConfig config;
  try {
    config = cableConfigFrom(o);
  } catch (const std::invalid_argument& e) {
    std::cerr << "zarvek cable: " << e.what() << '\n';
    return 2;
  }
  // Blocked before the relay threads start, so they inherit the mask and the
  // signals come to sigwait below rather than ending the process.
  sigset_t stopSignals, previous;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, &previous);
  int status = 0;
  try {
    Cable cable(config);
    if (!o.linkA.empty()) cable.linkEnds(o.linkA, o.linkB);
    std::cout << "A " << cable.endA() << (o.linkA.empty() ? "" : " " + o.linkA) << '\n'
              << "B " << cable.endB() << (o.linkB.empty() ? "" : " " + o.linkB) << '\n'
              << std::flush;
    int signal = 0;
    sigwait(&stopSignals, &signal);
    removeLink(o.linkA, cable.endA());
    removeLink(o.linkB, cable.endB());
    std::cerr << "a2b " << cable.bytesIn(Direction::AtoB) << " bytes, b2a " << cable.bytesIn(Direction::BtoA)
              << " bytes\n";
  } catch (const std::exception& e) {
    std::cerr << "zarvek cable: " << e.what() << '\n';
    status = 1;
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  return status;
}

}  // namespace zarvek
