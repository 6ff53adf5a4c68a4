// Erase and program on a flash partition: an MTD character device, or an image
// file of the simulated device that is made to behave the same way. Internal to
// libnvram; small and free of store knowledge so that a flash tool can link it.
//
// Both kinds follow NOR rules: an erase sets whole erase blocks to 0xFF, and a
// program only clears bits (the stored byte becomes old AND new), so a program
// over bytes that are not erased does not yield the new bytes. On an MTD device
// the chip does that; on an image file this code does it. An image file has
// erase blocks of kImageEraseBytes (the whole file when it is not a multiple).
// The image-file path stays in the device build: its end-to-end flows run the
// device's libnvram under qemu on the simulated device's image files.
//
// Each function returns 0, or -1 with errno set. Offsets are from the start of
// the partition; nothing is done past its end.
#ifndef QV_CONFIG_STORE_FLASH_MTD_H
#define QV_CONFIG_STORE_FLASH_MTD_H

#include <cstdint>

constexpr uint32_t kImageEraseBytes = 65536;  // as the simulated device's /proc/mtd lists it

struct flash_dev {
  int fd = -1;              // opened by the caller, read-write for erase and program
  uint32_t size = 0;        // bytes of the partition
  uint32_t erase_size = 0;  // bytes of one erase block
  bool mtd = false;         // an MTD device (MEMGETINFO answered), not an image file
};

// Fills dev for the open partition fd.
int flash_probe(int fd, flash_dev* dev);

int flash_read(const flash_dev& dev, uint32_t offset, void* buf, uint32_t count);

// Erases the erase blocks of [offset, offset + count), one at a time; both ends
// must lie on erase-block boundaries.
int flash_erase(const flash_dev& dev, uint32_t offset, uint32_t count);

// Programs count bytes at offset; they are on the flash when it returns.
int flash_program(const flash_dev& dev, uint32_t offset, const void* buf, uint32_t count);

// 1 when every byte of [offset, offset + count) is 0xFF, 0 when not, -1 on error.
int flash_is_erased(const flash_dev& dev, uint32_t offset, uint32_t count);

// Stores count bytes at any offset, keeping every other byte: where the new bytes
// of an erase block only clear bits, programs them over the old ones; otherwise
// reads, erases and programs again that erase block.
int flash_rewrite(const flash_dev& dev, uint32_t offset, const void* buf, uint32_t count);

#endif
