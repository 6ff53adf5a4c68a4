#include "ui_variables.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>

namespace {

std::string at(int position) { return ui_variables[position - 1]; }  // 1-based, as the file lines count

TEST(UiVariables, HoldsTwoHundredTenKeysAndTheTerminator) {
  for (std::size_t i = 0; i < kUiVariableCount; ++i) ASSERT_NE(ui_variables[i], nullptr) << "entry " << i;
  EXPECT_EQ(ui_variables[kUiVariableCount], nullptr);
}

TEST(UiVariables, KeysAtKnownPositions) {
  const std::pair<int, const char*> cases[] = {
      {1, "administratorUsername"}, {2, "administratorPassword"}, {3, "wanConnectionMode"},
      {15, "wan_mgmVlanId"},        {16, "BssidNum"},             {17, "wlan_essid"},
      {25, "wlan_preambleType"},    {26, "wlan_e1_active"},       {28, "wlan_essid"},
      {31, "wlan_security_mode"},   {33, "wlan_wpaKey_type"},     {58, "wlan_e1_wmm"},
      {61, "wlan_essid2"},          {94, "wlan_essid3"},          {127, "wlan_essid4"},
      {157, "wlan_e4_wmm"},         {158, "pingDeviceEnable"},    {169, "secureAdministratorIpEnd5"},
      {170, "NTPEnable"},           {172, "TZ"},                  {174, "daylightSavingTimeEnable"},
      {178, "daylightDayEnd"},      {179, "upgradeScheduledEnable"}, {186, "snmpWlanTrapControl"},
      {206, "snmpdStatus4"},        {207, "upftpPort"},           {209, "upftpAllowIp"},
      {210, "ledSetting"},
  };
  for (const auto& [position, key] : cases) EXPECT_EQ(at(position), key) << "position " << position;
}

TEST(UiVariables, OnlyWlanEssidStandsTwice) {
  std::map<std::string, int> seen;
  for (std::size_t i = 0; i < kUiVariableCount; ++i) ++seen[ui_variables[i]];
  EXPECT_EQ(seen.size(), 209u);
  for (const auto& [key, count] : seen) EXPECT_EQ(count, key == "wlan_essid" ? 2 : 1) << key;
}

TEST(UiVariables, KeysAreStoreKeys) {
  for (std::size_t i = 0; i < kUiVariableCount; ++i) {
    const char* key = ui_variables[i];
    EXPECT_GT(std::strlen(key), 1u) << i;
    for (const char* c = key; *c; ++c)
      EXPECT_TRUE((*c >= 'a' && *c <= 'z') || (*c >= 'A' && *c <= 'Z') || (*c >= '0' && *c <= '9') || *c == '_')
          << "position " << i + 1 << ": " << key;
  }
}

// Networks 2 to 4 are network 1 with its prefixes renamed: wlan_e1_ and wlan_
// become wlan_eN_, and wlan_essid becomes wlan_essidN.
std::string renamed(const std::string& key, int network) {
  const std::string n = std::to_string(network);
  if (key == "wlan_essid") return "wlan_essid" + n;
  if (key.rfind("wlan_e1_", 0) == 0) return "wlan_e" + n + "_" + key.substr(8);
  if (key.rfind("wlan_", 0) == 0) return "wlan_e" + n + "_" + key.substr(5);
  return "not a network key: " + key;
}

TEST(UiVariables, NetworksTwoToFourRepeatNetworkOne) {
  constexpr int kFirst = 26, kKeys = 33;
  for (int network = 2; network <= 4; ++network)
    for (int k = 0; k < kKeys; ++k)
      EXPECT_EQ(at(kFirst + (network - 1) * kKeys + k), renamed(at(kFirst + k), network))
          << "network " << network << " key " << k + 1;
}

// The keys that tz_writer and apd_launcher read are among the exported ones.
TEST(UiVariables, CarriesTheKeysOfTheOtherSettingsTools) {
  const char* read_elsewhere[] = {"TZ", "daylightSavingTimeEnable", "daylightMonthStart", "daylightDayStart",
                                  "daylightMonthEnd", "daylightDayEnd", "wlan_security_mode", "wlan_wpaKey_type"};
  for (const char* key : read_elsewhere) {
    bool found = false;
    for (std::size_t i = 0; i < kUiVariableCount; ++i) found = found || std::strcmp(ui_variables[i], key) == 0;
    EXPECT_TRUE(found) << key;
  }
}

}  // namespace
