// The store's look-up of a partition in the kernel's MTD table.
#ifndef QV_CONFIG_STORE_MTD_TABLE_H
#define QV_CONFIG_STORE_MTD_TABLE_H

#include <cstddef>

#include "mtd_parse.h"

// libnvram: finds the partition whose name, without its quotes, is name, and
// writes the resolved path of its character device ("/dev/mtdN") into dev (size
// bytes). Returns the device number, or -1 when the table cannot be read or
// does not list the partition.
int mtd_find_device(const char* name, char* dev, std::size_t size);

#endif
