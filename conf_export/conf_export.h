// conf_export: writes the user settings of block 0 to a settings file.
#ifndef QV_CONF_EXPORT_CONF_EXPORT_H
#define QV_CONF_EXPORT_CONF_EXPORT_H

// The two header lines of the settings file; the loader on the device expects
// them before the key=value lines.
constexpr const char kConfigHeader[] = "#The following line must not be removed.\nDefault\n";

// Writes the header and one "key=value" line per entry of ui_variables to path,
// created or truncated, then flushes it to storage and closes it. Returns 0, or
// -1 with errno set when the file cannot be opened, a write fails (a full file
// system among them), or flushing or closing fails. Prints nothing; on failure
// the caller removes the partial file.
int create_config_file(const char* path);

// The whole export to path through path.part and a rename; prints progress and
// failures on standard output. Returns the exit status: 0, or 255 when the
// export failed and any earlier file at path was left as it was.
int export_settings(const char* path);

#endif
