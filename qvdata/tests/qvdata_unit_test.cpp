#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "qvdata.h"
#include "link_protocol.h"
#include "store_record.h"

namespace {

struct MtdLineCase {
  const char* line;
  bool columns;
  const char* name;
  bool numbers;
  int index;
  const char* dev_path;
  int size;
};

TEST(MtdLine, ColumnsAndNumbers) {
  const MtdLineCase cases[] = {
      {"mtd2: 00010000 00010000 \"Factory\"\n", true, "\"Factory\"", true, 2, "/dev/mtd2", 65536},
      {"mtd10: 00400000 00010000 \"Kernel\"\n", true, "\"Kernel\"", true, 10, "/dev/mtd10", 0x400000},
      {"  mtd3:\t00020000   00010000 \"Config\" extra words\n", true, "\"Config\"", true, 3, "/dev/mtd3", 0x20000},
      {"dev:    size   erasesize  name\n", true, "name", false, 0, "", 0},
      {"mtdx: 00010000 00010000 \"Factory\"\n", true, "\"Factory\"", false, 0, "", 65536},
      {"mtd99999999999: 1 1 \"F\"\n", false, "", false, 0, "", 0},  // first column over 8
      {"mtd2: 000000000000010000 00010000 \"Factory\"\n", false, "", false, 0, "", 0},
      {"mtd2: 00010000 00010000 \"Factory_partition_with_a_long_name\"\n", false, "", false, 0, "", 0},
      {"mtd2: 00010000 00010000\n", false, "", false, 0, "", 0},
      {"", false, "", false, 0, "", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    mtd_partition rec;
    std::memset(&rec, 0x5A, sizeof rec);
    ASSERT_EQ(parse_mtd_columns(c.line, &rec), c.columns);
    EXPECT_STREQ(rec.name, c.name);
    if (!c.columns) continue;
    EXPECT_EQ(parse_mtd_numbers(c.line, &rec), c.numbers);
    EXPECT_EQ(rec.index, c.index);
    EXPECT_STREQ(rec.dev_path, c.dev_path);
    EXPECT_EQ(rec.size, c.size);
  }
}

std::string image_of(const std::string& text) { return text + std::string(64, '\xff'); }

// A store record: mark, check (of the present form, or with former of blocks
// without an opening record), text, NUL; bad spoils its check.
std::string record(unsigned char mark, const std::string& text, bool former = false, bool bad = false) {
  const std::string t = text + '\0';
  unsigned char check = store_record::check_of(mark, reinterpret_cast<const unsigned char*>(t.data()),
                                               static_cast<int>(t.size()), former);
  if (bad) check = static_cast<unsigned char>(0x80 | ((check + 1) & 0x7F));
  return std::string(1, static_cast<char>(mark)) + static_cast<char>(check) + t;
}
// The records as a compaction writes them: behind an opening record that seals
// them with their length and CRC-32 (spoilt with bad).
std::string sealed(unsigned char mark, const std::string& records, bool bad) {
  char seal[40];
  const uint32_t crc = crc32(0, reinterpret_cast<const uint8_t*>(records.data()), static_cast<uint32_t>(records.size()));
  std::snprintf(seal, sizeof seal, "=#1,%zu,%08X", records.size(), static_cast<unsigned>(crc ^ (bad ? 1u : 0u)));
  return record(mark, seal) + records;
}

// Block 0 with text, then block 1 with the factory's entry qvsig=QV AP.
std::string two_blocks(const std::string& block0) {
  std::string image = block0 + std::string(store_record::kBlockBytes - block0.size(), '\xff');
  return image + image_of(record(0x81, "=#1") + record(0x81, "qvsig=QV AP"));
}

struct KeyCase {
  std::string image;
  const char* key;
  bool found;
  std::string value;
};

TEST(FindKeyValue, Table) {
  const std::string v31(31, 'v'), v32(32, 'w'), v40(40, 'x');
  const KeyCase cases[] = {
      {image_of(std::string("qvbootver=1.0.2\0qvsig=QV AP\0", 28)), "qvsig", true, "QV AP"},
      {image_of(std::string("qvsig=first\0qvsig=second\0", 25)), "qvsig", true, "first"},
      {image_of(std::string("oldqvsig=tail\0", 14)), "qvsig", true, "tail"},  // the end of a longer key
      {image_of(std::string("qvsig=\0", 7)), "qvsig", true, ""},
      {image_of(std::string("qvsig=a\nb\0", 10)), "qvsig", true, "a\nb"},
      {image_of("qvsig=" + v31 + std::string(1, '\0')), "qvsig", true, v31},
      {image_of("qvsig=" + v32 + std::string(1, '\0')), "qvsig", true, v32.substr(0, 31)},
      {image_of("qvsig=" + v40 + std::string(1, '\0')), "qvsig", true, v40.substr(0, 31)},
      {"xx qvsig=end", "qvsig", true, "end"},  // runs to the end of the image without a NUL
      {"qvsig=", "qvsig", true, ""},
      {"qvsig", "qvsig", false, ""},
      {image_of(std::string("qvsig:x\0qvsi=y\0", 15)), "qvsig", false, ""},
      {image_of("qvsig=x"), "", false, ""},
      // Behind a record header the check must hold for the block's form, and in
      // a block of the present form the mark must be its opening record's.
      {two_blocks(record(0x80, "=#0") + record(0x80, "qvsig=QV`AP", false, true)), "qvsig", true, "QV AP"},
      {two_blocks(record(0x80, "=#0") + record(0x82, "qvsig=QV`AP")), "qvsig", true, "QV AP"},
      {two_blocks(record(0x80, "=#0") + record(0x80, "qvsig=QV AP 300")), "qvsig", true, "QV AP 300"},
      {two_blocks(record(0x85, "qvsig=old", true)), "qvsig", true, "old"},
      {two_blocks(record(0x85, "qvsig=o\xec" "d", true, true)), "qvsig", true, "QV AP"},
      {two_blocks(record(0x85, "qvsig=o\xec" "d")), "qvsig", true, "QV AP"},  // not the former check
      {two_blocks(std::string("\x85\x05qvsig=raw\0", 12)), "qvsig", true, "raw"},  // no header: as it stands
      // What a compaction wrote counts only while its seal holds; a record voided
      // in place, and a plain block with bytes that no writer leaves, never.
      {two_blocks(sealed(0x81, record(0x81, "qvsig=new"), false)), "qvsig", true, "new"},
      {two_blocks(sealed(0x81, record(0x81, "qvsig=new"), true)), "qvsig", true, "QV AP"},
      {two_blocks(record(0x80, "=#0") + std::string("\x80\0qvsig=torn\0", 13)), "qvsig", true, "QV AP"},
      {two_blocks(std::string("qvsig=Caf\xc3\xa9\0", 12)), "qvsig", true, "Caf\xc3\xa9"},
      {two_blocks(std::string("qvsig=old\0\0x=1\0", 15)), "qvsig", true, "QV AP"},
      {two_blocks("qvbootver=1.0.2" + std::string(1, '\0') + "qvsig=QV A"), "qvsig", true, "QV AP"},  // cut short
      // A whole block that ends in a header byte, at the image's end: read to its
      // last byte, no further; no writer leaves such a byte, so nothing counts.
      {"SN=" + std::string(16379, '7') + std::string(1, '\0') + "\x80", "SN", false, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.image.substr(0, 40));
    char value[kValueSize];
    std::memset(value, 'Z', sizeof value);
    // The image in a buffer of exactly its size: a read past its end is one past the buffer.
    const std::vector<unsigned char> image(c.image.begin(), c.image.end());
    const char* got = find_key_value(image.data(), static_cast<int>(image.size()), c.key, value, sizeof value);
    if (!c.found) {
      EXPECT_EQ(got, nullptr);
      continue;
    }
    ASSERT_EQ(got, value);
    EXPECT_EQ(std::string(value), c.value);
  }
  char value[4];
  const unsigned char buf[] = "k=v";
  EXPECT_EQ(find_key_value(nullptr, 3, "k", value, 4), nullptr);
  EXPECT_EQ(find_key_value(buf, 0, "k", value, 4), nullptr);
  EXPECT_EQ(find_key_value(buf, 3, nullptr, value, 4), nullptr);
}

struct WordCase {
  const char* text;
  shell_word_kind kind;
  const char* word;
};

TEST(ShellWord, PlainTextStaysQuotedTextIsInert) {
  const auto V = shell_word_kind::value, P = shell_word_kind::path;
  const WordCase cases[] = {
      {"001122AABBCC", V, "001122AABBCC"},
      {"1.0.2-rc1_b7", V, "1.0.2-rc1_b7"},
      {"QV AP 300", V, "QV AP 300"},
      {"", V, ""},
      {"/etc/mac_eth0", P, "/etc/mac_eth0"},
      {"/tmp/a b", P, "'/tmp/a b'"},
      {"", P, "''"},
      {"$(touch X)", V, "'$(touch X)'"},
      {"a;reboot", V, "'a;reboot'"},
      {"`reboot`", V, "'`reboot`'"},
      {"it's", V, "'it'\\''s'"},
      {"a\nreboot", V, "'a\nreboot'"},
      {"#x", V, "'#x'"},
      {"*", V, "'*'"},
      {"/etc/x>y|z&", P, "'/etc/x>y|z&'"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    char out[64];
    ASSERT_TRUE(shell_word(c.text, c.kind, out, sizeof out));
    EXPECT_STREQ(out, c.word);
  }
  char small[6];
  EXPECT_TRUE(shell_word("abcde", shell_word_kind::value, small, sizeof small));
  EXPECT_FALSE(shell_word("abcdef", shell_word_kind::value, small, sizeof small));
  EXPECT_STREQ(small, "");
  EXPECT_FALSE(shell_word("a'b", shell_word_kind::value, small, sizeof small));
}

TEST(RegionValue, CodesAndOutOfRange) {
  struct {
    std::string at57;
    unsigned region;
  } cases[] = {
      {"\x03", 3},    {std::string(1, '\0'), 0},   {"\x07", 7},     {"\xff", 255},   {"3", 51},
      {"0", 48},      {"7", 55},     {"8", 0x35},     {"9", 0x35},     {"12", 0x35},
      {"-1", 0x35},   {"+5", '+'},   {" 3", ' '},     {"0003", '0'},   {"99999999999999999999", 0x35},
      // White space before the digits is passed over: only out-of-range digits
      // tell whether it was.
      {"\t9", 0x35}, {"\n8", 0x35}, {"\v\f\r 12", 0x35}, {"\t\n7", '\t'},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.at57);
    std::string image(kImageSize, '\xff');
    image.replace(kRegionOffset, c.at57.size(), c.at57);
    image[kRegionOffset + c.at57.size()] = '\xff';
    EXPECT_EQ(region_value(reinterpret_cast<const unsigned char*>(image.data()), kImageSize), c.region);
  }
  // Digits up to the image's very end are read, and nothing beyond it.
  const unsigned char tail[] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, '6', '1'};
  EXPECT_EQ(region_value(tail, kRegionOffset + 1), static_cast<unsigned>('6'));
  EXPECT_EQ(region_value(tail, kRegionOffset + 2), kRegionOutOfRange);
}

std::string temp_file(const std::string& data) {
  char name[] = "/tmp/qvdata-unit-XXXXXX";
  int fd = mkstemp(name);
  EXPECT_GE(fd, 0);
  EXPECT_EQ(write(fd, data.data(), data.size()), static_cast<ssize_t>(data.size()));
  close(fd);
  return name;
}

TEST(LoadFile, WholeShortAndMissing) {
  const std::string path = temp_file(std::string(100, 'a') + "b");
  unsigned char buf[128];
  testing::internal::CaptureStderr();
  EXPECT_EQ(load_file(path.c_str(), buf, 101), 1);
  EXPECT_EQ(buf[100], 'b');
  EXPECT_EQ(load_file(path.c_str(), buf, 50), 1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");

  testing::internal::CaptureStderr();
  EXPECT_EQ(load_file(path.c_str(), buf, 102), 0);
  EXPECT_EQ(load_file("/nonexistent/qv", buf, 10), 0);
  EXPECT_EQ(load_file("/tmp", buf, 10), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            " * ERROR: cannot read file " + path + ": end of file\n" +
                " * ERROR: cannot open file /nonexistent/qv No such file or directory\n" +
                " * ERROR: cannot read file /tmp: Is a directory\n");

  testing::internal::CaptureStderr();
  EXPECT_EQ(load_file(nullptr, buf, 10), 0);
  EXPECT_EQ(load_file(path.c_str(), nullptr, 10), 0);
  EXPECT_EQ(load_file(path.c_str(), buf, 0), 0);
  EXPECT_EQ(load_file(path.c_str(), buf, -1), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  unlink(path.c_str());
}

TEST(RunCommand, TracesTheCommandAsRunCutAt512) {
  char root[] = "/tmp/qvdata-unit-root-XXXXXX";
  ASSERT_NE(mkdtemp(root), nullptr);
  setenv("QV_DEVICE_ROOT", root, 1);
  const std::string out = std::string(root) + "/out";
  const std::string word(600, 'a');
  testing::internal::CaptureStderr();
  run_command("echo %s > %s", "x", out.c_str());
  run_command(": %s", word.c_str());
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(err, "qvdata_rt3052: run \"echo x > " + out + "\"\n" + "qvdata_rt3052: run \": " +
                     word.substr(0, 510) + "\"\n");
  unlink(out.c_str());
  rmdir(root);
  unsetenv("QV_DEVICE_ROOT");
}

}  // namespace
