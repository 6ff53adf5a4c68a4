// factory_bytes: hex dump and byte-wise update of the "Factory" partition.
#ifndef QV_FACTORY_BYTES_FACTORY_BYTES_H
#define QV_FACTORY_BYTES_FACTORY_BYTES_H

#include <cstdint>
#include <cstdio>

// Longest range g shows or s writes. The Factory partition holds 64 KiB; a longer
// range counts as a buffer that cannot be had.
constexpr int32_t kMaxRange = 0x100000;

// An offset, size or byte argument: hexadecimal as strtoul reads it, saturated at
// 0xFFFFFFFF and then taken as a signed 32-bit number.
int32_t parse_hex32(const char* text);

// Writes the dump rows of size bytes that start at offset. Bytes from index valid
// on were not read from the partition and show as "--".
void print_dump(FILE* out, int32_t offset, const unsigned char* buf, int32_t size, int32_t valid);

void usage(const char* program);
int handle_get(int argc, char** argv);
int handle_set(int argc, char** argv);
int read_bytes(int32_t offset, unsigned char* buf, int32_t size);
int write_bytes(int32_t offset, const unsigned char* data, int32_t size);

#endif
