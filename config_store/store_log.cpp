#include "store_log.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace store_log {

namespace {

// One record at pos: its text (NUL-terminated) and whether it has a header.
struct Record {
  const char* text;
  int len;  // without the NUL
  bool checked;
  bool voided;  // check byte 0x00: a torn append, voided in place
};
// How read_record treats a record's check byte: as good (the block's scan has
// already checked every record before its end), or checked in the block's form.
enum Verify { kTrusted, kCheck, kLegacyCheck };

using store_record::check_of;
using store_record::is_mark;
static_assert(store_record::kBlockBytes == kBlockBytes, "block size");

// Every byte 0xFF: the first is, and each equals the one before it.
bool erased(const unsigned char* p, int len) {
  return len == 0 || (p[0] == 0xFF && std::memcmp(p, p + 1, static_cast<size_t>(len - 1)) == 0);
}

// "=N" with N a decimal offset no later than pos: the reset record's void limit.
int reset_limit(const Record& r, int pos) {
  if (r.len < 2 || r.len > 6 || r.text[0] != '=') return -1;
  int n = 0;
  for (int i = 1; i < r.len; ++i) {
    if (r.text[i] < '0' || r.text[i] > '9') return -1;
    n = n * 10 + (r.text[i] - '0');
  }
  return n <= pos ? n : -1;
}

int put_record(unsigned char* out, int room, unsigned char mark, const char* key, int key_len, const char* value) {
  const int value_len = static_cast<int>(std::strlen(value));
  const int size = kHeaderBytes + key_len + 1 + value_len + 1;
  if (size > room) return -1;
  unsigned char* text = out + kHeaderBytes;
  std::memcpy(text, key, static_cast<size_t>(key_len));
  text[key_len] = '=';
  std::memcpy(text + key_len + 1, value, static_cast<size_t>(value_len) + 1);
  out[0] = mark;
  out[1] = check_of(mark, text, size - kHeaderBytes, false);
  return size;
}

bool is_opening(const Record& r) {
  store_record::Opening o;
  return store_record::opening_text(r.text, r.len, &o);
}

// Text of an entry without a header, which has no check: printable characters
// only, as the factory's tools write them. Random bytes that a cut erase leaves
// almost never pass for one.
bool plain_text(const unsigned char* p, int len) {
  for (int i = 0; i < len; ++i)
    if (p[i] < 0x20 || p[i] > 0x7E) return false;
  return true;
}

// Text of a record of the former form, whose 7-bit check a scrambled record
// passes once in 128: a reset ("=N", or the like, which reads as no entry) or
// an entry whose key is printable ASCII, as every key its writers wrote was.
bool former_text(const unsigned char* p, int len) {
  const void* eq = std::memchr(p, '=', static_cast<size_t>(len));
  return eq && plain_text(p, static_cast<int>(static_cast<const unsigned char*>(eq) - p));
}

// Whether the stop at pos of a block is its last record: up to the erased rest
// of the block no NUL but the last byte (a record cut short, or one bad record),
// after a zero byte at pos. The former form's appends never went past a stop.
bool stop_is_last(const unsigned char* block, int pos) {
  int tail = kBlockBytes;
  while (tail > pos && block[tail - 1] == 0xFF) --tail;
  const int from = block[pos] == 0x00 ? pos + 1 : pos;
  return from >= tail - 1 || !std::memchr(block + from, '\0', static_cast<size_t>(tail - 1 - from));
}

// Newest entry of each key: an open-addressed table of entry positions + 1.
// A block holds at most kBlockBytes / 3 entries ("k=\0"), so it never fills.
constexpr int kSlots = 8192;
static_assert(kSlots > kBlockBytes / 3, "index must never fill");
struct Index {
  uint16_t pos1[kSlots];
};
Index g_index;


// The key of the entry at pos, known to be good: no check again.
const char* key_at(const unsigned char* block, int pos, int* len) {
  const int at = pos + (block[pos] >= 0x80 ? kHeaderBytes : 0);
  const char* key = reinterpret_cast<const char*>(block + at);
  *len = static_cast<int>(static_cast<const char*>(std::memchr(key, '=', static_cast<size_t>(kBlockBytes - at))) - key);
  return key;
}

uint16_t& slot_of(const unsigned char* block, const char* key, int len) {
  unsigned i = sum_bytes(key, len, kSumStart) % kSlots;
  for (;;) {
    uint16_t& s = g_index.pos1[i];
    if (s == 0) return s;
    int have = 0;
    const char* k = key_at(block, s - 1, &have);
    if (have == len && std::memcmp(k, key, static_cast<size_t>(len)) == 0) return s;
    i = (i + 1) % kSlots;
  }
}

void index_newest(const unsigned char* block, const Scan& s) {
  std::memset(&g_index, 0, sizeof g_index);
  for_each(block, s, false, [](const Entry& e, void* ctx) {
    slot_of(static_cast<const unsigned char*>(ctx), e.key, e.key_len) = static_cast<uint16_t>(e.pos + 1);
  }, const_cast<unsigned char*>(block));
}

// Returns the record's end (past its NUL), 0 for an erased byte at pos, -1 for a
// stop.
int read_record(const unsigned char* block, int size, int pos, Record* r, Verify verify) {
  const unsigned char b = block[pos];
  if (b == 0xFF) return 0;
  if (b == 0x00) return -1;
  const bool checked = b >= 0x80;
  const int text_at = checked ? pos + kHeaderBytes : pos;
  if (text_at >= size) return -1;
  const void* nul = std::memchr(block + text_at, '\0', static_cast<size_t>(size - text_at));
  if (!nul) return -1;
  const int len = static_cast<int>(static_cast<const unsigned char*>(nul) - (block + text_at));
  r->voided = checked && block[pos + 1] == 0x00;  // no check byte is ever 0x00
  if (verify == kLegacyCheck && !r->voided && !(checked ? former_text : plain_text)(block + text_at, len)) return -1;
  if (!r->voided && verify != kTrusted && checked && block[pos + 1] != check_of(b, block + text_at, len + 1, verify == kLegacyCheck))
    return -1;
  r->text = reinterpret_cast<const char*>(block + text_at);
  r->len = len;
  r->checked = checked;
  return text_at + len + 1;
}

bool split_entry(const Record& r, int pos, Entry* e) {
  const char* eq = static_cast<const char*>(std::memchr(r.text, '=', static_cast<size_t>(r.len)));
  if (!eq || eq == r.text) return false;
  e->pos = pos;
  e->key = r.text;
  e->key_len = static_cast<int>(eq - r.text);
  e->value = eq + 1;
  return true;
}

}  // namespace

Scan scan(const unsigned char* block) {
  constexpr int size = kBlockBytes;
  Scan s;
  store_record::Opening o;
  const store_record::Form form = store_record::block_form(block, size, &o);
  s.opening = o.count;
  s.opened = o.at >= 0;
  if (s.opened) s.mark = block[o.at];
  switch (form) {
    case store_record::Form::damaged:  // scrambled by a cut erase: compacted away
      s.damaged = true;
      s.clean = false;
      return s;
    case store_record::Form::plain: {  // the platform's earlier store
      const store_record::Plain p = store_record::plain_walk(block, size);
      s.legacy = true;
      s.clean = p.clean;
      if (p.damaged) {  // its seal fails: a cut erase scrambled it
        s.damaged = true;
      } else if (p.complete) {
        s.end = p.end;
      } else {
        // Bytes behind the entries that no writer leaves: a cut erase scrambled
        // our own block (nothing of it then reads as an entry), or someone else's
        // data that this store does not know. Nothing is read; with entries, the
        // block is kept as it stands.
        s.unreadable = p.entries > 0;
        s.clean = false;
      }
      return s;
    }
    case store_record::Form::erased:
    case store_record::Form::former:
    case store_record::Form::present:
      break;
  }
  // Records: checked with CRC-7 in the present form, the former check otherwise.
  // Every record of a block carries its generation: a record with another mark
  // is a stop (a cut erase raises bits of marks too); a voided one is passed over
  // whatever its mark.
  const Verify verify = form == store_record::Form::former ? kLegacyCheck : kCheck;
  s.legacy = form == store_record::Form::former;
  int mark = s.opened ? block[o.at] : -1;
  int pos = 0, group = -1;  // group: where an unfinished group began
  while (pos < size) {
    Record r;
    const int next = read_record(block, size, pos, &r, verify);
    if (next <= 0 || (r.checked && !r.voided && mark >= 0 && block[pos] != mark) ||
        (verify == kLegacyCheck && r.checked && is_opening(r))) {
      s.end = pos;
      s.clean = next == 0 && erased(block + pos, size - pos);
      break;
    }
    if (r.checked && !r.voided && mark < 0) mark = block[pos];
    if (r.voided) {
    } else if (r.checked && r.len == 1 && r.text[0] == '=') {
      group = pos;
    } else if (r.checked) {
      const int limit = reset_limit(r, pos);
      if (limit >= 0) {
        s.voided = limit;
        group = -1;
      }
    }
    pos = next;
  }
  if (pos >= size) s.end = size;
  s.stop = s.end;
  // A block of the former form with a stop before its last record was not
  // written so (its appends never went past a stop): a cut erase left it, and
  // nothing of it is read.
  if (s.legacy && !s.clean && !stop_is_last(block, s.end)) {
    s.end = 0;
    s.voided = 0;
    group = -1;
  }
  // A group that never got its reset record counts as never written: nothing
  // from its opening on is read, and the block takes no more appends.
  if (group >= 0) {
    s.group = group;
    s.end = group;
    s.clean = false;
  }
  return s;
}

int void_plan(const unsigned char* block, const Scan& s, int* at) {
  if (s.clean || s.legacy || s.damaged || s.unreadable) return 0;
  static int records[kVoidMax];
  int count = 0;
  // The group's records that the scan passed...
  for (int pos = s.group; s.group >= 0 && pos < s.stop;) {
    Record r;
    const int next = read_record(block, s.stop, pos, &r, kTrusted);
    if (next <= 0 || count >= kVoidMax) return 0;
    if (r.checked) records[count++] = pos;
    pos = next;
  }
  // ...and behind the stop: whole records only inside a group (where a voiding
  // cut short leaves them), then at most one record cut short.
  int tail = kBlockBytes;  // from here on every byte is erased
  while (tail > s.stop && block[tail - 1] == 0xFF) --tail;
  int torn = -1;
  for (int pos = s.stop; pos < tail;) {
    if (!is_mark(block[pos]) || count >= kVoidMax) return 0;
    const int from = pos + kHeaderBytes;
    const void* nul = from < tail ? std::memchr(block + from, '\0', static_cast<size_t>(tail - from)) : nullptr;
    if (!nul) {
      torn = pos;
      break;
    }
    if (s.group < 0) return 0;  // a whole record that fails its check: not an append cut short
    records[count++] = pos;
    pos = static_cast<int>(static_cast<const unsigned char*>(nul) - block) + 1;
  }
  int n = 0;
  if (torn >= 0) {
    const int nul = tail > torn + kHeaderBytes ? tail : torn + kHeaderBytes;
    if (nul >= kBlockBytes) return 0;
    at[n++] = torn + 1;
    at[n++] = nul;
  }
  for (int i = count - 1; i >= 0 && n < kVoidMax; --i)  // the last first, the group's opening last
    if (block[records[i] + 1] != 0x00) at[n++] = records[i] + 1;
  return n;
}

// The longest opening record, header and NUL included, leaves room for one entry
// of NVRAM_ENTRY_MAX bytes of text.
static_assert(kHeaderBytes + sizeof "=#4294967295,16384,FFFFFFFF" + kHeaderBytes + NVRAM_ENTRY_MAX + 1 == kBlockBytes,
              "opening record and the largest entry fill a block");

int encode_opening(unsigned char* out, int room, unsigned char mark, uint32_t count, bool sealed, int len,
                   uint32_t crc) {
  char text[40];
  if (sealed)
    std::snprintf(text, sizeof text, "#%lu,%d,%08lX", static_cast<unsigned long>(count), len,
                  static_cast<unsigned long>(crc));
  else
    std::snprintf(text, sizeof text, "#%lu", static_cast<unsigned long>(count));
  return put_record(out, room, mark, "", 0, text);
}

int for_each(const unsigned char* block, const Scan& s, bool live_only, void (*fn)(const Entry& e, void* ctx),
             void* ctx) {
  if (live_only) index_newest(block, s);
  int count = 0;
  for (int pos = 0; pos < s.end;) {
    Record r;
    const int next = read_record(block, s.end, pos, &r, kTrusted);
    if (next <= 0) break;
    Entry e;
    if (pos >= s.voided && !r.voided && split_entry(r, pos, &e) &&
        (!live_only || slot_of(block, e.key, e.key_len) == pos + 1)) {
      fn(e, ctx);
      ++count;
    }
    pos = next;
  }
  return count;
}

const char* find(const unsigned char* block, const Scan& s, const char* key) {
  struct Wanted {
    const char* key;
    int len;
    const char* value;
  } w{key, static_cast<int>(std::strlen(key)), nullptr};
  for_each(block, s, false, [](const Entry& e, void* ctx) {
    auto* want = static_cast<Wanted*>(ctx);
    if (e.key_len == want->len && std::memcmp(e.key, want->key, static_cast<size_t>(e.key_len)) == 0)
      want->value = e.value;
  }, &w);
  return w.value;
}

int records_size(const Change* changes, int count) {
  int size = 0;
  for (int i = 0; i < count; ++i)
    size += kHeaderBytes + static_cast<int>(std::strlen(changes[i].key) + 1 + std::strlen(changes[i].value) + 1);
  return size;
}

int encode(unsigned char* out, int room, unsigned char mark, const Change* changes, int count, int reset_from) {
  int at = 0;
  if (reset_from >= 0) {
    // A group: its opening "=" goes first, and its records count only once the
    // reset record after them is on the flash.
    at = put_record(out, room, mark, "", 0, "");
    if (at < 0) return -1;
  }
  for (int i = 0; i < count; ++i) {
    const int n = put_record(out + at, room - at, mark, changes[i].key,
                             static_cast<int>(std::strlen(changes[i].key)), changes[i].value);
    if (n < 0) return -1;
    at += n;
  }
  if (reset_from >= 0) {
    char limit[12];
    std::snprintf(limit, sizeof limit, "%d", reset_from);
    const int n = put_record(out + at, room - at, mark, "", 0, limit);
    if (n < 0) return -1;
    at += n;
  }
  return at;
}

int compact(const unsigned char* block, const Scan& s, bool clear, const Change* changes, int count,
            unsigned char* out) {
  // The records first, into a buffer of their own; then the opening record that
  // seals them, and the records behind it.
  static unsigned char body[kBlockBytes];
  struct Build {
    unsigned char* out;
    int at;
    unsigned char mark;
    const Change* changes;
    int count;
  } b{body, 0, next_mark(s.mark), changes, count};
  if (!clear) {
    for_each(block, s, true, [](const Entry& e, void* ctx) {
      auto* bd = static_cast<Build*>(ctx);
      if (bd->at < 0) return;
      for (int i = 0; i < bd->count; ++i)
        if (std::strlen(bd->changes[i].key) == static_cast<size_t>(e.key_len) &&
            std::memcmp(bd->changes[i].key, e.key, static_cast<size_t>(e.key_len)) == 0)
          return;  // replaced by the change
      const int n = put_record(bd->out + bd->at, kBlockBytes - bd->at, bd->mark, e.key, e.key_len, e.value);
      bd->at = n < 0 ? -1 : bd->at + n;
    }, &b);
  }
  if (b.at < 0) return -1;
  const int n = encode(body + b.at, kBlockBytes - b.at, b.mark, changes, count, -1);
  if (n < 0) return -1;
  const int len = b.at + n;
  std::memset(out, 0xFF, kBlockBytes);
  const int head = encode_opening(out, kBlockBytes - len, b.mark, s.opening + 1, true, len,
                                  store_record::seal_crc(body, len));
  if (head < 0) return -1;
  std::memcpy(out + head, body, static_cast<size_t>(len));
  return head + len;
}

unsigned char next_mark(unsigned char mark) {
  return mark >= kLastMark ? kFirstMark : static_cast<unsigned char>(mark + 1);
}

bool valid_key(const char* key) { return key && *key && !std::strchr(key, '='); }

uint32_t sum_bytes(const void* p, int len, uint32_t sum) {
  const auto* b = static_cast<const unsigned char*>(p);
  for (int i = 0; i < len; ++i) sum = (sum ^ b[i]) * 16777619u;
  return sum;
}

}  // namespace store_log
