// apd_launcher on a simulated device: the commands it runs, seen in the order
// the platform stand-ins log them.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "device_root.h"
#include "nvram.h"

namespace {

using Settings = std::vector<std::pair<std::string, std::string>>;
using Log = std::vector<std::string>;

void store(const qvtest::DeviceRoot& root, const Settings& settings) {
  setenv("QV_DEVICE_ROOT", root.dir().c_str(), 1);
  for (const auto& [key, value] : settings) ASSERT_GE(nvram_set(0, key.c_str(), value.c_str()), 0) << key;
}

const std::string kStopCommand = "killall rt2860apd 1>/dev/null 2>&1";
const Log kStopOnly = {"killall rt2860apd"};
const Log kRestart = {"killall rt2860apd", "wlan.sh", "killall rt2860apd", "rt2860apd"};

Settings wlan(const std::string& mode, const std::string& key_type) {
  return {{"wlan_security_mode", mode}, {"wlan_wpaKey_type", key_type}};
}

TEST(ApdLauncher, DecisionTable) {
  struct Case {
    const char* name;
    Settings settings;
    Log log;
  } const cases[] = {
      {"WPA with RADIUS", wlan("WPA", "radius"), kRestart},
      {"WPA2 with RADIUS", wlan("WPA2", "radius"), kRestart},
      {"WPAMIX with RADIUS", wlan("WPAMIX", "radius"), kRestart},
      {"WPA2 with a pre-shared key", wlan("WPA2", "psk"), kStopOnly},
      {"WPA2 with RADIUS in upper case", wlan("WPA2", "RADIUS"), kStopOnly},
      {"WPA2 with RADIUS and a blank", wlan("WPA2", "radius "), kStopOnly},
      {"WPA2 with an empty key type", wlan("WPA2", ""), kStopOnly},
      {"WPA2 without a key type", {{"wlan_security_mode", "WPA2"}}, kStopOnly},
      {"mode in lower case", wlan("wpa2", "radius"), kStopOnly},
      {"mode beginning with WPA", wlan("WPA2PSK", "radius"), kStopOnly},
      {"mode WPA3", wlan("WPA3", "radius"), kStopOnly},
      {"mode WPAMIXED", wlan("WPAMIX2", "radius"), kStopOnly},
      {"mode shorter than WPA", wlan("WP", "radius"), kStopOnly},
      {"mode with a trailing blank", wlan("WPA2 ", "radius"), kStopOnly},
      {"mode with a leading blank", wlan(" WPA", "radius"), kStopOnly},
      {"no security", wlan("None", "radius"), kStopOnly},
      {"WEP", wlan("WEP", "radius"), kStopOnly},
      {"empty mode", wlan("", "radius"), kStopOnly},
      {"empty store", {}, kStopOnly},
      {"only the other networks use RADIUS",
       {{"wlan_security_mode", "None"}, {"wlan_e2_security_mode", "WPA2"}, {"wlan_e2_wpaKey_type", "radius"},
        {"wlan_e3_security_mode", "WPA"}, {"wlan_e3_wpaKey_type", "radius"}},
       kStopOnly},
      {"other networks do not lend their key type",
       {{"wlan_security_mode", "WPA2"}, {"wlan_wpaKey_type", "psk"}, {"wlan_e2_wpaKey_type", "radius"}}, kStopOnly},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    qvtest::DeviceRoot root;
    store(root, c.settings);
    qvtest::RunOptions opts;
    const std::string commands = root.path("/var/log/system");
    // The shim is a host library: a device build's program is seen by its
    // stand-ins only.
    const bool shim = !qvtest::DeviceRoot::device_build();
    if (shim) opts.env = {std::string("LD_PRELOAD=") + APD_SYSTEM_SHIM, "APD_SYSTEM_LOG=" + commands};
    const auto r = root.run({"apd_launcher", "ignored"}, opts);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");  // killall's complaint about no running daemon is discarded
    EXPECT_EQ(root.platform_log(), c.log);
    if (!shim) continue;
    // The text that reached the shell, redirections included.
    std::string shell;
    for (const auto& line : c.log) shell += (line == "killall rt2860apd" ? kStopCommand : line) + "\n";
    EXPECT_EQ(qvtest::read_file(commands), shell);
  }
}

TEST(ApdLauncher, StopsARunningAuthenticator) {
  for (const bool radius : {false, true}) {
    SCOPED_TRACE(radius ? "restarted" : "stopped");
    qvtest::DeviceRoot root;
    store(root, wlan("WPA2", radius ? "radius" : "psk"));
    const pid_t daemon = fork();
    ASSERT_GE(daemon, 0);
    if (daemon == 0) {
      execlp("sleep", "sleep", "60", static_cast<char*>(nullptr));
      _exit(127);
    }
    root.write("/var/run/rt2860apd.pid", std::to_string(daemon) + "\n");
    const auto r = root.run({"apd_launcher"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(root.platform_log(), radius ? kRestart : kStopOnly);
    int status = 0;
    ASSERT_EQ(waitpid(daemon, &status, 0), daemon);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << "the running rt2860apd was not stopped";
  }
}

}  // namespace
