// qvdata: publishes the factory data of the raw "Factory" and "Config" flash
// partitions into small files under /etc, one "echo value > file" shell command
// per file.
#ifndef QV_QVDATA_QVDATA_H
#define QV_QVDATA_QVDATA_H

#include <cstddef>
#include <cstdint>

#include "mtd_parse.h"

// Looks quoted_name ("\"Config\"", case and quotes count) up in /proc/mtd. The
// first line with that name wins. Returns rec, or nullptr when the table cannot
// be read (message printed) or does not list the name (no message).
mtd_partition* find_mtd_partition(const char* quoted_name, mtd_partition* rec);

// Reads exactly length bytes from the start of path into buf (cleared first).
// Returns 1 on success, 0 otherwise (with a message, except for bad arguments).
int load_file(const char* path, unsigned char* buf, int length);

// Formats a command (cut to 512 characters), traces it on standard error and runs
// it through the shell. Returns the shell's result.
int run_command(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Searches buf (length bytes) for key followed by '=' and copies the value (up to
// the next NUL, the end of buf, or size - 1 bytes) into value, always
// NUL-terminated. An entry behind a store record's header whose check fails is
// passed over. Returns value, or nullptr when the key does not stand in buf.
char* find_key_value(const unsigned char* buf, int length, const char* key, char* value, int size);

// A shell word for text: text itself when the shell gives it no meaning of its
// own, otherwise text in single quotes (a quote inside as '\''). Values may keep
// blanks unquoted (echo joins its words with single blanks); paths may not.
// Returns false when the word does not fit into out (size bytes).
enum class shell_word_kind { value, path };
bool shell_word(const char* text, shell_word_kind kind, char* out, std::size_t size);

// The number written to the region file for the Factory image (length bytes):
// the byte at offset 0x39 when the decimal text there reads 0 to 7, otherwise
// kRegionOutOfRange.
constexpr unsigned kRegionOffset = 0x39;
constexpr unsigned kRegionOutOfRange = 0x35;
unsigned region_value(const unsigned char* image, int length);

// Offsets of the Factory partition layout.
constexpr int kWlanMacOffset = 0x04;
constexpr int kLanMacOffset = 0x28;
constexpr int kWanMacOffset = 0x2E;

// Size of the partition images read, and of the value buffers.
constexpr int kImageSize = 65536;
constexpr int kValueSize = 32;
constexpr int kPathSize = 128;
constexpr int kCommandMax = 512;

void print_usage();

#endif
