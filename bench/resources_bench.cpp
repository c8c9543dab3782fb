// CPU and memory of the two ends.
//  - CPU, as % of one core: a receiver waiting on an idle line (the native engine,
//    and with --wine EXE the Windows command line under Wine), and each end's
//    thread during a transfer over the paced cable.
//  - Memory: peak resident set (the kernel's VmHWM, sampled) of `zarvek send`
//    and `zarvek receive` as separate processes, for a 1 MiB and a 1 GiB file
//    (sparse: zeros read from a hole are still mapped pages) over the unpaced
//    cable, ports set to 921600. Sampled RssAnon / RssFile split the peak into
//    the program's own memory and the mapped file's pages.
#include <unistd.h>

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "bench/support.h"
#include "harness/line_ends.h"
#include "harness/process.h"
#include "harness/wine.h"

namespace {

using namespace zarvek;
using namespace zarvek::bench;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

struct Options {
  std::string zarvek = harness::zarvekPath();
  std::string wineExe;
  uint64_t bigMiB = 1024;
  int idleSeconds = 10;
  std::string markdown;
};

// The tables, a line at a time.
std::string markdownOut;
template <class... Args>
void row(const char* text, Args... args) {
  markdownOut += format(text, args...) + "\n";
}

// CPU seconds (from cpuNow) and wall seconds over the idle time.
template <class CpuNow>
std::pair<double, double> idleCpu(const Options& options, CpuNow cpuNow) {
  const double before = cpuNow();
  const auto start = Clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(options.idleSeconds));
  const double cpu = cpuNow() - before;
  return {cpu, std::chrono::duration<double>(Clock::now() - start).count()};
}

void idleNative(const Options& options) {
  Cable cable(CableConfig{115200, {}, {}, false});
  ScratchDir dir("idle");
  TimingUi ui;
  harness::ReceiverThread receiver(cable.endB(), 115200, dir.path(), ui);
  std::this_thread::sleep_for(200ms);  // past its start
  const auto [cpu, wall] = idleCpu(options, [&] { return receiver.cpuSeconds(); });
  std::printf("idle receiver, Linux engine, %.0f s: %.4f s CPU = %.3f %% of a core\n", wall, cpu, 100 * cpu / wall);
  row("| receiver waiting on an idle line | Linux | %.3f %% |", 100 * cpu / wall);
}

// CPU of every process in the group `pgid`, and of the Wine server of our prefix.
double groupCpuSeconds(pid_t pgid) {
  double total = 0;
  const std::string prefix = "WINEPREFIX=" + harness::winePrefix();
  for (const auto& entry : fs::directory_iterator("/proc")) {
    const std::string name = entry.path().filename();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    const pid_t pid = std::stoi(name);
    if (::getpgid(pid) == pgid) {
      total += processCpuSeconds(pid);
      continue;
    }
    std::ifstream comm(entry.path() / "comm"), environ(entry.path() / "environ", std::ios::binary);
    std::string command;
    std::getline(comm, command);
    const std::string variables = '\0' + std::string(std::istreambuf_iterator<char>(environ), {});
    if (command.rfind("wineserver", 0) == 0 && variables.find('\0' + prefix + '\0') != std::string::npos)
      total += processCpuSeconds(pid);
  }
  return total;
}

void idleWine(const Options& options) {
  Cable cable(CableConfig{115200, {}, {}, false});
  ScratchDir dir("idle-wine");
  harness::pointComPort(8, cable.endA());
  harness::Process receiver(harness::wineCommand(
      options.wineExe, {"receive", "--port", "COM8", "--speed", "115200", "--dir", harness::windowsPath(dir.path())}));
  if (!receiver.waitForOutput("receiving into", 180s)) {
    std::printf("idle receiver under Wine: did not start: %s%s\n", receiver.out().c_str(), receiver.err().c_str());
    return;
  }
  std::this_thread::sleep_for(1s);
  const auto [cpu, wall] = idleCpu(options, [&] { return groupCpuSeconds(receiver.pid()); });
  std::printf(
      "idle receiver, Windows command line under Wine (with its server), %.0f s: %.3f s CPU = %.3f %% of a core\n",
      wall, cpu, 100 * cpu / wall);
  row("| receiver waiting on an idle line | Windows under Wine (and its server) | %.3f %% |", 100 * cpu / wall);
}

void transferCpu(int baud, uint64_t size) {
  Cable cable(CableConfig{baud, {}, {}, false});
  ScratchDir dir("cpu");
  fs::create_directories(dir.path() + "/in");
  writeRandomFile(dir.path() + "/f.bin", size, 7);
  TimingUi receivedUi, senderUi;
  harness::ReceiverThread receiver(cable.endB(), baud, dir.path() + "/in", receivedUi);
  letReceiverSettle();
  const double receiverBefore = receiver.cpuSeconds();
  const double processBefore = processCpuSeconds(::getpid());
  const auto start = Clock::now();
  const double senderBefore = harness::threadCpuSeconds();
  harness::sendFiles(cable.endA(), baud, {dir.path() + "/f.bin"}, senderUi);
  const double senderCpu = harness::threadCpuSeconds() - senderBefore;
  receivedUi.waitForFiles(1, 60s);
  const double wall = std::chrono::duration<double>(Clock::now() - start).count();
  const double receiverCpu = receiver.cpuSeconds() - receiverBefore;
  const double relayCpu = processCpuSeconds(::getpid()) - processBefore - receiverCpu - senderCpu;
  receiver.stop();
  const char* line = baud ? "paced" : "unpaced";
  std::printf(
      "transfer of %llu KiB, %s %d bit/s, %.1f s: sender %.2f %%, receiver %.2f %% of a core "
      "(the cable's relay, not part of the program: %.2f %%)\n",
      static_cast<unsigned long long>(size / 1024), line, baud, wall, 100 * senderCpu / wall, 100 * receiverCpu / wall,
      100 * relayCpu / wall);
  row("| sender during a transfer (%llu KiB at %d bit/s) | Linux | %.2f %% |",
      static_cast<unsigned long long>(size / 1024), baud, 100 * senderCpu / wall);
  row("| receiver during a transfer (%llu KiB at %d bit/s) | Linux | %.2f %% |",
      static_cast<unsigned long long>(size / 1024), baud, 100 * receiverCpu / wall);
}

// The peak is VmHWM, not ru_maxrss: the kernel counts in ru_maxrss the resident
// set of whoever started the process, so it would show this benchmark's own.
struct Peaks {
  long hwm = 0, anon = 0, file = 0;  // KiB
  void sample(pid_t pid) {
    hwm = std::max(hwm, statusKib(pid, "VmHWM"));
    anon = std::max(anon, statusKib(pid, "RssAnon"));
    file = std::max(file, statusKib(pid, "RssFile"));
  }
};

void memory(const Options& options, uint64_t size) {
  ScratchDir dir("mem");
  fs::create_directories(dir.path() + "/out");
  fs::create_directories(dir.path() + "/in");
  const std::string file = dir.path() + "/out/big.bin";
  std::ofstream{file};
  fs::resize_file(file, size);  // sparse: made at once; the sender still maps and reads every page
  Cable cable(CableConfig{0, {}, {}, false});
  harness::Process receiver({options.zarvek, "receive", "--port", cable.endB(), "--speed", "921600", "--dir",
                             dir.path() + "/in", "--files", "1"});
  if (!receiver.waitForOutput("receiving into", 30s)) {
    std::printf("memory: the receiver did not start: %s%s\n", receiver.out().c_str(), receiver.err().c_str());
    return;
  }
  letReceiverSettle();
  const auto start = Clock::now();
  harness::Process sender({options.zarvek, "send", "-q", "--port", cable.endA(), "--speed", "921600", file});
  Peaks sent, received;
  const auto guard = start + std::chrono::seconds(60 + static_cast<int64_t>(size >> 20));
  while (!(sender.wait(0ms) && receiver.wait(0ms)) && Clock::now() < guard) {
    sent.sample(sender.pid());
    received.sample(receiver.pid());
    std::this_thread::sleep_for(50ms);
  }
  const auto sendCode = sender.wait(5s), receiveCode = receiver.wait(5s);
  std::error_code ec;
  const double wall = std::chrono::duration<double>(Clock::now() - start).count();
  const bool complete = sendCode == 0 && receiveCode == 0 && fs::file_size(dir.path() + "/in/big.bin", ec) == size;
  std::printf("%5llu MiB unpaced in %.1f s (%.1f MB/s)%s\n", static_cast<unsigned long long>(size >> 20), wall,
              static_cast<double>(size) / wall / 1e6, complete ? "" : " - DID NOT COMPLETE");
  std::printf("   sender:   peak RSS %7ld KiB  (of it, sampled peaks: own memory %ld KiB, mapped file %ld KiB)\n",
              sent.hwm, sent.anon, sent.file);
  std::printf("   receiver: peak RSS %7ld KiB  (of it, sampled peaks: own memory %ld KiB, mapped file %ld KiB)\n",
              received.hwm, received.anon, received.file);
  row("| %llu MiB | %.1f s | %ld | %ld | %ld | %ld | %ld | %ld |%s", static_cast<unsigned long long>(size >> 20), wall,
      sent.hwm, sent.anon, sent.file, received.hwm, received.anon, received.file, complete ? "" : " did not complete |");
}

}  // namespace

int main(int argc, char** argv) try {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  Options options;
  CLI::App app{"CPU and memory of the two ends", "resources_bench"};
  app.add_option("--zarvek", options.zarvek, "The command line whose memory is measured");
  app.add_option("--wine", options.wineExe, "The Windows zarvek.exe whose idle receiver is measured, under Wine");
  app.add_option("--big-mib", options.bigMiB, "Size of the large file in MiB")->check(CLI::PositiveNumber);
  app.add_option("--idle-seconds", options.idleSeconds, "How long an idle receiver is watched")
      ->check(CLI::PositiveNumber);
  app.add_option("--markdown", options.markdown, "Write the tables here");
  CLI11_PARSE(app, argc, argv);

  row("| what | build | CPU (%% of one core) |\n|---|---|---:|");
  idleNative(options);
  if (!options.wineExe.empty()) {
    WineSession wine(options.wineExe);
    idleWine(options);
  }
  transferCpu(115200, 256 * 1024);
  transferCpu(921600, 1024 * 1024);

  row("\n| file | time, unpaced | sender peak RSS (KiB) | sender own (anon) | sender mapped file | receiver peak RSS "
      "(KiB) | receiver own (anon) | receiver mapped file |\n|---|---:|---:|---:|---:|---:|---:|---:|");
  memory(options, 1 << 20);
  memory(options, options.bigMiB << 20);

  if (!options.markdown.empty()) std::ofstream(options.markdown) << markdownOut;
  return 0;
} catch (const std::exception& e) {
  std::fprintf(stderr, "resources_bench: %s\n", e.what());
  return 2;
}
