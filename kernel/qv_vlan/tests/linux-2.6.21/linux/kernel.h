#include <linux/types.h>
#define INT_MAX ((int)(~0U >> 1))
#define INT_MIN (-INT_MAX - 1)
