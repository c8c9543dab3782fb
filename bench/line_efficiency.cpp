// Line efficiency: payload bytes per second over the line's byte rate (baud / 10),
// for files sent over the paced virtual cable, against what the protocol itself
// allows. The receiver is the native engine in-process on end B; the sender is
// the native engine in-process on end A, or (--wine EXE) the Windows command
// line under Wine on COM7, linked to end A. With --uart both far ends get their
// bytes in 16550 FIFO batches, as a real UART hands them over; with --usb they
// get them through USB serial adapters, 62 bytes at a time or fewer when the
// adapter's latency timer runs out, which a stop-and-wait transfer pays on
// every packet and reply.
//
// A file's time runs from the first byte of its "FS" entering the cable to the
// receiver taking its "EF". Runs whose line time alone exceeds --budget seconds
// are not run but estimated from the largest measured file at that speed (its
// time beyond the line time, per packet) and marked "est.".
#include <CLI/CLI.hpp>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>

#include "bench/support.h"
#include "cable/cable_command.h"
#include "harness/line_ends.h"
#include "harness/process.h"
#include "harness/wine.h"
#include "protocol/packet.h"

namespace {

using namespace zarvek;
using namespace zarvek::bench;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr int kWineCom = 7;  // the tests use COM1; the benchmark keeps apart

struct Options {
  std::vector<int> speeds = {9600, 19200, 57600, 115200, 921600};
  std::vector<uint64_t> sizesKib = {1, 64, 4096};
  double budget = 400;  // seconds of line time beyond which a run is estimated
  int smallFiles = 5;   // files in the batch that measures per-file overhead
  std::string wineExe;  // empty: native sender
  bool uart = false;
  std::vector<std::string> usb;  // [DIR:]MS, as zarvek-cable takes it
  // classic, verified (stop-and-wait) or streamed: both ends alike
  std::string mode = "streamed";
  bool verify() const { return mode != "classic"; }
  bool stream() const { return mode == "streamed"; }
  std::string markdown, data;
};

// What the protocol itself puts on the line for one file of `size` bytes sent
// alone: "FS", "FN", one "FD" per started KiB, "EF", and a reply to all but "EF".
struct ProtocolCost {
  uint64_t packets;
  uint64_t lineBytes;
  double seconds(int baud) const { return static_cast<double>(lineBytes) * 10 / baud; }
};

ProtocolCost protocolCost(uint64_t size) {
  const uint64_t packets = (size + kMaxChunk - 1) / kMaxChunk + 3;
  return {packets, packets * kPacketSize + (packets - 1)};
}

struct Row {
  int baud;
  uint64_t size;
  double seconds;  // the file's time, measured or estimated
  bool measured;
  bool identical = true;
  double efficiency() const { return static_cast<double>(size) / seconds / (baud / 10.0); }
  double ceiling() const { return static_cast<double>(size) / static_cast<double>(protocolCost(size).lineBytes); }
};

struct Overhead {
  int baud;
  double perFile;   // EF to EF in a batch of 1 KiB files: one file and the pause before it
  double protocol;  // the protocol's own cost of that: line time + 50 ms pause
};

std::string sizeText(uint64_t size) {
  if (size >= 1024 * 1024 && size % (1024 * 1024) == 0) return std::to_string(size / (1024 * 1024)) + " MiB";
  if (size >= 1024 && size % 1024 == 0) return std::to_string(size / 1024) + " KiB";
  return std::to_string(size) + " B";
}

std::string readAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

// Files of random bytes in a scratch folder, to be received into its "in".
struct Files {
  ScratchDir scratch{"eff"};
  std::string to = scratch.path() + "/in";
  std::vector<std::string> paths;
  Files() { fs::create_directories(to); }
  void add(const std::string& name, uint64_t size, uint32_t seed) {
    paths.push_back(scratch.path() + "/" + name);
    writeRandomFile(paths.back(), size, seed);
  }
  bool arrivedIdentical() const {
    for (const auto& p : paths)
      if (readAll(p) != readAll(to + "/" + fs::path(p).filename().string())) return false;
    return true;
  }
};

// One batch over a fresh cable at `baud`: the receive times of each file's end
// and the moment the first byte entered the cable.
struct Batch {
  bool ok = false;
  Clock::time_point start;
  std::vector<EndedFile> ended;
};

Batch sendOverCable(const Options& options, int baud, const Files& files, double lineSeconds) {
  CableConfig config;
  config.baud = baud;
  config.uart = options.uart;
  for (const auto& text : options.usb) applyUsbOption(text, config);
  Cable cable(config);
  TimingUi receivedUi;
  harness::ReceiverThread receiver(cable.endB(), baud, files.to, receivedUi, options.verify(), options.stream());
  letReceiverSettle();
  FirstByteWatch watch(cable, Direction::AtoB);
  const auto guard = std::chrono::milliseconds(static_cast<int64_t>(lineSeconds * 3000)) + 120s;
  bool sent = false;
  if (options.wineExe.empty()) {
    TimingUi senderUi;
    const auto result =
        harness::sendFiles(cable.endA(), baud, files.paths, senderUi, kDefaultRetryLimit, options.verify(), options.stream());
    sent = result && result->clean();
    receivedUi.waitForFiles(files.paths.size(), guard);
  } else {
    harness::pointComPort(kWineCom, cable.endA());
    std::vector<std::string> args = {
        "send", "-q", "--port", "COM" + std::to_string(kWineCom), "--speed", std::to_string(baud)};
    if (!options.verify()) args.push_back("--classic");
    if (options.verify() && !options.stream()) args.push_back("--no-stream");
    for (const auto& path : files.paths) args.push_back(harness::windowsPath(path));
    harness::Process sender(harness::wineCommand(options.wineExe, args));
    receivedUi.waitForFiles(files.paths.size(), guard);
    const auto code = sender.wait(60s);
    sent = code == 0;
    if (!sent)
      std::fprintf(stderr, "Windows sender ended with %d:\n%s%s\n", code.value_or(-1), sender.out().c_str(),
                   sender.err().c_str());
  }
  receiver.stop();
  Batch batch;
  batch.ended = receivedUi.ended();
  batch.ok = sent && batch.ended.size() == files.paths.size() && watch.wait(1ms, &batch.start);
  for (const auto& e : batch.ended) batch.ok = batch.ok && e.outcome == FileOutcome::Complete;
  if (!batch.ok)
    std::fprintf(stderr, "  sender %s, %zu of %zu files ended at the receiver (outcome %d), %llu bytes in\n",
                 sent ? "done" : "failed", batch.ended.size(), files.paths.size(),
                 batch.ended.empty() ? -1 : static_cast<int>(batch.ended[0].outcome),
                 static_cast<unsigned long long>(cable.bytesIn(Direction::AtoB)));
  return batch;
}

// A run whose file did not arrive, or that seems faster than the line, is run
// once more (a Wine start can disturb one), and reported if it fails again.
template <class Measure>
auto twice(Measure measure) {
  auto result = measure();
  if (!result) {
    std::printf("  (run failed; running it again)\n");
    result = measure();
  }
  return result;
}

std::optional<Row> measureFile(const Options& options, int baud, uint64_t size) {
  Files files;
  files.add("file-" + std::to_string(size) + ".bin", size, static_cast<uint32_t>(size) ^ 0x5eed);
  const Batch batch = sendOverCable(options, baud, files, protocolCost(size).seconds(baud));
  if (!batch.ok) return std::nullopt;
  Row row{baud, size, std::chrono::duration<double>(batch.ended[0].at - batch.start).count(), true};
  // The first byte is seen up to a poll late, never a whole packet late.
  if (row.seconds < protocolCost(size).seconds(baud) * 0.99) {
    std::fprintf(stderr, "  %.4f s is less than the line time: the first byte was missed\n", row.seconds);
    return std::nullopt;
  }
  row.identical = files.arrivedIdentical();
  return row;
}

std::optional<Overhead> measureSmallFiles(const Options& options, int baud) {
  Files files;
  for (int i = 0; i < options.smallFiles; ++i) files.add("small-" + std::to_string(i) + ".bin", 1024, i);
  const Batch batch = sendOverCable(options, baud, files, protocolCost(1024).seconds(baud) * options.smallFiles);
  if (!batch.ok || !files.arrivedIdentical()) return std::nullopt;
  const double span = std::chrono::duration<double>(batch.ended.back().at - batch.ended.front().at).count();
  return Overhead{baud, span / (options.smallFiles - 1), protocolCost(1024).seconds(baud) + 0.050};
}

}  // namespace

int main(int argc, char** argv) try {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  Options options;
  CLI::App app{"Line efficiency of a file transfer over the paced virtual cable", "line_efficiency"};
  app.add_option("--speeds", options.speeds, "Line speeds in bit/s")->delimiter(',');
  app.add_option("--sizes", options.sizesKib, "File sizes in KiB")->delimiter(',');
  app.add_option("--budget", options.budget, "Seconds of line time above which a run is estimated");
  app.add_option("--small-files", options.smallFiles, "Files in the small-file batch")->check(CLI::Range(2, 1000));
  app.add_option("--wine", options.wineExe, "The Windows zarvek.exe to send with, under Wine");
  app.add_flag("--uart", options.uart, "The far ends get bytes in 16550 FIFO batches, both directions");
  app.add_option("--usb", options.usb,
                 "USB adapters with this latency timer (1-16 ms) at both far ends, or DIR:MS at one "
                 "(a2b: the receiver's, b2a: the sender's)")
      ->type_name("[DIR:]MS")
      ->check(CLI::Validator([](std::string& text) { return usbOptionProblem(text); }, ""));
  app.add_option("--mode", options.mode, "Both ends classic, verified (stop-and-wait) or streamed (the default)")
      ->check(CLI::IsMember({"classic", "verified", "streamed"}));
  bool classic = false;
  app.add_flag("--classic", classic, "The same as --mode classic");
  app.add_option("--markdown", options.markdown, "Write the tables here");
  app.add_option("--data", options.data, "Write one line per run here, for the plot");
  CLI11_PARSE(app, argc, argv);
  if (classic) options.mode = "classic";

  std::string usb;
  for (const auto& text : options.usb) usb += (usb.empty() ? "" : " ") + text;
  const std::string build = std::string(options.wineExe.empty() ? "Linux" : "Windows (Wine)") +
                            (options.uart ? ", UART cable" : "") + (usb.empty() ? "" : ", USB " + usb + " ms") +
                            ", " + options.mode;
  std::optional<WineSession> wine;
  if (!options.wineExe.empty()) wine.emplace(options.wineExe);
  std::printf("Line efficiency, %s sender, native receiver, paced virtual cable%s%s, %s transfers\n",
              options.wineExe.empty() ? "Linux" : "Windows (Wine)",
              options.uart ? " handing bytes over as a UART does" : "",
              usb.empty() ? "" : (" through USB adapters (--usb " + usb + ")").c_str(),
              options.mode.c_str());
  std::printf("%8s %8s %10s %10s %9s %9s  %s\n", "bit/s", "file", "time s", "line s", "eff %", "ceil %", "");

  std::vector<Row> rows;
  std::vector<Overhead> overheads;
  bool failed = false;
  std::sort(options.sizesKib.begin(), options.sizesKib.end());
  for (int baud : options.speeds) {
    std::optional<Row> largestMeasured;
    for (uint64_t kib : options.sizesKib) {
      const uint64_t size = kib * 1024;
      const ProtocolCost cost = protocolCost(size);
      std::optional<Row> row;
      if (cost.seconds(baud) <= options.budget || !largestMeasured) {
        row = twice([&] { return measureFile(options, baud, size); });
        if (!row) {
          std::printf("%8d %8s  FAILED: the file did not arrive complete\n", baud, sizeText(size).c_str());
          failed = true;
          continue;
        }
        failed = failed || !row->identical;
        largestMeasured = row;
      } else {
        // The time beyond the line, per packet, of the largest measured file.
        const Row& m = *largestMeasured;
        const ProtocolCost mc = protocolCost(m.size);
        const double extraPerPacket = (m.seconds - mc.seconds(baud)) / static_cast<double>(mc.packets);
        row = Row{baud, size, cost.seconds(baud) + extraPerPacket * static_cast<double>(cost.packets), false};
      }
      rows.push_back(*row);
      std::printf("%8d %8s %10.3f %10.3f %9.2f %9.2f  %s%s\n", baud, sizeText(size).c_str(), row->seconds,
                  cost.seconds(baud), 100 * row->efficiency(), 100 * row->ceiling(),
                  row->measured ? "" : "est. (line time over the budget)", row->identical ? "" : "CONTENT DIFFERS");
    }
    if (auto o = twice([&] { return measureSmallFiles(options, baud); })) {
      overheads.push_back(*o);
    } else {
      std::printf("%8d  small-file batch FAILED\n", baud);
      failed = true;
    }
  }

  std::printf("\nPer-file time in a batch of %d files of 1 KiB (one file's end to the next one's):\n",
              options.smallFiles);
  std::printf("%8s %12s %14s %10s\n", "bit/s", "per file ms", "protocol ms", "excess ms");
  for (const auto& o : overheads)
    std::printf("%8d %12.1f %14.1f %10.1f\n", o.baud, o.perFile * 1000, o.protocol * 1000,
                (o.perFile - o.protocol) * 1000);

  if (!options.markdown.empty()) {
    std::ofstream md(options.markdown);
    md << "| sender | bit/s | file | time (s) | line time (s) | efficiency | protocol ceiling |\n";
    md << "|---|---:|---:|---:|---:|---:|---:|\n";
    for (const auto& r : rows)
      md << format("| %s | %d | %s | %.2f%s | %.2f | %.2f %%%s | %.2f %% |\n", build.c_str(), r.baud,
                   sizeText(r.size).c_str(), r.seconds, r.measured ? "" : " (est.)",
                   protocolCost(r.size).seconds(r.baud), 100 * r.efficiency(), r.measured ? "" : " (est.)",
                   100 * r.ceiling());
    md << "\n| sender | bit/s | per file, batch of " << options.smallFiles
       << " × 1 KiB (ms) | the protocol's own (ms) | excess (ms) |\n|---|---:|---:|---:|---:|\n";
    for (const auto& o : overheads)
      md << format("| %s | %d | %.1f | %.1f | %.1f |\n", build.c_str(), o.baud, o.perFile * 1000, o.protocol * 1000,
                   (o.perFile - o.protocol) * 1000);
  }
  if (!options.data.empty()) {
    std::ofstream data(options.data);
    data << "# baud size_bytes efficiency_percent measured ceiling_percent\n";
    for (const auto& r : rows)
      data << r.baud << ' ' << r.size << ' ' << 100 * r.efficiency() << ' ' << (r.measured ? 1 : 0) << ' '
           << 100 * r.ceiling() << '\n';
  }
  return failed ? 1 : 0;
} catch (const std::exception& e) {
  std::fprintf(stderr, "line_efficiency: %s\n", e.what());
  return 2;
}
