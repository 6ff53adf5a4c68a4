// Values taken from the partition images, and their form in a shell command.
#include <cstring>

#include "qvdata.h"
#include "store_record.h"

char* find_key_value(const unsigned char* buf, int length, const char* key, char* value, int size) {
  if (!buf || !key || length <= 0 || !value || size <= 0) return nullptr;
  const int k = static_cast<int>(std::strlen(key));
  if (k == 0) return nullptr;
  std::memset(value, 0, static_cast<std::size_t>(size));
  for (int i = 0; i < length - k; ++i) {
    if (buf[i + k] != '=' || std::memcmp(buf + i, key, static_cast<std::size_t>(k)) != 0) continue;
    // Only an entry that the store itself would read: behind a record header
    // that holds, or a plain entry in a block that its writer could have left
    // (not one that a cut erase scrambled).
    if (!store_record::entry_holds(buf, length, i)) continue;
    // The value ends at its NUL, at the end of the image, or where the buffer
    // keeps room for the terminating NUL: a longer value is cut to size - 1.
    int from = i + k + 1;
    int n = 0;
    while (from + n < length && buf[from + n] != '\0' && n < size - 1) {
      value[n] = static_cast<char>(buf[from + n]);
      ++n;
    }
    return value;
  }
  return nullptr;
}

namespace {

bool plain_char(unsigned char c, shell_word_kind kind) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
  if (c == ' ') return kind == shell_word_kind::value;
  return c != '\0' && std::strchr("_-.,/:+@%=", c) != nullptr;
}

}  // namespace

bool shell_word(const char* text, shell_word_kind kind, char* out, std::size_t size) {
  if (!text || !out || size == 0) return false;
  bool plain = kind == shell_word_kind::value || *text;  // an empty path still needs ''
  for (const char* p = text; *p && plain; ++p) plain = plain_char(static_cast<unsigned char>(*p), kind);

  std::size_t at = 0;
  auto put = [&](const char* s) {
    const std::size_t n = std::strlen(s);
    if (at + n >= size) return false;
    std::memcpy(out + at, s, n);
    at += n;
    return true;
  };
  bool ok = true;
  if (plain) {
    ok = put(text);
  } else {
    ok = put("'");
    for (const char* p = text; *p && ok; ++p) {
      const char one[2] = {*p, '\0'};
      ok = *p == '\'' ? put("'\\''") : put(one);
    }
    ok = ok && put("'");
  }
  out[ok ? at : 0] = '\0';
  return ok;
}

unsigned region_value(const unsigned char* image, int length) {
  if (!image || length <= static_cast<int>(kRegionOffset)) return kRegionOutOfRange;
  // Decimal text the way atoi reads it, but never past the end of the image.
  int at = static_cast<int>(kRegionOffset);
  while (at < length && (image[at] == ' ' || (image[at] >= '\t' && image[at] <= '\r'))) ++at;
  bool negative = false;
  if (at < length && (image[at] == '+' || image[at] == '-')) negative = image[at++] == '-';
  long long number = 0;
  while (at < length && image[at] >= '0' && image[at] <= '9' && number <= 7) number = number * 10 + (image[at++] - '0');
  if (negative) number = -number;
  return number >= 0 && number <= 7 ? image[kRegionOffset] : kRegionOutOfRange;
}
