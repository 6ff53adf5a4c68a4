// Store operations beyond the platform library's five, for the host's own tools
// (the nvram command and nvram_daemon) and for tests. Device programs do not use
// them.
#ifndef QV_CONFIG_STORE_NVRAM_ADMIN_H
#define QV_CONFIG_STORE_NVRAM_ADMIN_H

#ifdef __cplusplus
extern "C" {
#endif

/* Bytes of the Config partition that each block occupies; block i starts at
 * i * NVRAM_BLOCK_BYTES. Each entry stands there as key=value\0 behind a
 * two-byte record header (store_log.h); a block holds its opening record (at
 * most 30 bytes) and one entry of at most NVRAM_ENTRY_MAX bytes of key=value
 * text. */
enum { NVRAM_BLOCK_BYTES = 16384, NVRAM_ENTRY_MAX = NVRAM_BLOCK_BYTES - 3 - 30 };

/* Opens the store now, as its first use would: a compaction that a power cut
 * stopped is completed from its copy. 0 or -1. */
int nvram_open(void);

/* Calls fn for the current value of every key of block index, in the order in
 * which they were last written. Returns the number of keys, or -1 when the block
 * cannot be read. */
int nvram_foreach(int index, void (*fn)(const char* key, const char* value, void* ctx), void* ctx);

/* Replaces the whole of block index with the key=value lines of the text file at
 * path (blank lines and lines starting with '#' are skipped). A file that cannot
 * be opened is refused and leaves the block as it is (errno tells why). One
 * write, under the store's lock. 0 or -1. */
int nvram_load_block(int index, const char* path);

#ifdef __cplusplus
}
#endif

#endif
