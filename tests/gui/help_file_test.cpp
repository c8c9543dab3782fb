// zarvek.hlp read back the way a help viewer reads it: the directory, |SYSTEM,
// the topic records in their 4 KB blocks, and the jumps through |CONTEXT.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace zarvek::test {
namespace {

namespace fs = std::filesystem;

uint32_t u32(const std::string& b, size_t at) {
  if (at + 4 > b.size()) throw std::out_of_range("u32 past the end");
  return uint32_t(uint8_t(b[at])) | uint32_t(uint8_t(b[at + 1])) << 8 | uint32_t(uint8_t(b[at + 2])) << 16 |
         uint32_t(uint8_t(b[at + 3])) << 24;
}
uint16_t u16(const std::string& b, size_t at) {
  if (at + 2 > b.size()) throw std::out_of_range("u16 past the end");
  return uint16_t(uint8_t(b[at]) | uint8_t(b[at + 1]) << 8);
}

struct Topic {
  std::string title;
  uint32_t offset = 0;  // TOPICOFFSET: block * 0x8000 + characters before it in the block
  std::string text;     // its paragraphs, joined by blanks
  std::vector<uint32_t> jumps;  // context hashes it links to
};

class HelpFile {
 public:
  explicit HelpFile(std::string bytes) : b_(std::move(bytes)) {
    if (u32(b_, 0) != 0x00035F3F) throw std::runtime_error("not a help file");
    uint32_t dir = u32(b_, 4);
    for (auto& [name, at] : leafEntries(dir, [](const std::string& b, size_t p, std::string* key, size_t* next) {
           *key = b.c_str() + p;
           *next = p + key->size() + 1 + 4;
           return u32(b, p + key->size() + 1);
         }))
      files_[name] = at;
  }

  bool has(const std::string& name) const { return files_.count(name) != 0; }

  // The bytes of an internal file, behind its 9-byte header.
  std::string file(const std::string& name) const {
    uint32_t at = files_.at(name);
    return b_.substr(at + 9, u32(b_, at + 4));
  }

  std::map<uint32_t, uint32_t> contexts() const {  // hash -> topic offset
    std::map<uint32_t, uint32_t> out;
    for (auto& [key, value] : leafEntries(files_.at("|CONTEXT"), [](const std::string& b, size_t p, std::string* k,
                                                                     size_t* next) {
           *k = std::to_string(u32(b, p));
           *next = p + 8;
           return u32(b, p + 4);
         }))
      out[uint32_t(std::stoul(key))] = value;
    return out;
  }

  // Walks the topic records from the first, following each record's next
  // pointer, the way the viewer does for an uncompressed 3.1 file.
  std::vector<Topic> topics() const {
    const std::string t = file("|TOPIC");
    const size_t kBlock = 4096, kData = kBlock - 12;
    std::string data;  // the blocks' data parts, contiguous
    for (size_t at = 0; at < t.size(); at += kBlock) data += t.substr(at + 12, kData);
    std::vector<Topic> out;
    uint32_t pos = 12, lastBlock = UINT32_MAX, chars = 0;
    while (pos != UINT32_MAX) {
      uint32_t block = (pos - 12) >> 14, at = block * kData + ((pos - 12) & 0x3FFF);
      if (block != lastBlock) chars = 0, lastBlock = block;
      uint32_t size = u32(data, at), len2 = u32(data, at + 4), next = u32(data, at + 12), len1 = u32(data, at + 16);
      uint8_t kind = uint8_t(data.at(at + 20));
      if (size != len1 + len2 || len1 < 21) throw std::runtime_error("bad record sizes");
      std::string d1 = data.substr(at + 21, len1 - 21), d2 = data.substr(at + len1, len2);
      if (kind == 2) {
        if (!d2.empty()) out.push_back(Topic{d2, block * 0x8000 + chars, "", {}});
      } else if (kind == 0x20) {
        if (out.empty()) throw std::runtime_error("a paragraph before the first topic");
        paragraph(d1, d2, out.back());
        chars += len2;
      } else {
        throw std::runtime_error("record kind " + std::to_string(kind));
      }
      pos = next;
    }
    return out;
  }

 private:
  using Entry = uint32_t (*)(const std::string&, size_t, std::string*, size_t*);

  // Entries of a B+ tree of one level (the writer needs no more for this file).
  std::vector<std::pair<std::string, uint32_t>> leafEntries(uint32_t fileAt, Entry entry) const {
    size_t tree = fileAt + 9;
    if (u16(b_, tree) != 0x293B) throw std::runtime_error("bad B+ tree");
    if (u16(b_, tree + 32) != 1) throw std::runtime_error("B+ tree of more than one level");
    size_t page = tree + 38 + size_t(u16(b_, tree + 4)) * u16(b_, tree + 26);
    std::vector<std::pair<std::string, uint32_t>> out;
    size_t p = page + 8;
    for (int i = 0; i < int16_t(u16(b_, page + 2)); ++i) {
      std::string key;
      size_t next;
      uint32_t value = entry(b_, p, &key, &next);
      out.emplace_back(key, value);
      p = next;
    }
    return out;
  }

  // A paragraph: commands in d1 after its header, NUL-separated strings in d2.
  static void paragraph(const std::string& d1, const std::string& d2, Topic& topic) {
    size_t p = (uint8_t(d1.at(0)) & 1) ? 4 : 2;  // compressed TopicSize
    p += (uint8_t(d1.at(p)) & 1) ? 2 : 1;        // compressed TopicLength
    p += 4;                                      // two unknown bytes, id
    uint16_t bits = u16(d1, p);
    p += 2;
    for (uint16_t bit : {0x2, 0x4, 0x8, 0x10, 0x20, 0x40})
      if (bits & bit) p += (uint8_t(d1.at(p)) & 1) ? 2 : 1;
    size_t s = 0;
    std::string text;
    for (;;) {
      size_t nul = d2.find('\0', s);
      text += d2.substr(s, nul - s);
      s = nul == std::string::npos ? d2.size() : nul + 1;
      uint8_t cmd = uint8_t(d1.at(p++));
      if (cmd == 0xFF) break;
      if (cmd == 0x80) p += 2;
      else if (cmd == 0xE3) topic.jumps.push_back(u32(d1, p)), p += 4;
      else if (cmd != 0x81 && cmd != 0x82 && cmd != 0x83 && cmd != 0x89)
        throw std::runtime_error("unexpected command " + std::to_string(cmd));
    }
    topic.text += text + " ";
  }

  std::string b_;
  std::map<std::string, uint32_t> files_;
};

class HelpFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::path path = fs::path(ZARVEK_WINDOWS_BUILD_DIR) / "app/zarvek.hlp";
    if (!fs::exists(path)) {
      // Built with the Windows program; ./test.sh builds it first and requires it.
      if (std::getenv("ZARVEK_REQUIRE_WINE")) FAIL() << path << " is missing";
      GTEST_SKIP() << "no " << path;
    }
    help_ = std::make_unique<HelpFile>(readFile(path));
  }
  std::unique_ptr<HelpFile> help_;
};

TEST_F(HelpFileTest, IsAWinHelp31FileWithItsTopics) {
  for (const char* f : {"|SYSTEM", "|TOPIC", "|FONT", "|CONTEXT"}) EXPECT_TRUE(help_->has(f)) << f;
  std::string sys = help_->file("|SYSTEM");
  EXPECT_EQ(u16(sys, 0), 0x036C);
  EXPECT_EQ(u16(sys, 2), 21) << "a Windows 3.1 file";
  EXPECT_EQ(u16(sys, 10), 0) << "stored uncompressed";
  EXPECT_NE(sys.find("Zarvek Help"), std::string::npos);

  std::vector<std::string> titles;
  for (const auto& t : help_->topics()) titles.push_back(t.title);
  EXPECT_EQ(titles, (std::vector<std::string>{"Zarvek Help", "Connecting the cable", "Receive before Send",
                                              "The settings", "What the messages mean", "Menus and keys"}));
}

TEST_F(HelpFileTest, EveryJumpLeadsToATopic) {
  auto contexts = help_->contexts();
  auto topics = help_->topics();
  std::map<uint32_t, std::string> byOffset;
  for (const auto& t : topics) byOffset[t.offset] = t.title;
  size_t jumps = 0;
  for (const auto& t : topics)
    for (uint32_t hash : t.jumps) {
      ++jumps;
      ASSERT_TRUE(contexts.count(hash)) << "a jump in \"" << t.title << "\" to an unknown context";
      EXPECT_TRUE(byOffset.count(contexts[hash])) << "a context that is no topic's start";
    }
  EXPECT_EQ(jumps, 5u) << "the contents topic links the five others";
}

TEST_F(HelpFileTest, QuotesTheProgramsTexts) {
  std::map<std::string, std::string> text;
  for (const auto& t : help_->topics()) text[t.title] = t.text;
  struct Quote {
    const char* topic;
    const char* text;
  };
  const Quote quotes[] = {
      {"What the messages mean", "Select a different port."},
      {"What the messages mean", "Whoopsy: COM port in use!"},
      {"What the messages mean", "Too Contiguous CRC Errors, Aborting Transmission"},
      {"What the messages mean", "(CRC Errors)"},
      {"What the messages mean", "Invalid Packet"},
      {"What the messages mean", "Sorry, too many files selected!"},
      {"What the messages mean", "Data Transfer in Progress, Exit Zarvek?"},
      {"What the messages mean", "(Sending Data!)"},
      {"What the messages mean", "Still In Receive Mode, Exit Zarvek?"},
      {"What the messages mean", "(Receive Mode)"},
      {"What the messages mean", "Send thread error, Aborting"},
      {"What the messages mean", "Receive thread error, Aborting"},
      {"What the messages mean", "Error closing thread handle!"},
      {"Receive before Send", "ZARVEK [RECEIVE MODE]"},
      {"Receive before Send", "ZARVEK [SEND MODE]"},
      {"Receive before Send", "ZARVEK [IDLE]"},
      {"Receive before Send", "File(s) To Send"},
      {"The settings", "Port Number"},
      {"The settings", "Port Speed"},
      {"The settings", "Sender's CRC Retry Value"},
      {"The settings", "from 1 to 20"},
      {"Connecting the cable", "null-modem"},
  };
  for (const auto& q : quotes)
    EXPECT_NE(text[q.topic].find(q.text), std::string::npos) << "\"" << q.text << "\" in " << q.topic;
}

}  // namespace
}  // namespace zarvek::test
