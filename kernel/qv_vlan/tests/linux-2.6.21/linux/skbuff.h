#ifndef _LINUX_SKBUFF_H
#define _LINUX_SKBUFF_H
#include <linux/types.h>
#define CHECKSUM_NONE 0
#define CHECKSUM_PARTIAL 1
#define CHECKSUM_UNNECESSARY 2
#define CHECKSUM_COMPLETE 3
struct net_device;
struct sk_buff {
	struct sk_buff *next, *prev;
	struct net_device *dev;
	union { unsigned char *raw; } h;
	union { unsigned char *raw; } nh;
	union { unsigned char *raw; } mac;
	unsigned int len, data_len, mac_len;
	__wsum csum;
	u8 local_df:1, cloned:1, ip_summed:2, nohdr:1, nfctinfo:3;
	u8 pkt_type:3, fclone:2, ipvs_property:1;
	__be16 protocol;
	unsigned char *head, *data, *tail, *end;
};
#endif
