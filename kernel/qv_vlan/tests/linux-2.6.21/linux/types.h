#ifndef _LINUX_TYPES_H
#define _LINUX_TYPES_H
#define __force
#define NULL ((void *)0)
typedef unsigned char u8;
typedef unsigned short u16;
typedef unsigned int u32;
typedef unsigned short __u16;
typedef u16 __be16;
typedef u32 __wsum;
typedef unsigned int __u32;
#endif
