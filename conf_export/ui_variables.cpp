#include "ui_variables.h"

// Networks 2 to 4 repeat the 33 keys of network 1 in the same order, with the
// prefix wlan_eN_ and wlan_essidN.
const char* const ui_variables[] = {
    // 1-2: administrator account
    "administratorUsername", "administratorPassword",
    // 3-15: WAN
    "wanConnectionMode", "wan_ipaddr", "wan_netmask",
    "wan_gateway", "wan_primary_dns", "wan_secondary_dns",
    "staticWanMtu", "dhcpWanMtu", "enc_addr",
    "wan_vlanEnable", "wan_vlanId", "wan_mgmVlanIdEnable",
    "wan_mgmVlanId",
    // 16-25: radio
    "BssidNum", "wlan_essid", "wlan_channel",
    "wlan_wirelessMode", "wlan_htbw", "wlan_txPower",
    "wlan_beaconPeriod", "wlan_rtsThreshold", "wlan_fragmentationThreshold",
    "wlan_preambleType",
    // 26-58: network 1
    "wlan_e1_active", "wlan_e1_vlanId", "wlan_essid",
    "wlan_e1_hidessid", "wlan_e1_noforwarding", "wlan_security_mode",
    "wlan_rekey_interval", "wlan_wpaKey_type", "wlan_preshared_key",
    "wlan_radius_server", "wlan_radius_port", "wlan_radius_key",
    "wlan_wepEncryption_type", "wlan_wepKey_type", "wlan_wepKey_select",
    "wlan_wepKey1_64hex", "wlan_wepKey1_128hex", "wlan_wepKey1_64ascii",
    "wlan_wepKey1_128ascii", "wlan_wepKey2_64hex", "wlan_wepKey2_128hex",
    "wlan_wepKey2_64ascii", "wlan_wepKey2_128ascii", "wlan_wepKey3_64hex",
    "wlan_wepKey3_128hex", "wlan_wepKey3_64ascii", "wlan_wepKey3_128ascii",
    "wlan_wepKey4_64hex", "wlan_wepKey4_128hex", "wlan_wepKey4_64ascii",
    "wlan_wepKey4_128ascii", "wlan_wepAuth_type", "wlan_e1_wmm",
    // 59-91: network 2
    "wlan_e2_active", "wlan_e2_vlanId", "wlan_essid2",
    "wlan_e2_hidessid", "wlan_e2_noforwarding", "wlan_e2_security_mode",
    "wlan_e2_rekey_interval", "wlan_e2_wpaKey_type", "wlan_e2_preshared_key",
    "wlan_e2_radius_server", "wlan_e2_radius_port", "wlan_e2_radius_key",
    "wlan_e2_wepEncryption_type", "wlan_e2_wepKey_type", "wlan_e2_wepKey_select",
    "wlan_e2_wepKey1_64hex", "wlan_e2_wepKey1_128hex", "wlan_e2_wepKey1_64ascii",
    "wlan_e2_wepKey1_128ascii", "wlan_e2_wepKey2_64hex", "wlan_e2_wepKey2_128hex",
    "wlan_e2_wepKey2_64ascii", "wlan_e2_wepKey2_128ascii", "wlan_e2_wepKey3_64hex",
    "wlan_e2_wepKey3_128hex", "wlan_e2_wepKey3_64ascii", "wlan_e2_wepKey3_128ascii",
    "wlan_e2_wepKey4_64hex", "wlan_e2_wepKey4_128hex", "wlan_e2_wepKey4_64ascii",
    "wlan_e2_wepKey4_128ascii", "wlan_e2_wepAuth_type", "wlan_e2_wmm",
    // 92-124: network 3
    "wlan_e3_active", "wlan_e3_vlanId", "wlan_essid3",
    "wlan_e3_hidessid", "wlan_e3_noforwarding", "wlan_e3_security_mode",
    "wlan_e3_rekey_interval", "wlan_e3_wpaKey_type", "wlan_e3_preshared_key",
    "wlan_e3_radius_server", "wlan_e3_radius_port", "wlan_e3_radius_key",
    "wlan_e3_wepEncryption_type", "wlan_e3_wepKey_type", "wlan_e3_wepKey_select",
    "wlan_e3_wepKey1_64hex", "wlan_e3_wepKey1_128hex", "wlan_e3_wepKey1_64ascii",
    "wlan_e3_wepKey1_128ascii", "wlan_e3_wepKey2_64hex", "wlan_e3_wepKey2_128hex",
    "wlan_e3_wepKey2_64ascii", "wlan_e3_wepKey2_128ascii", "wlan_e3_wepKey3_64hex",
    "wlan_e3_wepKey3_128hex", "wlan_e3_wepKey3_64ascii", "wlan_e3_wepKey3_128ascii",
    "wlan_e3_wepKey4_64hex", "wlan_e3_wepKey4_128hex", "wlan_e3_wepKey4_64ascii",
    "wlan_e3_wepKey4_128ascii", "wlan_e3_wepAuth_type", "wlan_e3_wmm",
    // 125-157: network 4
    "wlan_e4_active", "wlan_e4_vlanId", "wlan_essid4",
    "wlan_e4_hidessid", "wlan_e4_noforwarding", "wlan_e4_security_mode",
    "wlan_e4_rekey_interval", "wlan_e4_wpaKey_type", "wlan_e4_preshared_key",
    "wlan_e4_radius_server", "wlan_e4_radius_port", "wlan_e4_radius_key",
    "wlan_e4_wepEncryption_type", "wlan_e4_wepKey_type", "wlan_e4_wepKey_select",
    "wlan_e4_wepKey1_64hex", "wlan_e4_wepKey1_128hex", "wlan_e4_wepKey1_64ascii",
    "wlan_e4_wepKey1_128ascii", "wlan_e4_wepKey2_64hex", "wlan_e4_wepKey2_128hex",
    "wlan_e4_wepKey2_64ascii", "wlan_e4_wepKey2_128ascii", "wlan_e4_wepKey3_64hex",
    "wlan_e4_wepKey3_128hex", "wlan_e4_wepKey3_64ascii", "wlan_e4_wepKey3_128ascii",
    "wlan_e4_wepKey4_64hex", "wlan_e4_wepKey4_128hex", "wlan_e4_wepKey4_64ascii",
    "wlan_e4_wepKey4_128ascii", "wlan_e4_wepAuth_type", "wlan_e4_wmm",
    // 158-169: management access
    "pingDeviceEnable", "secureAdministratorEnable", "secureAdministratorIpStart1",
    "secureAdministratorIpStart2", "secureAdministratorIpStart3", "secureAdministratorIpStart4",
    "secureAdministratorIpStart5", "secureAdministratorIpEnd1", "secureAdministratorIpEnd2",
    "secureAdministratorIpEnd3", "secureAdministratorIpEnd4", "secureAdministratorIpEnd5",
    // 170-178: time
    "NTPEnable", "NTPServerIP", "TZ",
    "NTPSync", "daylightSavingTimeEnable", "daylightMonthStart",
    "daylightDayStart", "daylightMonthEnd", "daylightDayEnd",
    // 179-185: scheduled upgrade
    "upgradeScheduledEnable", "upgradeScheduledServerFile", "upgradeScheduledServerAddr",
    "upgradeScheduledFrequencyMode", "upgradeScheduledFrequencyDay", "upgradeScheduledFrequencyHour",
    "upgradeScheduledFrequencyMin",
    // 186-206: SNMP
    "snmpWlanTrapControl", "snmpdEnable", "snmpdPort",
    "snmpdTrapPort", "TrapInterval", "snmpdCommunityName1",
    "snmpdNmsAddress1", "snmpdPrivileges1", "snmpdStatus1",
    "snmpdCommunityName2", "snmpdNmsAddress2", "snmpdPrivileges2",
    "snmpdStatus2", "snmpdCommunityName3", "snmpdNmsAddress3",
    "snmpdPrivileges3", "snmpdStatus3", "snmpdCommunityName4",
    "snmpdNmsAddress4", "snmpdPrivileges4", "snmpdStatus4",
    // 207-209: upftp
    "upftpPort", "upftpAllowIpMode", "upftpAllowIp",
    // 210-210: LED
    "ledSetting",
    nullptr,
};

static_assert(sizeof ui_variables / sizeof ui_variables[0] == kUiVariableCount + 1,
              "210 keys and the terminating null pointer");
