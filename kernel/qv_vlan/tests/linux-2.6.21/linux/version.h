#define LINUX_VERSION_CODE 132629
#define KERNEL_VERSION(a, b, c) (((a) << 16) + ((b) << 8) + (c))
