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
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "job/silent_ui.h"
#include "protocol/packet.h"
#include "receive/file_receiver.h"

namespace fs = std::filesystem;
using namespace zarvek;

namespace {

struct Reader {
  const uint8_t* data;
  size_t size;
  size_t pos = 0;
  bool more() const { return pos < size; }
  uint8_t next() { return pos < size ? data[pos++] : 0; }
};

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
  static SilentUi ui;
  {
    FileReceiver receiver;
    receiver.attachStatusField(ui);
    receiver.beginFile(folder.c_str());
    Reader in{data, size};
    while (in.more()) {
      uint8_t* p = receiver.packet();
      const uint8_t op = in.next();
      static const char kinds[6][2] = {{'F', 'S'}, {'F', 'N'}, {'F', 'D'}, {'E', 'F'}, {'A', 'F'}, {'E', 'T'}};
      const int k = op & 7;
      if (k < 6) {
        p[0] = static_cast<uint8_t>(kinds[k][0]);
        p[1] = static_cast<uint8_t>(kinds[k][1]);
      } else {
        p[0] = k == 6 ? in.next() : 'F';
        p[1] = in.next();
      }
      p[offset::lengthHigh] = in.next();
      p[offset::lengthLow] = in.next();
      const size_t count = std::min<size_t>(static_cast<size_t>(in.next()) * 5, kMaxChunk);
      const size_t copy = std::min(count, in.size - in.pos);
      std::memcpy(p + offset::payload, in.data + in.pos, copy);
      in.pos += copy;
      if (op & 8) {
        const int32_t n = (p[1] == 'S') ? 4 : payloadLength(p);
        const uint16_t crc = PacketCrc(p, n);
        p[offset::crcHigh] = static_cast<uint8_t>(crc >> 8);
        p[offset::crcLow] = static_cast<uint8_t>(crc);
      } else {
        p[offset::crcHigh] = in.next();
        p[offset::crcLow] = in.next();
      }
      if (receiver.dispatch() == PacketResult::FileEnded) receiver.beginFile(folder.c_str());
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
