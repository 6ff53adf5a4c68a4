// The store and flash operations on a simulated device, called in this process
// and through the nvram command in others.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "device_root.h"
#include "nvram.h"
#include "nvram_admin.h"

using qvtest::DeviceRoot;

namespace {

class Store : public ::testing::Test {
 protected:
  void SetUp() override { setenv("QV_DEVICE_ROOT", root.dir().c_str(), 1); }
  void TearDown() override { unsetenv("QV_DEVICE_ROOT"); }
  std::string block(int index) const { return root.peek("Config", index * NVRAM_BLOCK_BYTES, NVRAM_BLOCK_BYTES); }
  DeviceRoot root;
};

// The check byte of a record of the present form: 0x80 | CRC-7 (x^7 + x^3 + 1)
// over mark, text and NUL.
unsigned char present_check(const std::string& mark_text_nul) {
  unsigned crc = 0;  // in the top seven bits
  for (unsigned char b : mark_text_nul) {
    crc ^= b;
    for (int k = 0; k < 8; ++k) crc = (crc & 0x80) ? ((crc << 1) ^ 0x12) & 0xFF : (crc << 1) & 0xFF;
  }
  return static_cast<unsigned char>(0x80 | (crc >> 1));
}
// CRC-32 of the reflected polynomial 0xEDB88320, bit by bit.
unsigned crc32_of(const std::string& bytes) {
  unsigned crc = 0xFFFFFFFFu;
  for (unsigned char b : bytes) {
    crc ^= b;
    for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}
std::string present_record(unsigned char mark, const std::string& text) {
  const std::string m(1, static_cast<char>(mark));
  return m + static_cast<char>(present_check(m + text + '\0')) + text + '\0';
}

TEST_F(Store, AbsentKeysAndBadArgumentsReadAsEmpty) {
  struct Case {
    int index;
    const char* key;
  } cases[] = {{0, "TZ"}, {3, "SN"}, {-1, "SN"}, {4, "SN"}, {0, ""}};
  for (const auto& c : cases) {
    EXPECT_STREQ(nvram_get(c.index, c.key), "") << c.index << " " << c.key;
    EXPECT_STREQ(nvram_bufget(c.index, c.key), "") << c.index << " " << c.key;
  }
}

TEST_F(Store, BlocksAreIndependent) {
  ASSERT_EQ(nvram_set(0, "SN", "user"), 0);
  ASSERT_EQ(nvram_set(3, "SN", "ABC123"), 0);
  EXPECT_STREQ(nvram_get(0, "SN"), "user");
  EXPECT_STREQ(nvram_get(3, "SN"), "ABC123");
}

TEST_F(Store, BufgetStringsStayUnchangedAcrossLaterCalls) {
  ASSERT_EQ(nvram_set(0, "daylightMonthStart", "4"), 0);
  ASSERT_EQ(nvram_set(0, "daylightDayStart", "1"), 0);
  const char* month = nvram_bufget(0, "daylightMonthStart");
  const char* day = nvram_bufget(0, "daylightDayStart");
  ASSERT_EQ(nvram_set(0, "daylightMonthStart", "11"), 0);
  for (int i = 0; i < 2000; ++i) nvram_bufget(0, "daylightDayStart");  // fills more than one arena chunk
  nvram_get(0, "daylightMonthStart");
  EXPECT_STREQ(month, "4");
  EXPECT_STREQ(day, "1");
  EXPECT_STREQ(nvram_bufget(0, "daylightMonthStart"), "11");
}

TEST_F(Store, KeysThatEndLikeOthersAreNotConfused) {
  ASSERT_EQ(nvram_set(0, "wlan_essid2", "second"), 0);
  ASSERT_EQ(nvram_set(0, "essid", "x"), 0);
  ASSERT_EQ(nvram_set(0, "wlan_essid", "first"), 0);
  EXPECT_STREQ(nvram_get(0, "wlan_essid"), "first");
  EXPECT_STREQ(nvram_get(0, "wlan_essid2"), "second");
  EXPECT_STREQ(nvram_get(0, "essid"), "x");
  EXPECT_STREQ(nvram_get(0, "wlan_"), "");
}

TEST_F(Store, PersistentFormIsRawKeyValueEntries) {
  ASSERT_EQ(nvram_set(1, "qvbootver", "1.0.4"), 0);
  ASSERT_EQ(nvram_set(1, "qvsig", "QV AP 300"), 0);
  ASSERT_EQ(nvram_set(3, "SN", "S1"), 0);
  ASSERT_EQ(nvram_set(1, "qvbootver", "1.0.5"), 0);  // raw readers take the first copy: it must be the new one
  const std::string first64k = root.peek("Config", 0, 65536);
  EXPECT_NE(first64k.find(std::string("qvbootver=1.0.5\0", 16)), std::string::npos);
  EXPECT_NE(first64k.find(std::string("qvsig=QV AP 300\0", 16)), std::string::npos);
  EXPECT_EQ(first64k.find(std::string("qvbootver=1.0.4")), std::string::npos);
  EXPECT_NE(block(3).find(std::string("SN=S1\0", 6)), std::string::npos);
  // The records' headers: the generation (1, after the compaction for the new
  // qvbootver), the check over mark, text and NUL; the opening record seals
  // the records behind it with their length and CRC-32.
  const std::string sn = present_record(0x81, "SN=S1");
  char seal[32];
  std::snprintf(seal, sizeof seal, "=#1,%zu,%08X", sn.size(), crc32_of(sn));
  const std::string expect = present_record(0x81, seal) + sn;
  EXPECT_EQ(block(3).substr(0, expect.size() + 1), expect + '\xff');
}

TEST_F(Store, EntriesWrittenRawAreRead) {
  root.poke("Config", 0, std::string("qvbootver=2.1\0qvsig=AP\0", 23));
  EXPECT_STREQ(nvram_get(0, "qvsig"), "AP");
  ASSERT_EQ(nvram_set(0, "TZ", "GMT_8"), 0);
  EXPECT_STREQ(nvram_get(0, "qvbootver"), "2.1");
}

TEST_F(Store, RawBlocksAreReadUpToTheirFirstStop) {
  struct Case {
    const char* name;
    std::string raw;
  } cases[] = {
      // In a block of the present form, which takes appends: no append goes
      // behind a tail that is not erased.
      {"zero byte", present_record(0x80, "=#0") + present_record(0x80, "a=1") + std::string("\0b=2\0", 5)},
      {"erased byte with programmed bytes behind it",
       present_record(0x80, "=#0") + present_record(0x80, "a=1") + std::string("\xff" "b=2\0", 5)},
  };
  for (const auto& c : cases) {
    root.poke("Config", 2 * NVRAM_BLOCK_BYTES, std::string(NVRAM_BLOCK_BYTES, '\xff'));
    root.poke("Config", 2 * NVRAM_BLOCK_BYTES, c.raw);
    EXPECT_STREQ(nvram_get(2, "a"), "1") << c.name;
    EXPECT_STREQ(nvram_get(2, "b"), "") << c.name;
    ASSERT_EQ(nvram_set(2, "c", "3"), 0) << c.name;  // no append behind the stop: compacted
    EXPECT_STREQ(nvram_get(2, "a"), "1") << c.name;
    EXPECT_STREQ(nvram_get(2, "b"), "") << c.name;
    EXPECT_STREQ(nvram_get(2, "c"), "3") << c.name;
    EXPECT_EQ(root.run({"nvram", "get", "2", "c"}).out, "3\n") << c.name;  // from the flash, not this process's copy
    root.poke("Config", 2 * NVRAM_BLOCK_BYTES, std::string(NVRAM_BLOCK_BYTES, '\xff'));
  }
}

// A record as the store wrote it before blocks had an opening record: its check
// the low seven bits of CRC-8 (x^8 + x^2 + x + 1) over mark, text and NUL.
std::string former_record(unsigned char mark, const std::string& text) {
  std::string bytes = std::string(1, static_cast<char>(mark)) + text + '\0';
  unsigned crc = 0;
  for (unsigned char b : bytes) {
    crc ^= b;
    for (int k = 0; k < 8; ++k) crc = (crc & 0x80) ? ((crc << 1) ^ 0x07) & 0xFF : (crc << 1) & 0xFF;
  }
  return bytes.substr(0, 1) + static_cast<char>(0x80 | (crc & 0x7F)) + text + '\0';
}

TEST_F(Store, RecordsOfTheFormerFormAreReadAndRewritten) {
  root.poke("Config", 2 * NVRAM_BLOCK_BYTES,
            former_record(0x85, "a=1") + former_record(0x85, "b=2") + former_record(0x85, "a=3"));
  EXPECT_STREQ(nvram_get(2, "a"), "3");
  EXPECT_STREQ(nvram_get(2, "b"), "2");
  ASSERT_EQ(nvram_set(2, "c", "4"), 0);  // compacted into the present form
  EXPECT_EQ(block(2).substr(2, 4), "=#1,");
  for (const char* key : {"a", "b", "c"})
    EXPECT_EQ(root.run({"nvram", "get", "2", key}).out, std::string(key[0] == 'a' ? "3" : key[0] == 'b' ? "2" : "4") + "\n");
}

// A cut erase raises bits. No raised bit in any record may let a wrong value be read.
TEST_F(Store, NoRaisedBitInARecordIsReadAsAValue) {
  ASSERT_EQ(nvram_set(2, "product", "QV AP 300 Outdoor"), 0);
  const std::string good = block(2);
  const size_t end = good.find('\xff');
  ASSERT_NE(end, std::string::npos);
  int tried = 0;
  for (size_t at = 0; at < end; ++at)
    for (int bit = 0; bit < 8; ++bit) {
      if (good[at] & (1 << bit)) continue;
      root.poke("Config", 2 * NVRAM_BLOCK_BYTES + static_cast<int>(at),
                std::string(1, static_cast<char>(good[at] | (1 << bit))));
      auto r = root.run({"nvram", "get", "2", "product"});
      EXPECT_EQ(r.out, "\n") << "byte " << at << " bit " << bit;
      root.poke("Config", 2 * NVRAM_BLOCK_BYTES + static_cast<int>(at), good.substr(at, 1));
      ++tried;
    }
  EXPECT_GT(tried, 50);
  EXPECT_EQ(root.run({"nvram", "get", "2", "product"}).out, "QV AP 300 Outdoor\n");
}

// A cut erase raises many bits; now and then a scrambled record's check still
// holds (1 in 128), or a block loses its opening record and looks like one of
// the former form. None of these may be read as a value.
TEST_F(Store, ScrambledRecordsThatPassTheirCheckAreNotRead) {
  ASSERT_EQ(nvram_set(2, "product", "QV AP 300 Outdoor"), 0);
  const std::string good = block(2);
  // The same block as a compaction writes it, sealed (the factory block's
  // rewrite compacts every block of the erase block).
  for (const char* v : {"1.0", "1.1"}) ASSERT_EQ(nvram_set(1, "qvbootver", v), 0);
  const std::string sealed = block(2);
  ASSERT_EQ(sealed.substr(2, 4), "=#1,");
  root.poke("Config", 2 * NVRAM_BLOCK_BYTES, std::string(NVRAM_BLOCK_BYTES, '\xff'));
  // The product's record behind the opening record, with a raised bit in its
  // value (and one in its mark, with raise_mark), and raised bits of its check
  // byte where that makes the check hold.
  const auto scrambled = [](const std::string& image, bool raise_mark) {
    const size_t rec = 2 + std::strlen(image.c_str() + 2) + 1;
    const size_t nul = image.find('\0', rec + 2);
    for (int mb = raise_mark ? 0 : 7; mb < 8; ++mb)
      for (size_t at = image.find('=', rec + 2) + 1; at < nul; ++at)
        for (int bit = 0; bit < 7; ++bit) {
          std::string r = image.substr(rec, nul + 1 - rec);
          if ((mb < 7 && (r[0] & (1 << mb))) || (r[at - rec] & (1 << bit))) continue;
          if (mb < 7) r[0] = static_cast<char>(r[0] | (1 << mb));
          r[at - rec] = static_cast<char>(r[at - rec] | (1 << bit));
          const unsigned char check = present_check(r.substr(0, 1) + r.substr(2));
          if ((check & static_cast<unsigned char>(r[1])) != static_cast<unsigned char>(r[1])) continue;
          r[1] = static_cast<char>(check);
          return image.substr(0, rec) + r;
        }
    return std::string();
  };
  const std::string other_mark = scrambled(good, true), in_the_seal = scrambled(sealed, false);
  ASSERT_FALSE(other_mark.empty());
  ASSERT_FALSE(in_the_seal.empty());
  struct Case {
    const char* name;
    std::string image;  // of block 2
    const char* key;
  } cases[] = {
      {"another generation's mark", other_mark, "product"},
      // Its mark and check hold: only the seal of the compacted records tells.
      {"a record of the sealed part", in_the_seal, "product"},
      // Random bytes where a block was (an erase that programs zeros first, cut
      // while its bits rise): a plain entry's key is printable.
      {"unprintable text without a header", std::string("pr\x01oduct=\x11\x93\0\x04\x80", 13), "pr\x01oduct"},
      // A block whose opening record a cut erase scrambled is read in the former
      // form; a record that holds the former check there, with others behind a
      // stop, is what is left of the present form, not a block of the former one.
      // The former check holds for one scrambled record in 128: a key of the
      // former form is text.
      {"a former-form record whose key is not text", former_record(0x85, "pr\xef" "duct=QV AP 300"), "pr\xef" "duct"},
      {"a former-form record before a stop with records behind it",
       former_record(0x85, "product=QV AP 300 Ou\xf4" "door") + "\x87\x80" + "x=1" + std::string(1, '\0') +
           former_record(0x85, "y=2"),
       "product"},
  };
  for (const auto& c : cases) {
    root.poke("Config", 2 * NVRAM_BLOCK_BYTES, c.image);
    EXPECT_EQ(root.run({"nvram", "get", "2", c.key}).out, "\n") << c.name;
    root.poke("Config", 2 * NVRAM_BLOCK_BYTES, std::string(NVRAM_BLOCK_BYTES, '\xff'));
  }
}

// An append that a cut left torn costs no erase: the next write voids it in
// place (the block keeps its opening record, so it was not compacted), and a
// process that had the block in memory sees the write behind it. Not in the
// factory block, whose entries a raw reader takes as it finds them.
TEST_F(Store, TornAppendIsVoidedInPlace) {
  const char* kA = "a value that ends past the block's first 16 bytes";
  struct Case {
    const char* name;
    int block;
    bool empty;           // the torn append was the block's first: no "a" before it
    std::string torn;     // behind the block's records; "M" stands for the block's mark
    const char* opening;  // of the block after the next write
  } cases[] = {
      {"mark only", 2, false, "M", "=#0"},
      {"half a record", 2, false, "M\x95" "b=2", "=#0"},
      {"torn check byte", 2, false, "M\xff" "b=", "=#0"},
      {"half-programmed mark", 2, false, "\xbf", "=#0"},
      // A restore's group without its reset record: "=", entries, a torn one.
      {"a group cut short", 2, false, "G" "M\x95" "b=", "=#0"},
      // The opening record of a block's first append, cut short.
      {"the first append's opening record", 2, true, "M\x95" "=#", "=#0"},
      {"a NUL inside: compacted", 2, false, std::string("M\x95" "b\0x", 5), "=#1"},
      {"in the factory block: compacted", 1, false, "M\x95" "b=2", "=#1"},
  };
  // The opening record's text, behind records voided in place.
  const auto opening = [](const std::string& b) {
    size_t at = 0;
    while (at + 1 < b.size() && b[at + 1] == '\0') at = b.find('\0', at + 2) + 1;
    return b.substr(at + 2, 3);
  };
  for (const auto& c : cases) {
    root.poke("Config", c.block * NVRAM_BLOCK_BYTES, std::string(NVRAM_BLOCK_BYTES, '\xff'));
    if (!c.empty) ASSERT_EQ(nvram_set(c.block, "a", kA), 0) << c.name;
    const std::string before = block(c.block);
    const size_t end = c.empty ? 0 : before.find_last_not_of('\xff') + 1;
    const unsigned char mark = c.empty ? 0x80 : static_cast<unsigned char>(before[0]);
    std::string torn;
    for (char ch : c.torn)
      torn += ch == 'M' ? std::string(1, static_cast<char>(mark))
              : ch == 'G' ? present_record(mark, "=") + present_record(mark, "b=2") + present_record(mark, "x=1")
                          : std::string(1, ch);
    root.poke("Config", c.block * NVRAM_BLOCK_BYTES + static_cast<int>(end), torn);
    EXPECT_STREQ(nvram_get(c.block, "a"), c.empty ? "" : kA) << c.name;  // this process keeps the block, with its stop
    auto r = root.run({"nvram", "set", std::to_string(c.block), "c", "3"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(opening(block(c.block)), c.opening) << c.name;
    EXPECT_STREQ(nvram_get(c.block, "c"), "3") << c.name;
    for (const char* key : {"b", "x"}) EXPECT_STREQ(nvram_get(c.block, key), "") << c.name << " " << key;
    EXPECT_EQ(root.run({"nvram", "get", std::to_string(c.block), "a"}).out, std::string(c.empty ? "" : kA) + "\n")
        << c.name;
    root.poke("Config", c.block * NVRAM_BLOCK_BYTES, std::string(NVRAM_BLOCK_BYTES, '\xff'));
  }
}

// A block of the platform's earlier store (raw entries, no record headers)
// with bytes behind its entries that no writer leaves: the store does not know
// what they are. Nothing of the block is read, a write to it is refused (but a
// restore of the defaults), and a compaction of the blocks around it puts it
// back byte for byte.
TEST_F(Store, PlainBlockWithBytesNoWriterLeavesIsKeptAsItStands) {
  struct Case {
    const char* name;
    std::string raw;
  } cases[] = {
      {"entries behind zero padding", std::string("a=1\0\0b=2\0", 9)},
      {"a key that is not ASCII", std::string("a=1\0k\xc3\xa9y=2\0", 11)},
      {"a value without its NUL", std::string("a=1\0b=", 6) + std::string(NVRAM_BLOCK_BYTES - 6, 'x')},
  };
  root.start_nvram_daemon();
  const std::string restored = root.path("/var/run/nvram_daemon.restored");
  for (const auto& c : cases) {
    const std::string image = c.raw + std::string(NVRAM_BLOCK_BYTES - c.raw.size(), '\xff');
    root.poke("Config", 0, image);
    EXPECT_EQ(root.run({"nvram", "get", "0", "a"}).out, "\n") << c.name;
    EXPECT_EQ(root.run({"nvram", "set", "0", "c", "3"}).status, 1) << c.name;
    for (char f : {'f', 'g'})  // the second cannot be appended behind the first: compacted
      EXPECT_EQ(root.run({"nvram", "set", "2", "fill", std::string(9000, f)}).status, 0) << c.name;
    EXPECT_EQ(root.run({"nvram", "get", "2", "fill"}).out, std::string(9000, 'g') + "\n") << c.name;
    EXPECT_EQ(block(2).substr(2, 4), "=#1,") << c.name;
    EXPECT_TRUE(block(0) == image) << c.name;
    // A restore of the defaults drops the block's entries whatever they are: the
    // way back for a block that a cut erase left so.
    unlink(restored.c_str());
    ASSERT_EQ(root.run({"killall", "-SIGUSR2", "nvram_daemon"}).status, 0);
    for (int i = 0; i < 300 && !qvtest::file_exists(restored); ++i) usleep(10000);
    EXPECT_EQ(root.run({"nvram", "get", "0", "TZ"}).out, "GMT_-8\n") << c.name;
    root.poke("Config", 0, std::string(3 * NVRAM_BLOCK_BYTES, '\xff'));
  }
}

TEST_F(Store, OneEntryCanFillABlockExactly) {
  const std::string fill(NVRAM_ENTRY_MAX - 2, 'x');  // "k=" and the value
  struct Case {
    const char* name;
    std::string before;  // value of k first stored, or none
  } cases[] = {{"appended to an empty block", ""}, {"compacted over its old value", std::string(100, 'o')}};
  for (const auto& c : cases) {
    if (!c.before.empty()) ASSERT_EQ(nvram_set(2, "k", c.before.c_str()), 0);
    EXPECT_LT(nvram_set(2, "k", (fill + "x").c_str()), 0) << c.name;
    ASSERT_EQ(nvram_set(2, "k", fill.c_str()), 0) << c.name;
    EXPECT_EQ(nvram_get(2, "k"), fill) << c.name;
    root.poke("Config", 2 * NVRAM_BLOCK_BYTES, std::string(NVRAM_BLOCK_BYTES, '\xff'));
  }
}

TEST_F(Store, RefusedValuesLeaveTheBlockAsItWas) {
  ASSERT_EQ(nvram_set(3, "SN", "KEEP"), 0);
  ASSERT_EQ(nvram_set(3, "filler", std::string(NVRAM_BLOCK_BYTES / 2, 'f').c_str()), 0);
  const std::string before = block(3);
  struct Case {
    int index;
    const char* key;
    std::string value;
  } cases[] = {
      {3, "big", std::string(NVRAM_BLOCK_BYTES / 2, 'b')},  // no room left in the block
      {3, "SN", std::string(NVRAM_BLOCK_BYTES, 's')},       // larger than a block
      {3, "a=b", "x"},                                      // a key cannot hold '='
      {3, "", "x"},
      {7, "SN", "x"},
  };
  for (const auto& c : cases) {
    EXPECT_LT(nvram_set(c.index, c.key, c.value.c_str()), 0) << c.key;
    EXPECT_EQ(block(3), before) << c.key;
  }
  EXPECT_STREQ(nvram_get(3, "SN"), "KEEP");
}

TEST_F(Store, UnwritablePartitionIsAFailureAndKeepsTheValues) {
  ASSERT_EQ(nvram_set(3, "SN", "KEEP"), 0);
  const std::string config = root.partition("Config");
  // A read-only bind mount over the image, in a mount namespace of its own.
  auto r = root.run({"unshare", "-m", "sh", "-c",
                     "mount --bind -o ro " + config + " " + config + " && nvram set 3 SN NEW"});
  if (r.err.find("mount") != std::string::npos && r.status != 1) GTEST_SKIP() << "cannot mount here: " << r.err;
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_NE(r.err.find("SN was not stored"), std::string::npos) << r.err;
  EXPECT_STREQ(nvram_get(3, "SN"), "KEEP");
}

TEST_F(Store, SetInOneProcessIsSeenByTheNext) {
  auto set = root.run({"nvram", "set", "3", "SN", "ABC"});
  ASSERT_EQ(set.status, 0) << set.err;
  auto get = root.run({"nvram", "get", "3", "SN"});
  EXPECT_EQ(get.status, 0);
  EXPECT_EQ(get.out, "ABC\n");
  auto show = root.run({"nvram", "show", "3"});
  EXPECT_EQ(show.out, "SN=ABC\n");
}

// Sets in a child process, which opens the store afresh.
void set_in_child(const std::vector<std::pair<const char*, std::string>>& sets) {
  const pid_t pid = fork();
  if (pid == 0) {
    for (const auto& set : sets)
      if (nvram_set(0, set.first, set.second.c_str()) != 0) _exit(1);
    _exit(0);
  }
  int status = -1;
  waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST_F(Store, ReaderSeesAnotherProcessesNewerWrite) {
  const std::string big(12000, 'g'), other(5000, 'h');
  // 127 compactions bring the generation mark round again; the last leaves the
  // log a little shorter than this process's copy.
  std::vector<std::pair<const char*, std::string>> wrap;
  for (int i = 0; i < 127; ++i) wrap.push_back({"g", std::string(i % 2 ? 12000 : 11990, 'a' + i % 2)});
  struct Case {
    const char* name;
    std::vector<std::pair<const char*, std::string>> here;   // sets of this process, which keeps the block
    std::vector<std::pair<const char*, std::string>> there;  // then sets of another process
    std::pair<const char*, std::string> after;               // then a set of this process
  } cases[] = {
      {"append", {{"TZ", "GMT_1"}}, {{"TZ", "GMT_2"}}, {"x", "1"}},
      // the compacted log ends before this process's copy did: only the generation mark tells
      {"compaction to a shorter log", {{"g", big}, {"g", ""}}, {{"h", other}}, {"x", "2"}},
      {"generation mark wrapped", {{"h", ""}, {"g", big}}, wrap, {"x", "3"}},
  };
  for (const auto& c : cases) {
    for (const auto& set : c.here) ASSERT_EQ(nvram_set(0, set.first, set.second.c_str()), 0) << c.name;
    nvram_get(0, c.there.back().first);
    set_in_child(c.there);
    EXPECT_EQ(nvram_get(0, c.there.back().first), c.there.back().second) << c.name;
    ASSERT_EQ(nvram_set(0, c.after.first, c.after.second.c_str()), 0) << c.name;
    EXPECT_EQ(root.run({"nvram", "get", "0", c.after.first}).out, c.after.second + "\n") << c.name;
  }
}

// The copy a compaction leaves past the store's erase blocks when a cut stops
// it: complete mark, head ("QVJ1", erased range, bytes of each block, FNV-1a
// sum), then the blocks' bytes.
std::string compaction_copy(const std::string& store) {
  std::string head = "QVJ1", data;
  auto put = [&head](uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) head += static_cast<char>(v >> (8 * i));
  };
  put(0, 4);
  put(65536, 4);
  for (int i = 0; i < NVRAM_BLOCK_COUNT; ++i) {
    const std::string block = store.substr(static_cast<size_t>(i) * NVRAM_BLOCK_BYTES, NVRAM_BLOCK_BYTES);
    const size_t last = block.find_last_not_of('\xff');
    const size_t used = last == std::string::npos ? 0 : last + 1;
    put(static_cast<uint32_t>(used), 2);
    data += block.substr(0, used);
  }
  uint32_t sum = 2166136261u;
  for (unsigned char b : head + data) sum = (sum ^ b) * 16777619u;
  put(sum, 4);
  return std::string(1, '\0') + head + data;
}

// A process that opened the store before another's compaction was cut reads
// the blocks from its complete copy, and a writer programs them back from it
// first. A copy marked complete whose sum fails is erased once, by the next
// writer, and never read.
TEST(StoreCopy, ProcessesThatOpenedEarlierReadAndRepairFromAPendingCopy) {
  struct Case {
    const char* name;
    bool writes;      // the process that opened earlier sets b=2; else it only reads
    bool broken;      // the copy's last byte is changed
    const char* a;    // what a=1 reads then
  } cases[] = {
      {"a writer", true, false, "1"},
      {"a reader", false, false, "1"},
      {"a writer, the copy broken", true, true, ""},
  };
  for (const auto& c : cases) {
    DeviceRoot root({"--config-size", "131072"});
    setenv("QV_DEVICE_ROOT", root.dir().c_str(), 1);
    ASSERT_EQ(nvram_set(0, "a", "1"), 0) << c.name;  // this process has the store open and block 0 in memory
    ASSERT_STREQ(nvram_get(0, "a"), "1") << c.name;
    // Another writer's compaction stopped by a cut in its erase: the copy is complete.
    std::string copy = compaction_copy(root.peek("Config", 0, 65536));
    if (c.broken) copy.back() = static_cast<char>(copy.back() ^ 0x01);
    root.poke("Config", 65536, copy);
    root.poke("Config", 0, std::string(65536, '\xff'));
    EXPECT_STREQ(nvram_get(0, "a"), c.a) << c.name;
    if (c.writes) ASSERT_EQ(nvram_set(0, "b", "2"), 0) << c.name;
    EXPECT_EQ(root.run({"nvram", "get", "0", "a"}).out, std::string(c.a) + "\n") << c.name;
    EXPECT_EQ(root.run({"nvram", "get", "0", "b"}).out, c.writes ? "2\n" : "\n") << c.name;
    // Once a writer has come along (the nvram command opens the store writable), no
    // copy is left to read again.
    EXPECT_EQ(root.peek("Config", 65536, 65536), std::string(65536, '\xff')) << c.name;
    unsetenv("QV_DEVICE_ROOT");
  }
}

// The daemon starts before qvdata, which reads the partition raw: it repairs
// the store before its pid file appears.
TEST(StoreCopy, DaemonRepairsFromAPendingCopyBeforeItRuns) {
  DeviceRoot root({"--config-size", "131072", "--boot-version", "1.0.2", "--product", "QV AP 300"});
  const std::string store = root.peek("Config", 0, 65536);
  root.poke("Config", 65536, compaction_copy(store));
  root.poke("Config", 0, std::string(65536, '\xff'));
  root.start_nvram_daemon();
  EXPECT_EQ(root.peek("Config", 0, 65536), store);
}

TEST_F(Store, NvramCommandRejectsBadUsage) {
  for (std::vector<std::string> argv : {std::vector<std::string>{"nvram"},
                                        {"nvram", "get", "9", "SN"},
                                        {"nvram", "get", "x", "SN"},
                                        {"nvram", "set", "0", "k"},
                                        {"nvram", "drop", "0"}}) {
    auto r = root.run(argv);
    EXPECT_EQ(r.status, 2) << argv.size();
    EXPECT_FALSE(r.err.empty());
  }
}

// Writers of small keys, writers of long values that compact the partition
// again and again, and readers, all at once: no update is lost, and no reader
// ever sees a value that was never written (a block read in the middle of
// another process's erase).
TEST_F(Store, ConcurrentWritersLoseNoUpdate) {
  constexpr int kWriters = 20, kEach = 10, kCompacting = 2, kLong = 3000, kRewrites = 100, kReaders = 3;
  ASSERT_EQ(nvram_set(0, "stable", "S"), 0);
  ASSERT_EQ(nvram_set(3, "SN", "SN1"), 0);
  std::vector<pid_t> writers, readers;
  const auto spawn = [](std::vector<pid_t>& pids, auto fn) {
    pid_t pid = fork();
    if (pid == 0) _exit(fn());
    pids.push_back(pid);
  };
  for (int w = 0; w < kWriters; ++w)
    spawn(writers, [w] {
      for (int i = 0; i < kEach; ++i) {
        std::string key = "w" + std::to_string(w) + "_" + std::to_string(i);
        if (nvram_set(0, key.c_str(), std::to_string(w * 1000 + i).c_str()) != 0) return 1;
      }
      return 0;
    });
  for (int w = 0; w < kCompacting; ++w)
    spawn(writers, [w] {  // block 0 fills after a few of these: each few sets compact it
      for (int i = 0; i < kRewrites; ++i)
        if (nvram_set(w == 0 ? 0 : 2, "long", std::string(kLong, static_cast<char>('a' + i % 26)).c_str()) != 0) return 1;
      return 0;
    });
  for (int r = 0; r < kReaders; ++r)
    spawn(readers, [] {
      for (int i = 0; i < 3000; ++i) {
        if (std::string(nvram_get(0, "stable")) != "S" || std::string(nvram_get(3, "SN")) != "SN1") return 1;
        const std::string v = nvram_get(0, "long");
        if (!v.empty() && v != std::string(kLong, v[0])) return 1;
      }
      return 0;
    });
  for (auto* pids : {&writers, &readers})
    for (pid_t pid : *pids) {
      int status = 0;
      waitpid(pid, &status, 0);
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << (pids == &readers ? "a reader" : "a writer");
    }
  for (int w = 0; w < kWriters; ++w)
    for (int i = 0; i < kEach; ++i) {
      std::string key = "w" + std::to_string(w) + "_" + std::to_string(i);
      EXPECT_EQ(std::string(nvram_get(0, key.c_str())), std::to_string(w * 1000 + i)) << key;
    }
  const std::string last(kLong, static_cast<char>('a' + (kRewrites - 1) % 26));
  EXPECT_EQ(nvram_get(0, "long"), last);
  EXPECT_EQ(nvram_get(2, "long"), last);
}

TEST_F(Store, DaemonRestoresDefaultsAndKeepsTheSerialNumber) {
  ASSERT_EQ(nvram_set(0, "TZ", "GMT_5"), 0);
  ASSERT_EQ(nvram_set(0, "custom", "yes"), 0);
  ASSERT_EQ(nvram_set(3, "SN", "SN-0001"), 0);
  root.start_nvram_daemon();
  auto r = root.run({"killall", "-SIGUSR2", "nvram_daemon"});
  ASSERT_EQ(r.status, 0) << r.err;
  for (int i = 0; i < 300 && !qvtest::file_exists(root.path("/var/run/nvram_daemon.restored")); ++i) usleep(10000);
  EXPECT_STREQ(nvram_get(0, "TZ"), "GMT_-8");
  EXPECT_STREQ(nvram_get(0, "custom"), "");
  EXPECT_STREQ(nvram_get(3, "SN"), "SN-0001");
}

// A cut while the defaults are appended: every cut point reads either all the
// old settings or all the defaults.
TEST_F(Store, RestoreOfTheDefaultsIsAllOrNothing) {
  ASSERT_EQ(nvram_set(0, "TZ", "GMT_5"), 0);
  ASSERT_EQ(nvram_set(0, "custom", "yes"), 0);
  const std::string before = block(0), old_show = root.run({"nvram", "show", "0"}).out;
  root.start_nvram_daemon();
  ASSERT_EQ(root.run({"killall", "-SIGUSR2", "nvram_daemon"}).status, 0);
  for (int i = 0; i < 300 && !qvtest::file_exists(root.path("/var/run/nvram_daemon.restored")); ++i) usleep(10000);
  const std::string after = block(0), new_show = root.run({"nvram", "show", "0"}).out;
  ASSERT_NE(old_show, new_show);
  size_t start = 0;
  while (start < after.size() && before[start] == after[start]) ++start;
  const size_t end = after.find_last_not_of('\xff') + 1;
  ASSERT_LT(start, end);
  const size_t stride = (end - start) / 40 + 1;
  for (size_t cut = start; cut < end; cut += stride) {
    root.poke("Config", 0, after.substr(0, cut) + std::string(after.size() - cut, '\xff'));
    const std::string show = root.run({"nvram", "show", "0"}).out;
    EXPECT_TRUE(show == old_show || show == new_show) << "cut at " << cut;
  }
}

// The first value of key in the raw image, read the way the factory data
// publisher reads it.
std::string raw_first(const std::string& image, const std::string& key) {
  const size_t at = image.find(key + "=");
  return at == std::string::npos ? "(none)" : std::string(image.c_str() + at + key.size() + 1);
}

TEST(StoreReset, KeepsTheFactoryEntriesAndRefusesWithoutDefaults) {
  struct Case {
    const char* name;
    bool defaults;
    bool full;           // block 0 has no room for the defaults: the reset compacts
    const char* tz;      // TZ after the reset
    const char* output;  // nvram_daemon's line
  } cases[] = {
      {"defaults restored", true, false, "GMT_-8", "nvram_daemon: defaults of block 0 restored\n"},
      {"defaults restored by compaction", true, true, "GMT_-8", "nvram_daemon: defaults of block 0 restored\n"},
      {"no defaults file", false, false, "GMT_5",
       "nvram_daemon: defaults of block 0 not restored, settings kept: DIR/etc/nvram_default: No such file or "
       "directory\n"},
  };
  for (const auto& c : cases) {
    DeviceRoot root({"--boot-version", "1.0.2", "--product", "QV AP 300"});
    ASSERT_EQ(root.run({"nvram", "set", "0", "TZ", "GMT_5"}).status, 0);
    ASSERT_EQ(root.run({"nvram", "set", "3", "SN", "SN-0001"}).status, 0);
    if (c.full) ASSERT_EQ(root.run({"nvram", "set", "0", "fill", std::string(NVRAM_ENTRY_MAX - 100, 'f')}).status, 0);
    if (!c.defaults) unlink(root.path("/etc/nvram_default").c_str());
    // The daemon's output, once it has answered the signal; SIGTERM waits for the reset to finish.
    auto r = root.run({"sh", "-c",
                       "nvram_daemon > $QV_DEVICE_ROOT/tmp/out & d=$!; "
                       "while [ ! -f $QV_DEVICE_ROOT/var/run/nvram_daemon.pid ]; do sleep 0.01; done; "
                       "killall -SIGUSR2 nvram_daemon; "
                       "while [ ! -s $QV_DEVICE_ROOT/tmp/out ]; do sleep 0.01; done; kill $d; wait $d; "
                       "cat $QV_DEVICE_ROOT/tmp/out"},
                      {{}, "", 10000});
    std::string expect = c.output;
    const size_t dir = expect.find("DIR");
    if (dir != std::string::npos) expect.replace(dir, 3, root.dir());
    EXPECT_EQ(r.out, expect) << c.name;
    EXPECT_EQ(qvtest::file_exists(root.path("/var/run/nvram_daemon.restored")), c.defaults) << c.name;
    EXPECT_EQ(root.run({"nvram", "get", "0", "TZ"}).out, std::string(c.tz) + "\n") << c.name;
    EXPECT_EQ(root.run({"nvram", "get", "3", "SN"}).out, "SN-0001\n") << c.name;
    const std::string image = root.peek("Config", 0, 65536);
    EXPECT_EQ(raw_first(image, "qvbootver"), "1.0.2") << c.name;
    EXPECT_EQ(raw_first(image, "qvsig"), "QV AP 300") << c.name;
  }
}

// What the factory data publisher reads raw (the first "qvbootver=" and "qvsig="
// of the image) comes from the factory alone: nothing written through the store
// outside the factory block may look like them, and the entries of a Config of
// the older layout, in block 0, survive a restore of the defaults and the
// compaction after it.
TEST(StoreFactoryEntries, NoSetChangesWhatARawReaderTakes) {
  struct Case {
    const char* name;
    std::string legacy;  // raw entries in block 0, of the older layout
    const char* bootver;
    const char* product;
  } cases[] = {
      {"factory block", "", "1.0.2", "QV AP 300"},
      {"older layout", std::string("qvbootver=0.9\0qvsig=Old AP\0", 27), "0.9", "Old AP"},
  };
  for (const auto& c : cases) {
    DeviceRoot root({"--boot-version", "1.0.2", "--product", "QV AP 300"});
    setenv("QV_DEVICE_ROOT", root.dir().c_str(), 1);
    if (!c.legacy.empty()) root.poke("Config", 0, c.legacy);
    struct Set {
      int index;
      const char* key;
      const char* value;
    } refused[] = {{0, "wlan_ssid", "qvsig=Evil"}, {0, "myqvsig", "Evil"}, {0, "qvbootver", "6.6"},
                   {0, "qvsig", "Evil"},           {2, "qvsig", "Evil"},   {3, "SN", "x qvbootver=6.6"}};
    for (const auto& set : refused) EXPECT_LT(nvram_set(set.index, set.key, set.value), 0) << set.key << c.name;
    EXPECT_EQ(nvram_set(0, "wlan_ssid", "qvsig"), 0);  // no '=' behind it
    auto raw = [&root]() { return root.peek("Config", 0, 65536); };
    EXPECT_EQ(raw_first(raw(), "qvbootver"), c.bootver) << c.name;
    EXPECT_EQ(raw_first(raw(), "qvsig"), c.product) << c.name;
    // A restore of the defaults, then a compaction of block 0.
    root.start_nvram_daemon();
    ASSERT_EQ(root.run({"killall", "-SIGUSR2", "nvram_daemon"}).status, 0);
    for (int i = 0; i < 300 && !qvtest::file_exists(root.path("/var/run/nvram_daemon.restored")); ++i) usleep(10000);
    EXPECT_EQ(raw_first(raw(), "qvsig"), c.product) << c.name;
    for (char f : {'f', 'g'})  // the second cannot be appended behind the first
      ASSERT_EQ(nvram_set(0, "fill", std::string(9000, f).c_str()), 0) << c.name;
    EXPECT_EQ(raw_first(raw(), "qvbootver"), c.bootver) << c.name;
    EXPECT_EQ(raw_first(raw(), "qvsig"), c.product) << c.name;
    unsetenv("QV_DEVICE_ROOT");
  }
}

TEST_F(Store, MtdOpenFindsPartitionsByExactName) {
  for (const char* name : {"Config", "Factory", "Kernel", "Bootloader"}) {
    int fd = mtd_open(name, 0);
    EXPECT_GE(fd, 0) << name;
    if (fd >= 0) close(fd);
  }
  for (const char* name : {"factory", "\"Factory\"", "Fact", "", "Factory2"}) EXPECT_LT(mtd_open(name, 0), 0) << name;
  unsetenv("QV_DEVICE_ROOT");
  setenv("QV_DEVICE_ROOT", "/nonexistent", 1);
  EXPECT_LT(mtd_open("Factory", 0), 0);
}

TEST_F(Store, FlashWriteChangesOnlyItsRange) {
  const std::string before = root.peek("Factory", 0, 65536);
  struct Case {
    int offset;
    std::string bytes;
  } cases[] = {{0x28, "\x00\x11\x22\x33\x44\x55"}, {1, "A"}, {65535, "Z"}, {4093, std::string(9000, 'q')}, {0, ""}};
  std::string expect = before;
  for (const auto& c : cases) {
    int rc = flash_write("Factory", reinterpret_cast<const unsigned char*>(c.bytes.data()), c.offset,
                         static_cast<int>(c.bytes.size()));
    EXPECT_EQ(rc, static_cast<int>(c.bytes.size())) << c.offset;
    expect.replace(static_cast<size_t>(c.offset), c.bytes.size(), c.bytes);
    EXPECT_EQ(root.peek("Factory", 0, 65536), expect) << c.offset;
  }
  const unsigned char b[2] = {1, 2};
  EXPECT_LT(flash_write("Factory", b, 65535, 2), 0);  // would run past the end
  EXPECT_LT(flash_write("Factory", b, -1, 1), 0);
  EXPECT_LT(flash_write("Nowhere", b, 0, 1), 0);
  EXPECT_EQ(root.peek("Factory", 0, 65536), expect);
  EXPECT_EQ(root.peek("Factory", 65536, 10), "");  // the image did not grow
}

TEST(StandIns, EachCallIsLoggedAndActsOnlyOnTheDeviceRoot) {
  DeviceRoot root;
  qvtest::write_file(root.path("/tmp/image"), std::string(100000, 'K'));
  EXPECT_EQ(root.run({"reboot"}).status, 0);
  EXPECT_EQ(root.run({"wlan.sh"}).status, 0);
  EXPECT_EQ(root.run({"rt2860apd"}).status, 0);
  auto k = root.run({"sh", "-c", "killall rt2860apd 1>/dev/null 2>&1"});
  EXPECT_EQ(k.status, 1);
  EXPECT_EQ(k.out + k.err, "");
  EXPECT_EQ(root.run({"mtd_write", "write", "/tmp/image", "Kernel"}).status, 0);
  EXPECT_NE(root.run({"mtd_write", "write", "/tmp/image", "Factory"}).status, 0);  // does not fit
  EXPECT_EQ(root.peek("Kernel", 0, 100001), std::string(100000, 'K') + "\xff");
  EXPECT_EQ(root.peek("Factory", 0, 1), "\xff");
  EXPECT_EQ(root.platform_log(),
            (std::vector<std::string>{"reboot", "wlan.sh", "rt2860apd", "killall rt2860apd",
                                      "mtd_write write /tmp/image Kernel", "mtd_write write /tmp/image Factory"}));
  auto outside = qvtest::run({qvtest::bin_dir() + "/reboot"}, {{"QV_DEVICE_ROOT="}});
  EXPECT_EQ(outside.status, 1);
  EXPECT_NE(outside.err.find("QV_DEVICE_ROOT is not set"), std::string::npos);
}

TEST(DeviceRootLayout, ListsThePartitionsErased) {
  DeviceRoot root({"--kernel-size", "8388608"});
  EXPECT_EQ(root.read("/proc/mtd"),
            "dev:    size   erasesize  name\n"
            "mtd0: 00030000 00010000 \"Bootloader\"\n"
            "mtd1: 00010000 00010000 \"Config\"\n"
            "mtd2: 00010000 00010000 \"Factory\"\n"
            "mtd3: 00800000 00010000 \"Kernel\"\n");
  EXPECT_EQ(root.peek("Factory", 0, 70000), std::string(65536, '\xff'));
  for (const char* d : {"/etc", "/tmp", "/var/run", "/var/log"}) EXPECT_TRUE(qvtest::file_exists(root.path(d))) << d;
}

// A Config that the platform's earlier store wrote: every entry raw as
// key=value\0 from its block's start, without record header or opening record,
// the rest of the block padded with 0xFF or, on some devices, 0x00. An entry of
// that store could fill its block. Everything such a partition holds must read
// back, and outlive the first writes, a restore of the defaults and the
// compactions of block 0 that later writes bring.
TEST(StoreOldFormat, EveryEntryIsReadAndKeptAcrossWrites) {
  struct Entry {
    int block;
    std::string key, value;
  };
  std::string high("\x7f");  // DEL, then every byte from 0x80 to 0xFE
  for (int b = 0x80; b <= 0xfe; ++b) high += static_cast<char>(b);
  const std::string cafe = "Caf\xc3\xa9 \xe2\x98\x95";
  const Entry bootver{1, "qvbootver", "1.0.2"}, product{1, "qvsig", "QV AP 300"};
  const Entry set_tz{0, "TZ", "GMT_8"}, set_sn{3, "SN", "NEW123"};  // the production line's serial write
  struct Row {
    const char* name;
    bool tool_factory;           // block 1 written by the present store's nvram command, not raw
    char pad;                    // after the entries of each block the row writes
    std::vector<Entry> entries;  // raw, in their order on the flash; the later of a key wins
    Entry first;                 // the first write through the store
    bool restore;                // then a restore of the defaults of block 0
  } rows[] = {
      {"a tab in a value", false, '\xff',
       {bootver, product, {0, "SSID1", "Office\tAP"}, {0, "TZ", "GMT_-8"}, {3, "SN", "QV300A00017"}}, set_tz,
       false},
      {"a UTF-8 SSID", true, '\xff', {{0, "SSID1", cafe}, {0, "Login", "admin"}, {2, "SSID1", cafe}}, set_sn, true},
      {"DEL and bytes 0x80-0xFE", false, '\xff',
       {bootver, product, {0, "WPAPSK1", high}, {0, "Login", "admin"}, {2, "blob", high}, {2, "x", "1"}}, set_tz,
       true},
      {"blocks padded with 0x00", false, '\0',
       {bootver, product, {0, "TZ", "GMT_-8"}, {0, "Login", "admin"}, {2, "note", "n"}, {3, "SN", "QV300A00018"}},
       set_sn, false},
      {"such a value last in its block, 0xFF after it", false, '\xff',
       {bootver, product, {0, "TZ", "GMT_-8"}, {0, "SSID1", cafe + "\t" + high}, {3, "SN", "QV300A00019"},
        {3, "Comment", cafe + "\t" + high}},
       set_tz, true},
      {"such a value last in its block, 0x00 after it", false, '\0',
       {bootver, product, {0, "TZ", "GMT_-8"}, {0, "SSID1", cafe + "\t" + high}, {3, "SN", "QV300A00020"},
        {3, "Comment", cafe + "\t" + high}},
       set_sn, false},
      // 16380 bytes of text and its NUL: more than NVRAM_ENTRY_MAX.
      {"an entry that fills its block", false, '\xff',
       {bootver, product, {0, "TZ", "GMT_-8"}, {2, "big", std::string(16376, 'v')}}, set_tz, true},
      {"a key twice", false, '\xff',
       {bootver, product, {0, "WanMode", "DHCP"}, {0, "Login", "admin"}, {0, "WanMode", "PPPoE"},
        {2, "x", "old"}, {2, "y", "1"}, {2, "x", "new"}},
       set_sn, false},
      {"older layout: the factory entries in block 0", false, '\xff',
       {{0, "qvbootver", "0.9"}, {0, "qvsig", "Old AP"}, {0, "TZ", "GMT_-8"}, {3, "SN", "QV300A00021"}}, set_tz,
       true},
      {"the serial number raw in block 3, settings in block 0", true, '\xff',
       {{0, "TZ", "GMT_-8"}, {0, "Login", "admin"}, {0, "SSID1", "QV"}, {3, "SN", "QV300A00022"}}, set_sn, true},
  };

  // Values as a failure message shows them: escaped, long ones cut short.
  const auto shown = [](const std::string& s) {
    std::string out;
    for (unsigned char c : s.substr(0, 40)) {
      char hex[5];
      std::snprintf(hex, sizeof hex, "\\x%02x", c);
      out += c >= 0x20 && c < 0x7f ? std::string(1, static_cast<char>(c)) : std::string(hex);
    }
    return '"' + out + (s.size() > 40 ? "\"... (" + std::to_string(s.size()) + " bytes)" : "\"");
  };
  using Values = std::map<std::pair<int, std::string>, std::string>;
  // Each value read by the nvram command, from the flash.
  const auto check = [&shown](const DeviceRoot& root, const Values& want, const char* stage) {
    for (const auto& [at, value] : want) {
      const std::string got = root.run({"nvram", "get", std::to_string(at.first), at.second}).out;
      if (got != value + "\n")
        ADD_FAILURE() << stage << ": block " << at.first << " " << at.second << " reads " << shown(got)
                      << " instead of " << shown(value + "\n");
    }
  };
  // What qvdata publishes from the raw partition.
  const auto published = [](const DeviceRoot& root) {
    for (const char* f : {"/etc/bootromVer", "/etc/product"}) unlink(root.path(f).c_str());
    root.run({qvtest::bin_dir() + "/qvdata", "-b", root.named("/etc/bootromVer"), "-p", root.named("/etc/product")});
    return root.read("/etc/bootromVer") + root.read("/etc/product");
  };

  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    DeviceRoot root(row.tool_factory ? std::vector<std::string>{"--boot-version", "1.0.2", "--product", "QV AP 300"}
                                     : std::vector<std::string>{});
    Values want;
    if (row.tool_factory)
      for (const auto& e : {bootver, product}) want[{e.block, e.key}] = e.value;
    std::string image[NVRAM_BLOCK_COUNT];
    for (const auto& e : row.entries) {
      image[e.block] += e.key + "=" + e.value + '\0';
      want[{e.block, e.key}] = e.value;
    }
    for (int b = 0; b < NVRAM_BLOCK_COUNT; ++b)
      if (!image[b].empty()) {
        ASSERT_LE(image[b].size(), static_cast<size_t>(NVRAM_BLOCK_BYTES));
        const std::string padding(NVRAM_BLOCK_BYTES - image[b].size(), row.pad);
        root.poke("Config", b * NVRAM_BLOCK_BYTES, image[b] + padding);
      }
    const std::string factory_data = published(root);
    std::string factory_entries;  // each row holds them once, in block 1 or (older layout) block 0
    for (const char* key : {"qvbootver", "qvsig"})
      for (const auto& [at, value] : want)
        if (at.second == key) factory_entries += value + "\n";
    EXPECT_EQ(factory_data, factory_entries) << "what qvdata publishes";
    check(root, want, "as found");

    const auto first = root.run({"nvram", "set", std::to_string(row.first.block), row.first.key, row.first.value});
    EXPECT_EQ(first.status, 0) << "the first write: " << first.err;
    want[{row.first.block, row.first.key}] = row.first.value;
    check(root, want, "after the first write");

    if (row.restore) {
      root.start_nvram_daemon();
      EXPECT_EQ(root.run({"killall", "-SIGUSR2", "nvram_daemon"}).status, 0);
      const std::string restored = root.path("/var/run/nvram_daemon.restored");
      for (int i = 0; i < 300 && !qvtest::file_exists(restored); ++i) usleep(10000);
      EXPECT_TRUE(qvtest::file_exists(restored)) << "the defaults were not restored";
      // Block 0 now holds the defaults, and the factory entries of the older layout.
      for (auto it = want.begin(); it != want.end();) {
        const bool factory_entry = it->first.second == "qvbootver" || it->first.second == "qvsig";
        it = it->first.first == 0 && !factory_entry ? want.erase(it) : std::next(it);
      }
      check(root, want, "after the restore of the defaults");
    }

    // Values of 150 bytes and more: block 0 fills and is compacted several times over.
    setenv("QV_DEVICE_ROOT", root.dir().c_str(), 1);
    int refused = 0;
    std::string counter;
    for (int i = 0; i < 400; ++i) {
      counter = std::to_string(i) + std::string(150, 'c');
      if (nvram_set(0, "counter", counter.c_str()) != 0) ++refused;
    }
    unsetenv("QV_DEVICE_ROOT");
    EXPECT_EQ(refused, 0) << "writes to block 0 refused";
    want[{0, "counter"}] = counter;
    check(root, want, "after 400 writes to block 0");
    EXPECT_EQ(published(root), factory_data) << "what qvdata publishes";
  }
}

}  // namespace
