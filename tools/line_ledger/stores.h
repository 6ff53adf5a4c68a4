// The two databases behind LedgerStore, for open_ledger_store alone. Each
// opens its database and creates the tables (create_schema) before it returns;
// read only, it creates nothing and checks that the tables are there
// (check_schema).
#ifndef QV_TOOLS_LINE_LEDGER_STORES_H
#define QV_TOOLS_LINE_LEDGER_STORES_H

#include <memory>
#include <string>

#include "ledger_store.h"

namespace line_ledger {

std::unique_ptr<LedgerStore> open_sqlite_store(const std::string& path, bool read_only, std::string* error);
std::unique_ptr<LedgerStore> open_postgres_store(const std::string& uri, bool read_only, std::string* error);

// Creates the tables, brings an older ledger up to this version, and checks the
// version, in one transaction.
bool create_schema(LedgerStore& store, std::string* error);
// Checks that the database holds a ledger of a version this station reads
// (kOldestSchemaVersion to kSchemaVersion), changing nothing; *version is it.
bool check_schema(LedgerStore& store, std::string* error, int* version = nullptr);

}  // namespace line_ledger

#endif
