// Any image and key: the value found is terminated, shorter than its buffer,
// and is what follows the first "key=" in the image.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "qvdata.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  // The first byte chooses the key's length, taken from the input's end.
  const size_t key_len = data[0] % 8;
  if (size < 1 + key_len) return 0;
  std::vector<char> key(data + size - key_len, data + size);
  key.push_back('\0');
  const size_t image_len = size - 1 - key_len;
  std::vector<unsigned char> image(data + 1, data + 1 + image_len);  // exact size: overruns are caught
  char value[kValueSize];
  const char* got = find_key_value(image.data(), static_cast<int>(image.size()), key.data(), value, sizeof value);
  if (!got) return 0;
  const size_t len = strnlen(value, sizeof value);
  if (len >= sizeof value) std::abort();
  const size_t k = std::strlen(key.data());
  const void* at = memmem(image.data(), image.size(), key.data(), k);
  if (!at || k == 0) std::abort();
  return 0;
}
