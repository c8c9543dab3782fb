// Line efficiency: payload bytes per second over the line's byte rate (baud / 10),
// for files sent over the paced virtual cable, against what the protocol itself
// allows. The receiver is the native engine in-process on end B; the sender is
// the native engine in-process on end A, or (--wine EXE) the Windows command
// line under Wine on COM7, linked to end A.
//
// A file's time runs from the first byte of its "FS" entering the cable to the
// receiver taking its "EF". Runs whose line time alone exceeds --budget seconds
// are not run but estimated from the largest measured file at that speed (its
// time beyond the line time, per packet) and marked "est.".
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <random>
#include <sstream>

#include "bench/child.h"
#include "bench/line_ends.h"

namespace {

using namespace zarvek;
using namespace zarvek::bench;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr int kWineCom = 7;  // the tests use COM1; the benchmark keeps apart

struct Options {
  std::vector<int> speeds = {9600, 19200, 57600, 115200, 921600};
  std::vector<uint64_t> sizes = {1024, 64 * 1024, 4 * 1024 * 1024};
  double budget = 400;  // seconds of line time beyond which a run is estimated
  int smallFiles = 5;   // files in the batch that measures per-file overhead
  std::string wineExe;  // empty: native sender
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
  const uint64_t chunks = (size + kMaxChunk - 1) / kMaxChunk;
  const uint64_t packets = chunks + 3;
  return {packets, packets * kPacketSize + (packets - 1)};
}

double byteRate(int baud) { return baud / 10.0; }

struct Row {
  int baud;
  uint64_t size;
  double seconds;  // the file's time, measured or estimated
  bool measured;
  bool identical = true;
  double efficiency() const { return static_cast<double>(size) / seconds / byteRate(baud); }
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

void writeRandomFile(const std::string& path, uint64_t size, uint32_t seed) {
  std::mt19937 random(seed);
  std::vector<char> bytes(size);
  for (auto& b : bytes) b = static_cast<char>(random());
  std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

bool sameContent(const std::string& a, const std::string& b) {
  std::ifstream x(a, std::ios::binary), y(b, std::ios::binary);
  std::stringstream sx, sy;
  sx << x.rdbuf();
  sy << y.rdbuf();
  return x && y && sx.str() == sy.str();
}

// One batch over a fresh cable at `baud`: the receive times of each file's end
// and the moment the first byte entered the cable.
struct Batch {
  bool ok = false;
  Clock::time_point start;
  std::vector<EndedFile> ended;
};

Batch sendOverCable(const Options& options, int baud, const std::string& from, const std::string& to,
                    const std::vector<std::string>& names, double lineSeconds) {
  CableConfig config;
  config.baud = baud;
  Cable cable(config);
  ReceiverThread receiver(cable.endB(), baud, to);
  FirstByteWatch watch(cable, Direction::AtoB);
  const auto guard = std::chrono::milliseconds(static_cast<int64_t>(lineSeconds * 3000)) + 120s;
  Batch batch;
  bool sent = false;
  if (options.wineExe.empty()) {
    TimingUi senderUi;
    std::thread sender([&] { sent = sendBatch(cable.endA(), baud, from, names, senderUi).crcFailures == 0; });
    receiver.waitForFiles(names.size(), guard);
    sender.join();
  } else {
    const std::string prefix = ZARVEK_SOURCE_DIR "/build/wineprefix";
    cable.linkEnds(prefix + "/ports/com" + std::to_string(kWineCom), prefix + "/ports/bench-unused");
    std::vector<std::string> argv = {ZARVEK_SOURCE_DIR "/cmake/wine-run.sh", options.wineExe, "send", "-q",
                                     "--port", "COM" + std::to_string(kWineCom), "--speed", std::to_string(baud)};
    for (const auto& name : names) argv.push_back(windowsPath(from + "/" + name));
    Child sender(argv, to + "/../wine-send.log");
    receiver.waitForFiles(names.size(), guard);
    const int code = sender.wait(60s);
    sent = code == 0;
    if (!sent) std::fprintf(stderr, "Windows sender ended with %d:\n%s\n", code, sender.output().c_str());
  }
  receiver.stop();
  batch.ended = receiver.ui().ended();
  batch.ok = sent && batch.ended.size() == names.size() && watch.wait(1ms, &batch.start);
  for (const auto& e : batch.ended) batch.ok = batch.ok && e.outcome == FileOutcome::Complete;
  if (!batch.ok)
    std::fprintf(stderr, "  sender %s, %zu of %zu files ended at the receiver (outcome %d), %llu bytes in\n",
                 sent ? "done" : "failed", batch.ended.size(), names.size(),
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
  ScratchDir scratch("eff");
  const std::string from = scratch.path() + "/out", to = scratch.path() + "/in";
  fs::create_directories(from);
  fs::create_directories(to);
  const std::string name = "file-" + std::to_string(size) + ".bin";
  writeRandomFile(from + "/" + name, size, static_cast<uint32_t>(size) ^ 0x5eed);
  const Batch batch = sendOverCable(options, baud, from, to, {name}, protocolCost(size).seconds(baud));
  if (!batch.ok) return std::nullopt;
  Row row{baud, size, std::chrono::duration<double>(batch.ended[0].at - batch.start).count(), true};
  // The first byte is seen up to a poll late, never a whole packet late.
  if (row.seconds < protocolCost(size).seconds(baud) * 0.99) {
    std::fprintf(stderr, "  %.4f s is less than the line time: the first byte was missed\n", row.seconds);
    return std::nullopt;
  }
  row.identical = sameContent(from + "/" + name, to + "/" + name);
  return row;
}

std::optional<Overhead> measureSmallFiles(const Options& options, int baud) {
  ScratchDir scratch("small");
  const std::string from = scratch.path() + "/out", to = scratch.path() + "/in";
  fs::create_directories(from);
  fs::create_directories(to);
  std::vector<std::string> names;
  for (int i = 0; i < options.smallFiles; ++i) {
    names.push_back("small-" + std::to_string(i) + ".bin");
    writeRandomFile(from + "/" + names.back(), 1024, static_cast<uint32_t>(i));
  }
  const double line = protocolCost(1024).seconds(baud) * options.smallFiles;
  const Batch batch = sendOverCable(options, baud, from, to, names, line);
  if (!batch.ok || names.size() < 2) return std::nullopt;
  for (const auto& name : names) {
    if (!sameContent(from + "/" + name, to + "/" + name)) return std::nullopt;
  }
  const double span = std::chrono::duration<double>(batch.ended.back().at - batch.ended.front().at).count();
  return Overhead{baud, span / static_cast<double>(names.size() - 1), protocolCost(1024).seconds(baud) + 0.050};
}

std::vector<int> parseInts(const std::string& text) {
  std::vector<int> out;
  std::stringstream s(text);
  for (std::string item; std::getline(s, item, ',');) out.push_back(std::stoi(item));
  return out;
}

Options parse(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const auto next = [&]() -> std::string {
      if (i + 1 >= argc) throw std::runtime_error(a + " needs a value");
      return argv[++i];
    };
    if (a == "--speeds") o.speeds = parseInts(next());
    else if (a == "--sizes") {
      o.sizes.clear();
      for (int kib : parseInts(next())) o.sizes.push_back(static_cast<uint64_t>(kib) * 1024);
    } else if (a == "--budget") o.budget = std::stod(next());
    else if (a == "--small-files") o.smallFiles = std::max(2, std::stoi(next()));
    else if (a == "--wine") o.wineExe = next();
    else if (a == "--markdown") o.markdown = next();
    else if (a == "--data") o.data = next();
    else throw std::runtime_error("usage: line_efficiency [--speeds B,..] [--sizes KIB,..] [--budget S] "
                                  "[--small-files K] [--wine EXE] [--markdown FILE] [--data FILE]");
  }
  return o;
}

}  // namespace

int main(int argc, char** argv) try {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  const Options options = parse(argc, argv);
  const char* build = options.wineExe.empty() ? "Linux" : "Windows (Wine)";
  std::optional<WineSession> wine;
  if (!options.wineExe.empty()) wine.emplace(options.wineExe);
  std::printf("Line efficiency, %s sender, native receiver, paced virtual cable\n", build);
  std::printf("%8s %8s %10s %10s %9s %9s  %s\n", "bit/s", "file", "time s", "line s", "eff %", "ceil %", "");

  std::vector<Row> rows;
  std::vector<Overhead> overheads;
  bool failed = false;
  for (int baud : options.speeds) {
    std::vector<uint64_t> sizes = options.sizes;
    std::sort(sizes.begin(), sizes.end());
    std::optional<Row> largestMeasured;
    for (uint64_t size : sizes) {
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
    char line[256];
    for (const auto& r : rows) {
      std::snprintf(line, sizeof line, "| %s | %d | %s | %.2f%s | %.2f | %.2f %%%s | %.2f %% |\n", build, r.baud,
                    sizeText(r.size).c_str(), r.seconds, r.measured ? "" : " (est.)",
                    protocolCost(r.size).seconds(r.baud), 100 * r.efficiency(), r.measured ? "" : " (est.)",
                    100 * r.ceiling());
      md << line;
    }
    md << "\n| sender | bit/s | per file, batch of " << options.smallFiles
       << " × 1 KiB (ms) | the protocol's own (ms) | excess (ms) |\n|---|---:|---:|---:|---:|\n";
    for (const auto& o : overheads) {
      std::snprintf(line, sizeof line, "| %s | %d | %.1f | %.1f | %.1f |\n", build, o.baud, o.perFile * 1000,
                    o.protocol * 1000, (o.perFile - o.protocol) * 1000);
      md << line;
    }
  }
  if (!options.data.empty()) {
    // For the plot: one line per run.
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
