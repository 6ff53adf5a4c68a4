// Fixed device paths ("/proc/mtd", "/dev/mtd%d", "/etc/...", "/tmp/...",
// "/dev/gpio") and the shell, seen through one seam.
//
// The device build uses every path as it stands and runs commands with system().
// Host builds resolve each path under the directory named by $QV_DEVICE_ROOT when
// it is set, so that the programs run on a simulated device; nothing else in the
// code knows about that root.
#ifndef QV_CONFIG_STORE_DEVICE_PATH_H
#define QV_CONFIG_STORE_DEVICE_PATH_H

#include <cstddef>

// Longest resolved path, NUL included.
constexpr std::size_t kDevicePathMax = 512;

// Writes the resolved form of the absolute device path into out (size bytes).
// Returns out, or nullptr when the result does not fit (out is then "").
char* device_path(char* out, std::size_t size, const char* path);

// Resolves a path into a caller-owned buffer of kDevicePathMax bytes.
struct device_path_buf {
  char text[kDevicePathMax];
};
inline const char* device_path(device_path_buf& buf, const char* path) {
  return device_path(buf.text, sizeof buf.text, path);
}

// The simulated device root, or nullptr (always nullptr in the device build).
const char* device_root();

// Runs a shell command and waits for it, as system() does. In host builds it
// refuses (-1, with a message on standard error) when no device root is set, so
// that "reboot" and its kind never reach the machine the tests run on, and puts
// the platform stand-ins first on PATH.
int device_system(const char* command);

#endif
