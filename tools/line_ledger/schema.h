// The ledger's tables, the same on SQLite and PostgreSQL. Times are UTC
// milliseconds since 1970; text columns hold the station's own words ("passed",
// "no reply", ...).
#ifndef QV_TOOLS_LINE_LEDGER_SCHEMA_H
#define QV_TOOLS_LINE_LEDGER_SCHEMA_H

namespace line_ledger {

// Version 2 keeps the image of each flash step (its size and CRC-32), so that
// the line can tell a device that passed with the image it flashes now.
inline constexpr int kSchemaVersion = 2;
// The oldest version the station still reads as it is (the report) and brings
// up to kSchemaVersion when it opens the ledger to write.
inline constexpr int kOldestSchemaVersion = 1;

// One statement per entry, run in order inside one transaction when a ledger is
// opened; every one of them is harmless when the table is already there.
inline constexpr const char* kSchema[] = {
    "CREATE TABLE IF NOT EXISTS ledger_meta ("
    " key TEXT PRIMARY KEY,"
    " value TEXT NOT NULL)",

    // Where numbers come from: a pattern's counter or a list's position. One
    // row per source; taking a number advances next_value in the same
    // transaction that inserts the number into serials.
    "CREATE TABLE IF NOT EXISTS serial_sources ("
    " name TEXT PRIMARY KEY,"          // the pattern ("QV2026-%06d") or "list:" and the list's path
    " next_value BIGINT NOT NULL)",

    // Every number ever handed out, once: the primary key makes a second device
    // with the same number impossible, on one station or many.
    "CREATE TABLE IF NOT EXISTS serials ("
    " serial TEXT PRIMARY KEY,"
    " source TEXT NOT NULL,"
    " state TEXT NOT NULL CHECK (state IN ('taken', 'sent', 'confirmed', 'recorded', 'void')),"
    " void_reason TEXT,"               // set exactly when state is 'void'
    " run_id BIGINT,"                  // the device run that holds it
    " station TEXT NOT NULL,"          // host name of the station computer
    " interface TEXT NOT NULL,"
    " device TEXT,"                    // the device's MAC address
    " taken_ms BIGINT NOT NULL,"
    " changed_ms BIGINT NOT NULL)",

    // One row per device run, written when it begins and updated as each step
    // ends; result 'running' until it ends.
    "CREATE TABLE IF NOT EXISTS runs ("
    " id BIGINT PRIMARY KEY,"          // from ledger_meta 'next_run_id', never reused
    " started_ms BIGINT NOT NULL,"
    " ended_ms BIGINT,"
    " station TEXT NOT NULL,"
    " interface TEXT NOT NULL,"
    " station_mac TEXT NOT NULL,"
    " device TEXT NOT NULL,"
    " serial_written TEXT,"
    " serial_read TEXT,"
    " image TEXT,"
    " image_size BIGINT,"
    " image_crc32 TEXT,"               // 8 lowercase hex digits
    " result TEXT NOT NULL CHECK (result IN ('running', 'passed', 'failed', 'interrupted')),"
    " exit_status INTEGER,"
    " reason TEXT)",                   // the failure kind, NULL when passed

    "CREATE TABLE IF NOT EXISTS steps ("
    " run_id BIGINT NOT NULL,"
    " seq INTEGER NOT NULL,"
    " step TEXT NOT NULL,"             // as on the command line: "connect", "flash", ...
    " status TEXT NOT NULL,"           // "ok", "failed", "not run", "interrupted", "unverified"
    " duration_ms BIGINT NOT NULL,"
    " image_size BIGINT,"              // a flash step's image; NULL for the other steps
    " image_crc32 TEXT,"               // 8 lowercase hex digits
    " PRIMARY KEY (run_id, seq))",

    "CREATE INDEX IF NOT EXISTS runs_by_time ON runs (started_ms)",
};

// What brings an older ledger up to this version: each statement belongs to the
// version it leads to, and runs, in order, in the transaction that creates the
// tables when the ledger is older than that.
struct Upgrade {
  int to_version;
  const char* statement;
};
inline constexpr Upgrade kUpgrades[] = {
    {2, "ALTER TABLE steps ADD COLUMN image_size BIGINT"},
    {2, "ALTER TABLE steps ADD COLUMN image_crc32 TEXT"},
};

}  // namespace line_ledger

#endif
