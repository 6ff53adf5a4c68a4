// apd_launcher: keeps the RADIUS authenticator rt2860apd in line with the
// security settings of the first wireless network. It always stops a running
// rt2860apd and starts it again only for a WPA-family mode with RADIUS keys.
#include <cstring>

#include "device_path.h"
#include "nvram.h"

namespace {

constexpr const char* kStopAuthenticator = "killall rt2860apd 1>/dev/null 2>&1";

// The modes that use the authenticator, compared exactly and case-sensitively.
constexpr const char* kRadiusModes[] = {"WPA", "WPA2", "WPAMIX"};

bool needs_authenticator_mode(const char* mode) {
  for (const char* m : kRadiusModes)
    if (std::strcmp(mode, m) == 0) return true;
  return false;
}

}  // namespace

// Brings the wireless LAN up to date and restarts the authenticator; each
// command runs to completion. Returns the status of the last one.
int rt2860apdStart() {
  device_system("wlan.sh");
  device_system(kStopAuthenticator);
  return device_system("rt2860apd");
}

int main() {
  const char* mode = nvram_bufget(NVRAM_USER_BLOCK, "wlan_security_mode");
  device_system(kStopAuthenticator);
  if (!needs_authenticator_mode(mode)) return 0;
  if (std::strcmp(nvram_bufget(NVRAM_USER_BLOCK, "wlan_wpaKey_type"), "radius") == 0) rt2860apdStart();
  return 0;
}
