// qvdata: publishes the MAC addresses and WLAN region of the "Factory" partition,
// and the boot loader version and product name of the "Config" partition, into
// files under /etc.
#include <getopt.h>

#include <cstdio>
#include <cstring>

#include "device_path.h"
#include "qvdata.h"

namespace {

constexpr char kWlanVersion[] = "2.5.0.0";
constexpr int kExitFatal = -1;

// Longest shell word: every character of the longest path quoted as '\''.
constexpr std::size_t kWordMax = 4 * kDevicePathMax + 3;

struct publish_paths {
  char wanmac[kPathSize];
  char lanmac[kPathSize];
  char wlanmac[kPathSize];
  char product[kPathSize];
  char bootver[kPathSize];
};

// The path the caller chose, or the resolved default when none was given;
// nullptr when the default cannot be resolved (it must not name the machine's
// own file then).
const char* target_path(const char* chosen, const char* fallback, device_path_buf& buf) {
  if (chosen[0] != '\0') return chosen;
  if (device_path(buf, fallback)) return buf.text;
  std::fprintf(stderr, " * ERROR: cannot resolve %s\n", fallback);
  return nullptr;
}

// Runs "echo value > path". Both go into the command as they are when the shell
// gives them no meaning of their own, and single-quoted otherwise, so flash
// contents and paths never run as shell code.
void publish(const char* value, const char* path) {
  static char value_word[kWordMax], path_word[kWordMax];
  if (!path) return;
  if (!shell_word(value, shell_word_kind::value, value_word, sizeof value_word) ||
      !shell_word(path, shell_word_kind::path, path_word, sizeof path_word)) {
    std::fprintf(stderr, " * ERROR: cannot form the command for %s\n", path);
    return;
  }
  // A quoted command that had to be cut could end on a different file name.
  const bool quoted = std::strcmp(value, value_word) != 0 || std::strcmp(path, path_word) != 0;
  const int length = std::snprintf(nullptr, 0, "echo %s > %s", value_word, path_word);
  if (quoted && length > kCommandMax) {
    std::fprintf(stderr, " * ERROR: command for %s is longer than %d characters\n", path, kCommandMax);
    return;
  }
  run_command("echo %s > %s", value_word, path_word);
}

void publish_mac(const unsigned char* image, int offset, const char* path) {
  char text[13];
  const unsigned char* mac = image + offset;
  std::snprintf(text, sizeof text, "%02X%02X%02X%02X%02X%02X", mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]);
  publish(text, path);
}

// Reads a partition image; an empty device path (a broken table line) reads as
// a file that cannot be opened.
int load_partition(const mtd_partition& part, unsigned char* image) {
  device_path_buf dev;
  const char* path = part.dev_path;
  if (path[0] != '\0') path = device_path(dev, part.dev_path) ? dev.text : "";
  return load_file(path, image, kImageSize);
}

const option kLongOptions[] = {
    {"help", optional_argument, nullptr, 'h'},   {"wanmac", required_argument, nullptr, 'w'},
    {"lanmac", required_argument, nullptr, 'l'}, {"wlanmac", required_argument, nullptr, 'r'},
    {"product", required_argument, nullptr, 'p'}, {"bootver", required_argument, nullptr, 'b'},
    {nullptr, 0, nullptr, 0},
};

char* option_target(publish_paths& paths, int c) {
  switch (c) {
    case 'w': return paths.wanmac;
    case 'l': return paths.lanmac;
    case 'r': return paths.wlanmac;
    case 'p': return paths.product;
    case 'b': return paths.bootver;
    default: return nullptr;
  }
}

unsigned char g_config_image[kImageSize];
unsigned char g_factory_image[kImageSize];

}  // namespace

void print_usage() {
  std::fputs("option:\n"
             "\t-h             help message\n"
             "\t-w|--wanmac    file path to store WAN MAC\n"
             "\t-l|--lanmac    file path to store LAN MAC\n"
             "  -r|--wlanmac   file path to store WLAN MAC\n"
             "\t-p|--product   file path to store product name\n"
             "\t-b|--bootver   file path to store bootloader version\n",
             stderr);
}

int main(int argc, char** argv) {
  publish_paths paths;
  std::memset(&paths, 0, sizeof paths);

  for (;;) {
    const int c = getopt_long(argc, argv, "hw:l:p:b:r:", kLongOptions, nullptr);
    if (c == -1) break;
    char* target = option_target(paths, c);
    if (!target) {  // -h, --help, and whatever the parser rejected
      print_usage();
      return kExitFatal;
    }
    if (!optarg) {
      std::fprintf(stderr, " * ERROR: no argument in %c option\n", c);
      print_usage();
      return kExitFatal;
    }
    std::snprintf(target, kPathSize, "%s", optarg);
  }

  device_path_buf fallback;
  mtd_partition config, factory;
  char value[kValueSize];

  if (!find_mtd_partition("\"Config\"", &config)) return kExitFatal;
  if (load_partition(config, g_config_image)) {
    if (find_key_value(g_config_image, kImageSize, "qvbootver", value, sizeof value))
      publish(value, target_path(paths.bootver, "/etc/bootromVer", fallback));
    if (find_key_value(g_config_image, kImageSize, "qvsig", value, sizeof value))
      publish(value, target_path(paths.product, "/etc/product", fallback));
  }

  if (!find_mtd_partition("\"Factory\"", &factory)) return kExitFatal;
  if (!load_partition(factory, g_factory_image)) return 0;

  publish_mac(g_factory_image, kLanMacOffset, target_path(paths.lanmac, "/etc/mac_eth0", fallback));
  publish_mac(g_factory_image, kWanMacOffset, target_path(paths.wanmac, "/etc/mac_eth1", fallback));
  publish_mac(g_factory_image, kWlanMacOffset, target_path(paths.wlanmac, "/etc/mac_ra0", fallback));

  char region[12];
  std::snprintf(region, sizeof region, "%u", region_value(g_factory_image, kImageSize));
  publish(region, target_path("", "/etc/wlanRegion", fallback));
  publish(kWlanVersion, target_path("", "/etc/wlanVer", fallback));
  return 0;
}
