// The store and flash operations on a simulated device, called in this process
// and through the nvram command in others.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
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
  ASSERT_EQ(nvram_set(1, "qvbootver", "1.0.5"), 0);  // raw readers take the first copy: it must be the new one
  ASSERT_EQ(nvram_set(3, "SN", "S1"), 0);
  const std::string first64k = root.peek("Config", 0, 65536);
  EXPECT_NE(first64k.find(std::string("qvbootver=1.0.5\0", 16)), std::string::npos);
  EXPECT_NE(first64k.find(std::string("qvsig=QV AP 300\0", 16)), std::string::npos);
  EXPECT_EQ(first64k.find(std::string("qvbootver=1.0.4")), std::string::npos);
  EXPECT_NE(block(3).find(std::string("SN=S1\0", 6)), std::string::npos);
  // The records' headers: the generation (1, after the compaction for the new
  // qvbootver), the check over mark, text and NUL.
  EXPECT_EQ(block(3).substr(0, 14), present_record(0x81, "=#1") + present_record(0x81, "SN=S1"));
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
      {"zero byte", std::string("a=1\0\0b=2\0", 9)},
      // In a block of the present form, which takes appends: no append goes
      // behind a tail that is not erased.
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
  EXPECT_EQ(block(2).substr(2, 4), std::string("=#1\0", 4));
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
  root.poke("Config", 2 * NVRAM_BLOCK_BYTES, std::string(NVRAM_BLOCK_BYTES, '\xff'));
  // The product's record with a raised bit in its mark and one in its value,
  // and raised bits of its check byte where that makes the check hold.
  const size_t rec = 2 + std::strlen(good.c_str() + 2) + 1;
  const size_t nul = good.find('\0', rec + 2);
  std::string other_mark;
  for (int mb = 0; mb < 7 && other_mark.empty(); ++mb)
    for (size_t at = good.find('=', rec + 2) + 1; at < nul && other_mark.empty(); ++at)
      for (int bit = 0; bit < 7 && other_mark.empty(); ++bit) {
        std::string r = good.substr(rec, nul + 1 - rec);
        if ((r[0] & (1 << mb)) || (r[at - rec] & (1 << bit))) continue;
        r[0] = static_cast<char>(r[0] | (1 << mb));
        r[at - rec] = static_cast<char>(r[at - rec] | (1 << bit));
        const unsigned char check = present_check(r.substr(0, 1) + r.substr(2));
        if ((check & static_cast<unsigned char>(r[1])) != static_cast<unsigned char>(r[1])) continue;
        r[1] = static_cast<char>(check);
        other_mark = good.substr(0, rec) + r;
      }
  ASSERT_FALSE(other_mark.empty());
  struct Case {
    const char* name;
    std::string image;  // of block 2
    const char* key;
  } cases[] = {
      {"another generation's mark", other_mark, "product"},
      // Random bytes where a block was (an erase that programs zeros first, cut
      // while its bits rise): text without a header must be printable.
      {"unprintable text without a header", std::string("pr\x01oduct=\x11\x93\0\x04\x80", 13), "pr\x01oduct"},
      // A block whose opening record a cut erase scrambled is read in the former
      // form; a record that holds the former check there, with others behind a
      // stop, is what is left of the present form, not a block of the former one.
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
// process that had the block in memory sees the write behind it.
TEST_F(Store, TornAppendIsVoidedInPlace) {
  const char* kA = "a value that ends past the block's first 16 bytes";
  struct Case {
    const char* name;
    std::string torn;       // after the mark
    const char* opening;    // of block 2 after the next write
  } cases[] = {
      {"mark only", "", "=#0"},
      {"half a record", "\x95" "b=2", "=#0"},
      {"torn check byte", "\xff" "b=", "=#0"},
      {"a NUL inside: compacted", std::string("\x95" "b\0x", 4), "=#1"},
  };
  for (const auto& c : cases) {
    root.poke("Config", 2 * NVRAM_BLOCK_BYTES, std::string(NVRAM_BLOCK_BYTES, '\xff'));
    ASSERT_EQ(nvram_set(2, "a", kA), 0) << c.name;
    const std::string before = block(2);
    const size_t end = before.find_last_not_of('\xff') + 1;
    root.poke("Config", 2 * NVRAM_BLOCK_BYTES + static_cast<int>(end), before.substr(0, 1) + c.torn);
    EXPECT_STREQ(nvram_get(2, "a"), kA) << c.name;  // this process keeps the block, with its stop
    auto r = root.run({"nvram", "set", "2", "c", "3"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(block(2).substr(2, 3), c.opening) << c.name;
    EXPECT_STREQ(nvram_get(2, "c"), "3") << c.name;
    EXPECT_STREQ(nvram_get(2, "b"), "") << c.name;
    EXPECT_EQ(root.run({"nvram", "get", "2", "a"}).out, std::string(kA) + "\n") << c.name;
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

TEST(StoreCopy, AWriterThatOpenedEarlierFirstRepairsFromAPendingCopy) {
  DeviceRoot root({"--config-size", "131072"});
  setenv("QV_DEVICE_ROOT", root.dir().c_str(), 1);
  ASSERT_EQ(nvram_set(0, "a", "1"), 0);  // this process has the store open and block 0 in memory
  ASSERT_STREQ(nvram_get(0, "a"), "1");
  // Another writer's compaction stopped by a cut in its erase: the copy is complete.
  root.poke("Config", 65536, compaction_copy(root.peek("Config", 0, 65536)));
  root.poke("Config", 0, std::string(65536, '\xff'));
  ASSERT_EQ(nvram_set(0, "b", "2"), 0);
  EXPECT_EQ(root.run({"nvram", "get", "0", "a"}).out, "1\n");
  EXPECT_EQ(root.run({"nvram", "get", "0", "b"}).out, "2\n");
  EXPECT_STREQ(nvram_get(0, "b"), "2");
  unsetenv("QV_DEVICE_ROOT");
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

}  // namespace
