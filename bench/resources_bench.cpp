// CPU and memory of the two ends.
//  - CPU, as % of one core: a receiver waiting on an idle line (the native engine,
//    and with --wine EXE the Windows command line under Wine), and each end's
//    thread during a transfer over the paced cable.
//  - Memory: peak resident set (ru_maxrss, the kernel's VmHWM) of `zarvek send`
//    and `zarvek receive` as separate processes, for a 1 MiB and a 1 GiB file
//    (sparse: zeros read from a hole are still mapped pages) over the unpaced
//    cable, ports set to 921600. Sampled RssAnon / RssFile split the peak into
//    the program's own memory and the mapped file's pages.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <filesystem>
#include <fstream>
#include <random>

#include "bench/child.h"
#include "bench/line_ends.h"

namespace {

using namespace zarvek;
using namespace zarvek::bench;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

struct Options {
  std::string zarvek = ZARVEK_BINARY_DIR "/cli/zarvek";
  std::string wineExe;
  uint64_t bigMiB = 1024;
  int idleSeconds = 10;
  std::string markdown;
};

std::string markdownOut;
void say(const char* format, ...) __attribute__((format(printf, 1, 2)));
void say(const char* format, ...) {
  char line[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  std::fputs(line, stdout);
}
void row(const std::string& text) { markdownOut += text + "\n"; }

void writeRandomFile(const std::string& path, uint64_t size) {
  std::mt19937 random(7);
  std::vector<char> bytes(size);
  for (auto& b : bytes) b = static_cast<char>(random());
  std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

void idleNative(const Options& options) {
  Cable cable(CableConfig{115200, {}, {}, false});
  ScratchDir dir("idle");
  ReceiverThread receiver(cable.endB(), 115200, dir.path());
  std::this_thread::sleep_for(200ms);  // past its start
  const double before = receiver.cpuSeconds();
  const auto start = Clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(options.idleSeconds));
  const double cpu = receiver.cpuSeconds() - before;
  const double wall = std::chrono::duration<double>(Clock::now() - start).count();
  receiver.stop();
  say("idle receiver, Linux engine, %.0f s: %.4f s CPU = %.3f %% of a core\n", wall, cpu, 100 * cpu / wall);
  char line[256];
  std::snprintf(line, sizeof line, "| receiver waiting on an idle line | Linux | %.3f %% |", 100 * cpu / wall);
  row(line);
}

// CPU of every process in the group `pgid`, and of the Wine server of our prefix.
double groupCpuSeconds(pid_t pgid) {
  double total = 0;
  const std::string prefix = "WINEPREFIX=" ZARVEK_SOURCE_DIR "/build/wineprefix";
  for (const auto& entry : fs::directory_iterator("/proc")) {
    const std::string name = entry.path().filename();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    const pid_t pid = std::stoi(name);
    if (::getpgid(pid) == pgid) {
      total += processCpuSeconds(pid);
      continue;
    }
    std::ifstream comm(entry.path() / "comm");
    std::string command;
    std::getline(comm, command);
    if (command.rfind("wineserver", 0) != 0) continue;
    std::ifstream environ(entry.path() / "environ", std::ios::binary);
    for (std::string variable; std::getline(environ, variable, '\0');) {
      if (variable == prefix) {
        total += processCpuSeconds(pid);
        break;
      }
    }
  }
  return total;
}

void idleWine(const Options& options) {
  Cable cable(CableConfig{115200, {}, {}, false});
  ScratchDir dir("idle-wine");
  const std::string prefix = ZARVEK_SOURCE_DIR "/build/wineprefix";
  cable.linkEnds(prefix + "/ports/com8", prefix + "/ports/bench-unused");
  Child receiver({ZARVEK_SOURCE_DIR "/cmake/wine-run.sh", options.wineExe, "receive", "--port", "COM8",
                  "--speed", "115200", "--dir", windowsPath(dir.path())},
                 dir.path() + "/../idle-wine.log");
  if (!receiver.waitForOutput("receiving into", 180s)) {
    say("idle receiver under Wine: did not start: %s\n", receiver.output().c_str());
    return;
  }
  std::this_thread::sleep_for(1s);
  const double before = groupCpuSeconds(receiver.pid());
  const auto start = Clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(options.idleSeconds));
  const double cpu = groupCpuSeconds(receiver.pid()) - before;
  const double wall = std::chrono::duration<double>(Clock::now() - start).count();
  say("idle receiver, Windows command line under Wine (with its server), %.0f s: %.3f s CPU = %.3f %% of a core\n",
      wall, cpu, 100 * cpu / wall);
  char line[256];
  std::snprintf(line, sizeof line, "| receiver waiting on an idle line | Windows under Wine (and its server) | %.3f %% |",
                100 * cpu / wall);
  row(line);
}

void transferCpu(int baud, uint64_t size) {
  Cable cable(CableConfig{baud, {}, {}, false});
  ScratchDir dir("cpu");
  fs::create_directories(dir.path() + "/out");
  fs::create_directories(dir.path() + "/in");
  writeRandomFile(dir.path() + "/out/f.bin", size);
  ReceiverThread receiver(cable.endB(), baud, dir.path() + "/in");
  const double receiverBefore = receiver.cpuSeconds();
  const double processBefore = processCpuSeconds(::getpid());
  const auto start = Clock::now();
  TimingUi senderUi;
  double senderCpu = 0;
  std::thread sender([&] {
    const double before = threadCpuSeconds();
    sendBatch(cable.endA(), baud, dir.path() + "/out", {"f.bin"}, senderUi);
    senderCpu = threadCpuSeconds() - before;
  });
  sender.join();
  receiver.waitForFiles(1, 60s);
  const double wall = std::chrono::duration<double>(Clock::now() - start).count();
  const double receiverCpu = receiver.cpuSeconds() - receiverBefore;
  const double relayCpu = processCpuSeconds(::getpid()) - processBefore - receiverCpu - senderCpu;
  receiver.stop();
  const char* line = baud ? "paced" : "unpaced";
  say("transfer of %llu KiB, %s %d bit/s, %.1f s: sender %.2f %%, receiver %.2f %% of a core "
      "(the cable's relay, not part of the program: %.2f %%)\n",
      static_cast<unsigned long long>(size / 1024), line, baud, wall, 100 * senderCpu / wall,
      100 * receiverCpu / wall, 100 * relayCpu / wall);
  char text[256];
  std::snprintf(text, sizeof text, "| sender during a transfer (%llu KiB at %d bit/s) | Linux | %.2f %% |",
                static_cast<unsigned long long>(size / 1024), baud, 100 * senderCpu / wall);
  row(text);
  std::snprintf(text, sizeof text, "| receiver during a transfer (%llu KiB at %d bit/s) | Linux | %.2f %% |",
                static_cast<unsigned long long>(size / 1024), baud, 100 * receiverCpu / wall);
  row(text);
}

struct Peaks {
  long maxRss = 0, anon = 0, file = 0;  // KiB
  void sample(pid_t pid) {
    anon = std::max(anon, statusKib(pid, "RssAnon"));
    file = std::max(file, statusKib(pid, "RssFile"));
  }
};

void memory(const Options& options, uint64_t size) {
  ScratchDir dir("mem");
  fs::create_directories(dir.path() + "/out");
  fs::create_directories(dir.path() + "/in");
  const std::string file = dir.path() + "/out/big.bin";
  {
    // Sparse: made at once; the sender still maps and reads every page.
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0 || ::ftruncate(fd, static_cast<off_t>(size)) != 0) {
      say("cannot make the %llu-byte file\n", static_cast<unsigned long long>(size));
      if (fd >= 0) ::close(fd);
      return;
    }
    ::close(fd);
  }
  Cable cable(CableConfig{0, {}, {}, false});
  Child receiver({options.zarvek, "receive", "--port", cable.endB(), "--speed", "921600", "--dir",
                  dir.path() + "/in", "--files", "1"},
                 dir.path() + "/receive.log");
  if (!receiver.waitForOutput("receiving into", 30s)) {
    say("memory: the receiver did not start: %s\n", receiver.output().c_str());
    return;
  }
  const auto start = Clock::now();
  Child sender({options.zarvek, "send", "-q", "--port", cable.endA(), "--speed", "921600", file},
               dir.path() + "/send.log");
  Peaks sent, received;
  const auto guard = start + std::chrono::seconds(60 + static_cast<int64_t>(size >> 20));
  while ((sender.running() || receiver.running()) && Clock::now() < guard) {
    sent.sample(sender.pid());
    received.sample(receiver.pid());
    std::this_thread::sleep_for(50ms);
  }
  const int sendCode = sender.wait(5s), receiveCode = receiver.wait(5s);
  const double wall = std::chrono::duration<double>(Clock::now() - start).count();
  const bool complete = sendCode == 0 && receiveCode == 0 && fs::file_size(dir.path() + "/in/big.bin") == size;
  say("%5llu MiB unpaced in %.1f s (%.1f MB/s)%s\n", static_cast<unsigned long long>(size >> 20), wall,
      static_cast<double>(size) / wall / 1e6, complete ? "" : " - DID NOT COMPLETE");
  say("   sender:   peak RSS %7ld KiB  (of it, sampled peaks: own memory %ld KiB, mapped file %ld KiB)\n",
      sender.peakKib(), sent.anon, sent.file);
  say("   receiver: peak RSS %7ld KiB  (of it, sampled peaks: own memory %ld KiB, mapped file %ld KiB)\n",
      receiver.peakKib(), received.anon, received.file);
  char text[256];
  std::snprintf(text, sizeof text, "| %llu MiB | %.1f s | %ld | %ld | %ld | %ld | %ld | %ld |%s",
                static_cast<unsigned long long>(size >> 20), wall, sender.peakKib(), sent.anon, sent.file,
                receiver.peakKib(), received.anon, received.file, complete ? "" : " did not complete |");
  row(text);
}

Options parse(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const auto next = [&]() -> std::string {
      if (i + 1 >= argc) throw std::runtime_error(a + " needs a value");
      return argv[++i];
    };
    if (a == "--zarvek") o.zarvek = next();
    else if (a == "--wine") o.wineExe = next();
    else if (a == "--big-mib") o.bigMiB = std::stoull(next());
    else if (a == "--idle-seconds") o.idleSeconds = std::stoi(next());
    else if (a == "--markdown") o.markdown = next();
    else throw std::runtime_error("usage: resources_bench [--zarvek PATH] [--wine EXE] [--big-mib N] "
                                  "[--idle-seconds S] [--markdown FILE]");
  }
  return o;
}

}  // namespace

int main(int argc, char** argv) try {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  const Options options = parse(argc, argv);

  row("| what | build | CPU (% of one core) |\n|---|---|---:|");
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
