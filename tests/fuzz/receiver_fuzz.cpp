// Feeds the receiver's dispatch arbitrary packet sequences. Checks, beyond what
// the sanitizers catch: nothing is ever created outside the receive folder.
//
// Input encoding, per packet (so the fuzzer reaches past the checksum):
//   op        low 3 bits: kind (FS, FN, FD, EF, AF, ET, two raw letters, 'F'+raw);
//             bit 3: store the right checksum for the length field; else two raw bytes
//   hi, lo    the length field
//   count     payload bytes that follow: count * 5, at most 1024
//   payload   copied from offset 4; the rest of the frame keeps the previous packet
#include <signal.h>
#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "protocol/packet.h"
#include "receive/file_receiver.h"
#include "support/recording_ui.h"

namespace fs = std::filesystem;
using namespace zarvek;

namespace {

fs::path sandbox;  // holds only the receive folder "in"
fs::path folder;

void setUp() {
  char pattern[] = "/tmp/zarvek-fuzz-XXXXXX";
  if (!mkdtemp(pattern)) std::abort();
  sandbox = pattern;
  folder = sandbox / "in";
  fs::create_directory(folder);
  // Hostile sizes must fail the name step, not fill the disk.
  rlimit limit{1 << 20, 1 << 20};
  setrlimit(RLIMIT_FSIZE, &limit);
  signal(SIGXFSZ, SIG_IGN);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (sandbox.empty()) setUp();
  {
    test::RecordingUi ui;
    FileReceiver receiver(ui);
    receiver.beginFile(folder.c_str());
    size_t pos = 0;
    const auto next = [&] { return pos < size ? data[pos++] : uint8_t{0}; };
    while (pos < size) {
      uint8_t* p = receiver.packet();
      const uint8_t op = next();
      static const char kinds[6][2] = {{'F', 'S'}, {'F', 'N'}, {'F', 'D'}, {'E', 'F'}, {'A', 'F'}, {'E', 'T'}};
      const int k = op & 7;
      p[0] = k < 6 ? static_cast<uint8_t>(kinds[k][0]) : k == 6 ? next() : 'F';
      p[1] = k < 6 ? static_cast<uint8_t>(kinds[k][1]) : next();
      p[offset::lengthHigh] = next();
      p[offset::lengthLow] = next();
      const size_t copy = std::min({static_cast<size_t>(next()) * 5, size_t{kMaxChunk}, size - pos});
      std::memcpy(p + offset::payload, data + pos, copy);
      pos += copy;
      const uint16_t crc = PacketCrc(p, p[1] == 'S' ? 4 : payloadLength(p));
      p[offset::crcHigh] = (op & 8) ? static_cast<uint8_t>(crc >> 8) : next();
      p[offset::crcLow] = (op & 8) ? static_cast<uint8_t>(crc) : next();
      if (receiver.dispatch().result == PacketResult::FileEnded) receiver.beginFile(folder.c_str());
    }
  }
  for (const auto& entry : fs::directory_iterator(sandbox)) {
    if (entry.path() != folder) {
      std::fprintf(stderr, "written outside the receive folder: %s\n", entry.path().c_str());
      std::abort();
    }
  }
  for (const auto& entry : fs::directory_iterator(folder)) fs::remove_all(entry.path());
  return 0;
}
