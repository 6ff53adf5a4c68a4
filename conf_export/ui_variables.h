// The user settings that conf_export writes, in file order: one key=value line
// per entry. wlan_essid stands twice (positions 17 and 28), once with the radio
// settings and once with network 1, so the file carries that line twice.
#ifndef QV_CONF_EXPORT_UI_VARIABLES_H
#define QV_CONF_EXPORT_UI_VARIABLES_H

#include <cstddef>

// 210 key names and the null pointer that ends the table.
constexpr std::size_t kUiVariableCount = 210;
extern const char* const ui_variables[kUiVariableCount + 1];

#endif
