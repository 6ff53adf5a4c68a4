#include <linux/types.h>
extern __wsum csum_partial(const void *buff, int len, __wsum sum);
#define htons(x) ((__be16)((((x) & 0xff) << 8) | (((x) >> 8) & 0xff)))
