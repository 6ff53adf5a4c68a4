// Store operations beyond the platform library's five, for the host's own tools
// (the nvram command and nvram_daemon) and for tests. Device programs do not use
// them.
#ifndef QV_CONFIG_STORE_NVRAM_ADMIN_H
#define QV_CONFIG_STORE_NVRAM_ADMIN_H

#ifdef __cplusplus
extern "C" {
#endif

/* Bytes of the Config partition that each block occupies; block i starts at
 * i * NVRAM_BLOCK_BYTES. Entries stand there as key=value\0, one after the other,
 * up to the first byte that is 0x00 or 0xFF where an entry would begin. */
enum { NVRAM_BLOCK_BYTES = 16384 };

/* Calls fn for every entry of block index, in stored order. Returns the number
 * of entries, or -1 when the block cannot be read. */
int nvram_foreach(int index, void (*fn)(const char* key, const char* value, void* ctx), void* ctx);

/* Replaces the whole of block index with the key=value lines of the text file at
 * path (blank lines and lines starting with '#' are skipped; a missing file
 * empties the block). One write, under the store's lock. 0 or -1. */
int nvram_load_block(int index, const char* path);

#ifdef __cplusplus
}
#endif

#endif
