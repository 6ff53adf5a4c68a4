// The store's block parser on arbitrary block images: scanning, lookups and
// compaction must stay inside the block, and a compacted block must hold exactly
// the live entries of the old one. An input whose first byte is odd is taken as
// NUL-separated key=value texts and wrapped into records with valid checks, so
// that deep blocks are reached despite the checks.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "store_log.h"

namespace {

using store_log::kBlockBytes;

unsigned char g_in[kBlockBytes];
unsigned char g_out[kBlockBytes];

void build(const uint8_t* data, size_t size) {
  std::memset(g_in, 0xFF, sizeof g_in);
  if (size == 0) return;
  if (!(data[0] & 1)) {
    std::memcpy(g_in, data + 1, size - 1 < sizeof g_in ? size - 1 : sizeof g_in);
    return;
  }
  // Texts of records: NUL-separated; a text without '=' becomes a reset record.
  static char text[kBlockBytes + 1];
  const size_t n = size - 1 < kBlockBytes ? size - 1 : kBlockBytes;
  std::memcpy(text, data + 1, n);
  text[n] = '\0';
  int at = store_log::encode_opening(g_in, kBlockBytes, 0x80, 0);
  for (size_t p = 0; p < n;) {
    char* t = text + p;
    const size_t len = std::strlen(t);
    char* eq = std::strchr(t, '=');
    store_log::Change c{t, ""};
    if (eq && eq != t) {
      *eq = '\0';
      c.value = eq + 1;
    }
    const int w = eq && eq != t ? store_log::encode(g_in + at, kBlockBytes - at, 0x80, &c, 1, -1)
                                : store_log::encode(g_in + at, kBlockBytes - at, 0x80, nullptr, 0, at / 2);
    if (w < 0) break;
    at += w;
    p += len + 1;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  build(data, size);
  const store_log::Scan s = store_log::scan(g_in);
  if (s.end < 0 || s.end > kBlockBytes || s.voided > s.end) std::abort();

  // The live entries, in stored order.
  static store_log::Entry live_entries[kBlockBytes / 3 + 1];
  struct List {
    store_log::Entry* e;
    int n;
  } list{live_entries, 0};
  const int live = store_log::for_each(g_in, s, true, [](const store_log::Entry& e, void* ctx) {
    auto* l = static_cast<List*>(ctx);
    l->e[l->n++] = e;
  }, &list);
  const int all = store_log::for_each(g_in, s, false, [](const store_log::Entry&, void*) {}, nullptr);
  if (live != list.n || live > all) std::abort();

  const int used = store_log::compact(g_in, s, false, nullptr, 0, g_out);
  if (used < 0) return 0;  // a block of plain entries can outgrow itself with headers
  const store_log::Scan c = store_log::scan(g_out);
  if (c.end != used || !c.clean || c.voided != 0) std::abort();
  // The compacted block holds the live entries, in the same order, and nothing else.
  struct Compare {
    const List* want;
    int at;
  } cmp{&list, 0};
  const int kept = store_log::for_each(g_out, c, false, [](const store_log::Entry& e, void* ctx) {
    auto* k = static_cast<Compare*>(ctx);
    if (k->at >= k->want->n) std::abort();
    const store_log::Entry& w = k->want->e[k->at++];
    if (e.key_len != w.key_len || std::memcmp(e.key, w.key, static_cast<size_t>(e.key_len)) != 0 ||
        std::strcmp(e.value, w.value) != 0)
      std::abort();
  }, &cmp);
  if (kept != live) std::abort();
  if (live > 0) {  // and a lookup finds the newest value
    const store_log::Entry& last = list.e[live - 1];
    char key[64];
    if (last.key_len < static_cast<int>(sizeof key)) {
      std::memcpy(key, last.key, static_cast<size_t>(last.key_len));
      key[last.key_len] = '\0';
      const char* v = store_log::find(g_in, s, key);
      if (!v || std::strcmp(v, last.value) != 0) std::abort();
    }
  }
  return 0;
}
