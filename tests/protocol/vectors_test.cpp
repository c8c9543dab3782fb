// docs/PROTOCOL.md is the contract another implementation is built from: its
// test vectors and its table of answers, read from the page as written, must be
// what the code builds and reads.
#include <gtest/gtest.h>

#include <bit>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "protocol/file_info.h"
#include "protocol/packet.h"
#include "protocol/streamed.h"
#include "protocol/verified.h"
#include "support/temp_dir.h"

namespace zarvek::test {
namespace {

struct Vector {
  std::string kind;
  std::map<std::string, std::string> fields;
  std::map<int, uint8_t> bytes;  // offset -> value, as listed
};

std::string protocolPage() { return readFile(ZARVEK_SOURCE_DIR "/docs/PROTOCOL.md"); }

std::vector<Vector> readVectors(const std::string& page) {
  std::vector<Vector> vectors;
  std::istringstream lines(page);
  bool inside = false;
  for (std::string line; std::getline(lines, line);) {
    if (line == "```vector" || line == "```") {
      inside = line == "```vector";
      if (inside) vectors.emplace_back();
      continue;
    }
    if (!inside) continue;
    std::istringstream words(line);
    std::string word;
    words >> word;
    Vector& v = vectors.back();
    if (v.kind.empty()) {
      v.kind = word;
      while (words >> word) v.fields[word.substr(0, word.find('='))] = word.substr(word.find('=') + 1);
      continue;
    }
    int at = std::stoi(word.substr(0, word.size() - 1));
    while (words >> word) v.bytes[at++] = static_cast<uint8_t>(std::stoul(word, nullptr, 16));
  }
  return vectors;
}

uint32_t hex32(const std::string& text) { return static_cast<uint32_t>(std::stoul(text, nullptr, 16)); }

std::string unhex(const std::string& text) {
  std::string bytes;
  for (size_t i = 0; i + 1 < text.size(); i += 2) bytes += static_cast<char>(std::stoul(text.substr(i, 2), nullptr, 16));
  return bytes;
}

// Builds the vector's packet with the code, on a zeroed buffer. That the code
// reads back what it built is every verified transfer's (tests/engines).
std::vector<uint8_t> build(const Vector& v) {
  std::vector<uint8_t> frame(v.kind == "frame" ? kStreamFrameSize : kPacketSize, 0);
  uint8_t* f = frame.data();
  const auto field = [&](const char* name) { return hex32(v.fields.at(name)); };
  const auto number = [&](const char* name) { return static_cast<uint8_t>(std::stoul(v.fields.at(name))); };
  const std::string chunk = v.fields.count("chunk") ? unhex(v.fields.at("chunk")) : "";
  const auto* chunkBytes = reinterpret_cast<const uint8_t*>(chunk.data());
  if (v.kind == "stream-request") {
    const std::string& name = v.fields.at("name");
    buildName(f, name.data(), static_cast<uint8_t>(name.size()));
    putRequest(f, field("size"), field("tag"));
    putStreamAsk(f, field("tag"));
  } else if (v.kind == "file-request") {
    const std::string& name = v.fields.at("name");
    buildName(f, name.data(), static_cast<uint8_t>(name.size()));
    putRequest(f, field("size"), field("tag"));
    putStreamAsk(f, field("tag"));
    const int flags = std::stoi(v.fields.at("flags"));
    const FileInfo info{v.fields.at("path"), std::stoll(v.fields.at("time")), (flags & 1) != 0, (flags & 2) != 0};
    EXPECT_TRUE(putFileInfo(f, info, field("tag")));
    const std::optional<FileInfo> read = readFileInfo(f, field("tag"));
    EXPECT_TRUE(read && read->path == info.path && read->modified == info.modified && !read->folder && !read->fresh);
  } else if (v.kind == "stream-data") {
    const auto index = static_cast<uint32_t>(std::stoul(v.fields.at("index")));
    buildStreamedData(f, chunkBytes, static_cast<int32_t>(chunk.size()), index, field("tag"), number("round"));
  } else if (v.kind == "stream-end") {
    buildStreamedEnd(f, field("crc32"), field("tag"));
  } else if (v.kind == "stream-abort") {
    buildStreamedAbort(f, field("tag"));
  } else if (v.kind == "frame") {
    const auto kind = static_cast<StreamFrameKind>(v.fields.at("kind")[0]);
    const uint8_t credit = v.fields.count("credit") ? number("credit") : 0, round = v.fields.count("round") ? number("round") : 0;
    buildStreamFrame(f, {kind, field("index"), credit, round}, field("tag"));
    const std::optional<StreamFrame> read = readStreamFrame(f, field("tag"));
    EXPECT_TRUE(read && read->kind == kind && read->index == field("index") &&
                (kind == StreamFrameKind::Ack ? read->credit == credit : read->round == round));
    EXPECT_FALSE(readStreamFrame(f, field("tag") + 1)) << "a frame is sealed with its attempt's tag";
  } else if (v.kind == "offer") {
    buildSize(f, field("size"));
    putOffer(f, field("size"));
  } else if (v.kind == "request") {
    const std::string& name = v.fields.at("name");
    buildName(f, name.data(), static_cast<uint8_t>(name.size()));
    putRequest(f, field("size"), field("tag"));
  } else if (v.kind == "data") {
    const auto index = static_cast<uint32_t>(std::stoul(v.fields.at("index")));
    buildVerifiedData(f, chunkBytes, static_cast<int32_t>(chunk.size()), index);
  } else if (v.kind == "end") {
    buildVerifiedEnd(f, field("crc32"), field("tag"));
  } else if (v.kind == "abort") {
    buildVerifiedAbort(f, field("tag"));
  } else {
    ADD_FAILURE() << "unknown vector " << v.kind;
  }
  return frame;
}

TEST(ProtocolPage, VectorsAreWhatTheCodeBuilds) {
  const std::vector<Vector> vectors = readVectors(protocolPage());
  std::vector<std::string> kinds;
  for (const Vector& v : vectors) kinds.push_back(v.kind);
  ASSERT_EQ(kinds, (std::vector<std::string>{"offer", "request", "data", "end", "abort", "stream-request", "stream-data",
                                              "stream-end", "stream-abort", "frame", "frame", "frame", "frame", "frame",
                                              "file-request", "frame", "frame"}));
  for (const Vector& v : vectors) {
    SCOPED_TRACE(v.kind);
    const std::vector<uint8_t> frame = build(v);
    for (int at = 0; at < static_cast<int>(frame.size()); ++at) {
      const auto listed = v.bytes.find(at);
      EXPECT_EQ(frame[at], listed == v.bytes.end() ? 0 : listed->second) << "offset " << at;
    }
  }
  // The "hello" of the vectors.
  EXPECT_EQ(crc32(reinterpret_cast<const uint8_t*>("hello"), 5), hex32(vectors[3].fields.at("crc32")));
}

TEST(ProtocolPage, AnswerTableIsTheCodeAndNoAnswerIsNearAnother) {
  const std::string page = protocolPage();
  const char* names[] = {"Taken", "Refused", "Matches", "Differs"};
  std::vector<uint8_t> codes;
  for (int answer = 0; answer < 4; ++answer) {
    const size_t row = page.find(std::string("| ") + names[answer] + " |");
    ASSERT_NE(row, std::string::npos) << names[answer];
    std::istringstream cells(page.substr(row, page.find('\n', row) - row));
    std::string cell;
    std::getline(cells, cell, '|');
    std::getline(cells, cell, '|');
    for (uint32_t id = 0; id < 4; ++id) {
      std::getline(cells, cell, '|');
      const auto byte = static_cast<uint8_t>(std::stoul(cell, nullptr, 16));
      EXPECT_EQ(encodeAnswer(static_cast<Answer>(answer), id), byte) << names[answer] << " " << id;
      const auto decoded = decodeAnswer(byte);
      EXPECT_TRUE(decoded && decoded->answer == static_cast<Answer>(answer) && decoded->id == id);
      codes.push_back(byte);
    }
  }
  // Any two codes differ in four bits or more; none is, or is one bit from,
  // a byte of the classic conversation or an idle line.
  for (size_t a = 0; a < codes.size(); ++a) {
    for (size_t b = a + 1; b < codes.size(); ++b) EXPECT_GE(std::popcount(unsigned(codes[a] ^ codes[b])), 4);
    for (const uint8_t other : {uint8_t('A'), uint8_t('N'), uint8_t('V'), uint8_t(0x00), uint8_t(0xFF)}) {
      EXPECT_GE(std::popcount(unsigned(codes[a] ^ other)), 2) << int(codes[a]);
    }
  }
  int decodable = 0;
  for (int byte = 0; byte < 256; ++byte) decodable += decodeAnswer(static_cast<uint8_t>(byte)).has_value();
  EXPECT_EQ(decodable, 16);
  // The answer that makes a file streamed, as the page gives it: no damaged
  // bit turns another answer to "FN" into it, nor it into one.
  EXPECT_NE(page.find("**`x`** (0x78)"), std::string::npos);
  EXPECT_EQ(kReplyStream, 0x78);
  for (const uint8_t other : {uint8_t('A'), uint8_t('N'), uint8_t('V')}) EXPECT_GE(std::popcount(unsigned(kReplyStream ^ other)), 4);
  for (const uint8_t code : codes) EXPECT_GE(std::popcount(unsigned(kReplyStream ^ code)), 2);
}

}  // namespace
}  // namespace zarvek::test
