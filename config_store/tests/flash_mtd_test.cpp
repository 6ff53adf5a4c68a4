// flash_write on a flash device: the MTD ioctls are wrapped at link time
// (nor_model.h) so that a plain image file behaves like NOR flash: MEMGETINFO
// reports erase blocks, MEMERASE sets a block to 0xFF, and programming can only
// clear bits. A write that skipped the erase, or lost the
// bytes around its range, shows up as changed neighbours.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <utility>
#include <vector>

#include "device_root.h"
#include "nor_model.h"
#include "flash_mtd.h"
#include "nvram.h"
#include "store_record.h"

namespace {
constexpr uint32_t kEraseSize = 4096;
constexpr uint32_t kSize = 65536;
std::vector<std::pair<uint32_t, uint32_t>>& g_erases = nor::counts().erase_calls;
}  // namespace

namespace {

TEST(FlashOnMtd, ErasesWholeBlocksAndKeepsTheirOtherBytes) {
  qvtest::DeviceRoot root;
  setenv("QV_DEVICE_ROOT", root.dir().c_str(), 1);
  nor::fake_mtd(true, kSize, kEraseSize);
  std::string image(kSize, '\0');
  for (uint32_t i = 0; i < kSize; ++i) image[i] = static_cast<char>(i * 7 + 3);
  root.poke("Factory", 0, image);

  struct Case {
    int offset;
    int count;
    std::vector<std::pair<uint32_t, uint32_t>> erases;
  } cases[] = {
      {0x28, 6, {{0, kEraseSize}}},
      {0x29, 4, {}},  // the same bytes again: they clear no bit, so no erase
      {kEraseSize - 2, 4, {{0, kEraseSize}, {kEraseSize, kEraseSize}}},
      {3 * kEraseSize, static_cast<int>(kEraseSize), {{3 * kEraseSize, kEraseSize}}},
      {kSize - 1, 1, {{kSize - kEraseSize, kEraseSize}}},
      {100, 0, {}},
  };
  for (const auto& c : cases) {
    g_erases.clear();
    std::string data(static_cast<size_t>(c.count), '\x5a');
    EXPECT_EQ(flash_write("Factory", reinterpret_cast<const unsigned char*>(data.data()), c.offset, c.count), c.count);
    image.replace(static_cast<size_t>(c.offset), data.size(), data);
    EXPECT_EQ(root.peek("Factory", 0, kSize), image) << c.offset;
    EXPECT_EQ(g_erases, c.erases) << c.offset;
  }
  g_erases.clear();
  const unsigned char b[2] = {0, 0};
  EXPECT_LT(flash_write("Factory", b, kSize - 1, 2), 0);
  EXPECT_TRUE(g_erases.empty());
  unsetenv("QV_DEVICE_ROOT");
}

// An image file of the simulated device follows the same rules in this code:
// the store's tests run on such files, so a program that wrote its bytes instead
// would hide every program over bytes that are not erased.
TEST(FlashOnImageFile, ProgramsClearBitsOnlyAndErasesWholeFile) {
  struct Case {
    const char* name;
    std::string old_bytes, program, want;  // at offset 10 of a 1000-byte file
  } cases[] = {
      {"bits clear", "\xf0\x3c", "\x0f\x3f", std::string("\x00\x3c", 2)},
      {"no bit rises", "\x12", "\xff", "\x12"},
  };
  nor::fake_mtd(false);
  for (const auto& c : cases) {
    char path[] = "/tmp/qv-image-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    std::string image(1000, '\x5a');
    image.replace(10, c.old_bytes.size(), c.old_bytes);
    ASSERT_EQ(pwrite(fd, image.data(), image.size(), 0), static_cast<ssize_t>(image.size()));
    flash_dev dev;
    ASSERT_EQ(flash_probe(fd, &dev), 0);
    EXPECT_FALSE(dev.mtd);
    EXPECT_EQ(dev.erase_size, 1000u) << c.name;  // not a multiple of 64 KiB: one erase block
    ASSERT_EQ(flash_program(dev, 10, c.program.data(), static_cast<uint32_t>(c.program.size())), 0);
    std::string got(image.size(), '\0');
    ASSERT_EQ(flash_read(dev, 0, &got[0], static_cast<uint32_t>(got.size())), 0);
    EXPECT_EQ(got, image.replace(10, c.want.size(), c.want)) << c.name;
    ASSERT_EQ(flash_erase(dev, 0, 1000), 0);
    ASSERT_EQ(flash_read(dev, 0, &got[0], static_cast<uint32_t>(got.size())), 0);
    EXPECT_EQ(got, std::string(1000, '\xff')) << c.name;
    close(fd);
    unlink(path);
  }
}

}  // namespace

// The device's flash tool, compiled into this test (its main renamed) so that it
// writes on the NOR model: it reports a partition that does not hold the image
// after the write, which flash_write itself does not read back.
int mtd_write_main(int argc, char** argv);

namespace {

TEST(MtdWriteOnNor, ReadsEveryByteBack) {
  struct Case {
    const char* name;
    void (*fault)();
    int status;
    std::string err;
  } cases[] = {
      {"sound flash", [] {}, 0, ""},
      {"a program that does not take", [] { nor::lost_program_at(0x1234); }, 1, "holds 0xff at offset "},
      {"a bit that will not clear", [] { nor::stuck_bits_at(0x2345, 0x10); }, 1,
       "holds 0xff at offset 9029 where "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    qvtest::DeviceRoot root;
    setenv("QV_DEVICE_ROOT", root.dir().c_str(), 1);
    nor::fake_mtd(true, kSize, kEraseSize);
    c.fault();
    std::string image(kSize, '\0');
    for (uint32_t i = 0; i < kSize; ++i) image[i] = static_cast<char>(i == 0x2345 ? 0xef : i * 7 + 3);
    const std::string file = root.path("/tmp/image");
    qvtest::write_file(file, image);
    std::string argv0 = "mtd_write", cmd = "write", part = "Factory";
    char* argv[] = {&argv0[0], &cmd[0], const_cast<char*>(file.c_str()), &part[0], nullptr};
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    const int status = mtd_write_main(4, argv);
    const std::string out = testing::internal::GetCapturedStdout();
    const std::string err = testing::internal::GetCapturedStderr();
    nor::fake_mtd(false);
    unsetenv("QV_DEVICE_ROOT");
    EXPECT_EQ(status, c.status) << err;
    if (c.status == 0) {
      EXPECT_EQ(out, "mtd_write: wrote 65536 bytes to \"Factory\"\n");
      EXPECT_EQ(root.peek("Factory", 0, kSize), image);
    } else {
      EXPECT_EQ(out, "");
      EXPECT_NE(err.find("mtd_write: \"Factory\" " + c.err), std::string::npos) << err;
    }
  }
}

// A set in a child process whose power goes once the set's first flash step
// (a program or an erase) is done.
void set_cut_after_first_step(int index, const char* key, const char* value) {
  const pid_t pid = fork();
  if (pid == 0) {
    nor::cut_at(1, 1, 1, 0);
    nvram_set(index, key, value);
    _exit(0);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == nor::kCutExit);
}

// The store voids a torn append with two programs: the record's check byte to
// 0x00, then a NUL behind its bytes. Power cut between the two, the record has
// no NUL, and nothing of it is read; in the other order it would stand whole,
// with the check made for its longer text, which holds for the part now and then.
TEST(StoreOnNor, AVoidingCutShortLeavesNothingToRead) {
  constexpr int kBlock = 16384;
  qvtest::DeviceRoot root;
  setenv("QV_DEVICE_ROOT", root.dir().c_str(), 1);
  nor::fake_mtd(true, kSize, kSize);
  ASSERT_EQ(nvram_set(2, "a", "1"), 0);
  const std::string before = root.peek("Config", 2 * kBlock, kBlock);
  const int end = static_cast<int>(before.find_last_not_of('\xff')) + 1;
  const unsigned char mark = static_cast<unsigned char>(before[0]);
  const unsigned char part[] = "b=2";  // with its NUL
  root.poke("Config", 2 * kBlock + end,
            std::string{static_cast<char>(mark), static_cast<char>(store_record::check_of(mark, part, 4, false))} +
                "b=2");
  set_cut_after_first_step(2, "c", "3");
  EXPECT_EQ(root.run({"nvram", "get", "2", "b"}).out, "\n");
  ASSERT_EQ(nvram_set(2, "c", "3"), 0);  // the next write voids it again, still in place
  EXPECT_EQ(root.peek("Config", 2 * kBlock + 2, 3), "=#0");
  EXPECT_STREQ(nvram_get(2, "b"), "");
  EXPECT_STREQ(nvram_get(2, "c"), "3");
  nor::fake_mtd(false);
  unsetenv("QV_DEVICE_ROOT");
}

// Before a plain block (raw entries of the platform's earlier store) is first
// erased, its seal goes at its end; the power goes right after that first step.
// A seal that a cut left short is first given whole; entries that reach the
// seal's place leave no room for one, and the block is erased unsealed. Either
// way the block reads afterwards as the store left it, and the next write works.
TEST(StoreOnNor, APlainBlockIsSealedWholeBeforeItsFirstErase) {
  constexpr int kBlock = 16384;
  const std::string entries = "TZ=GMT_-8" + std::string(1, '\0') + "wlan_essid=Office" + std::string(1, '\0');
  // The seal of these entries, as the store writes it.
  std::string seal(store_record::kPlainSealMax, '\0');
  {
    std::string b = entries + std::string(kBlock - entries.size(), '\xff');
    const auto* bytes = reinterpret_cast<const unsigned char*>(b.data());
    const int n = store_record::plain_seal(bytes, kBlock, store_record::plain_walk(bytes, kBlock),
                                           reinterpret_cast<unsigned char*>(&seal[0]));
    ASSERT_GT(n, 0);
    seal.resize(static_cast<size_t>(n));
  }
  // Entries that end where a seal of a five-digit length would begin.
  const std::string filler = "banner=" +
                             std::string(kBlock - store_record::kPlainSealMax - entries.size() - 8, 'x') +
                             std::string(1, '\0');
  struct Case {
    const char* name;
    std::string block0;
    bool sealed;  // after the first step
  } cases[] = {
      {"a seal cut short", entries + std::string(kBlock - entries.size() - seal.size(), '\xff') + seal.substr(0, 5),
       true},
      {"entries up to the seal's place", filler + entries, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    qvtest::DeviceRoot root;
    setenv("QV_DEVICE_ROOT", root.dir().c_str(), 1);
    root.poke("Config", 0, c.block0 + std::string(kBlock - c.block0.size(), '\xff'));
    nor::fake_mtd(true, kSize, kSize);
    set_cut_after_first_step(0, "banner", "short");
    const std::string after = root.peek("Config", 0, kBlock);
    const auto* bytes = reinterpret_cast<const unsigned char*>(after.data());
    EXPECT_EQ(store_record::plain_walk(bytes, kBlock).sealed, c.sealed);
    if (c.sealed) EXPECT_EQ(root.run({"nvram", "get", "0", "wlan_essid"}).out, "Office\n");
    EXPECT_EQ(root.run({"nvram", "set", "0", "TZ", "GMT_2"}).status, 0);
    EXPECT_EQ(root.run({"nvram", "get", "0", "TZ"}).out, "GMT_2\n");
    nor::fake_mtd(false);
    unsetenv("QV_DEVICE_ROOT");
  }
}

}  // namespace
