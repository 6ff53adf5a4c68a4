// mfgstation report: the line's figures from the ledger, as text and as a page.
#ifndef QV_TOOLS_MFGSTATION_REPORT_COMMAND_H
#define QV_TOOLS_MFGSTATION_REPORT_COMMAND_H

#include <string>

#include "command_line.h"

namespace mfgstation {

// The rules of report's options, for every command line: report stands alone,
// with --db and a range that parses and is not empty; --from, --to and --html
// go with report only. false with a message otherwise.
bool check_report_usage(const Options& opts, std::string* error);

// Prints the report and writes the page when asked. An SQLite ledger that does
// not exist is refused rather than created. 0, or kExitLocal when the ledger
// cannot be read or the page not written.
int report_main(const Options& opts);

}  // namespace mfgstation

#endif
