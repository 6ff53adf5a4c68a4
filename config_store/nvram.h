// The configuration store and flash operations of the platform library libnvram.
//
// Block 0 holds the user settings, block 1 the factory entries "qvbootver" and
// "qvsig" (written once by the factory; a restore of the defaults leaves them),
// block 3 the serial number "SN". Values are text; an absent key reads as "".
// Only nvram_set, mtd_open and flash_write report failure, by a negative result.
#ifndef QV_CONFIG_STORE_NVRAM_H
#define QV_CONFIG_STORE_NVRAM_H

#ifdef __cplusplus
extern "C" {
#endif

enum {
  NVRAM_USER_BLOCK = 0,    /* user settings */
  NVRAM_FACTORY_BLOCK = 1, /* "qvbootver" and "qvsig", as the factory wrote them */
  NVRAM_SERIAL_BLOCK = 3,  /* the device's serial number, "SN" */
  NVRAM_BLOCK_COUNT = 4
};

/* The value of key in block index; never null. Valid at least until the next
 * store call: use it at once. */
const char* nvram_get(int index, const char* key);

/* The value of key in block index; never null. Stays valid and unchanged until
 * the program ends, across any later store call. */
const char* nvram_bufget(int index, const char* key);

/* Stores value under key in block index. Negative: not stored, and the block is
 * as it was; zero: the value is on flash. */
int nvram_set(int index, const char* key, const char* value);

/* Opens the character device of the flash partition called name (as /proc/mtd
 * lists it, without quotes), positioned at byte 0. Negative on failure. */
int mtd_open(const char* name, int flags);

/* Writes count bytes of buf at offset of partition name; every other byte of the
 * partition stays as it was. Negative on failure. */
int flash_write(const char* name, const unsigned char* buf, int offset, int count);

#ifdef __cplusplus
}
#endif

#endif
