#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "factory_bytes.h"

namespace {

std::string dump(int32_t offset, const std::string& bytes, int32_t valid) {
  FILE* f = std::tmpfile();
  print_dump(f, offset, reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int32_t>(bytes.size()),
             valid);
  std::string out(static_cast<size_t>(std::ftell(f)), '\0');
  std::rewind(f);
  EXPECT_EQ(std::fread(&out[0], 1, out.size(), f), out.size());
  std::fclose(f);
  return out;
}

std::string bytes_from(int first, int count) {
  std::string s;
  for (int i = 0; i < count; ++i) s += static_cast<char>(first + i);
  return s;
}

TEST(PrintDump, Rows) {
  const struct {
    int32_t offset;
    std::string bytes;
    int32_t valid;
    std::string text;
  } cases[] = {
      {0x2a, bytes_from(1, 8), 8, "0002 -- -- -- -- -- -- -- -- -- -- 01 02 03 04 05 06\n0003 07 08 \n"},
      {0, bytes_from(0, 16), 16, "0000 00 01 02 03 04 05 06 07 08 09 0a 0b 0c 0d 0e 0f\n\n"},
      {0x28, std::string("\x00\x11\x22\xaa\xbb\xcc", 6), 6, "0002 -- -- -- -- -- -- -- -- 00 11 22 aa bb cc \n"},
      {0x100, "\xff", 1, "0010 ff \n"},
      {0x0f, "\xab\xcd", 2, "0000 -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- ab\n0001 cd \n"},
      // Bytes past what was read show as "--".
      {0xfffe, "\x01\x02\x03\x04", 2, "0fff -- -- -- -- -- -- -- -- -- -- -- -- -- -- 01 02\n1000 -- -- \n"},
      {0x7ffffff0, "\x01", 0, "7ffffff -- \n"},
      {0, "", 0, "\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.offset);
    EXPECT_EQ(dump(c.offset, c.bytes, c.valid), c.text);
  }
}

TEST(ParseHex32, ArgumentForms) {
  const struct {
    const char* text;
    int32_t value;
  } cases[] = {
      {"0xAB", 171}, {"ab", 171},          {"AB", 171},      {"0XaB", 171},        {"", 0},
      {"zz", 0},     {"1fg", 0x1f},        {"28", 0x28},     {"7fffffff", 0x7fffffff},
      {"80000000", -0x7fffffff - 1},       {"ffffffff", -1}, {"100000000", -1},  {"-1", -1},
      // Negative numbers wrap at 32 bits as on the device, in every build.
      {"-2", -2},    {"-0x10", -16},       {" -ff", -255},   {"-7fffffff", -0x7fffffff},
      {"-80000000", -0x7fffffff - 1},      {"-ffffffff", 1}, {"-100000000", -1}, {"-", 0},
      {"- 1", 0},    {"-0", 0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(parse_hex32(c.text), c.value) << c.text;
    // Where unsigned long is 32 bits wide (the device), strtoul itself agrees.
    if (sizeof(unsigned long) == 4)
      EXPECT_EQ(parse_hex32(c.text), static_cast<int32_t>(std::strtoul(c.text, nullptr, 16))) << c.text;
  }
}

}  // namespace
