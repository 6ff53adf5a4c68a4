#include "report_command.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "ledger_store.h"
#include "line_report.h"

namespace mfgstation {

namespace {

bool parse_range(const Options& opts, line_ledger::TimeRange* range, std::string* error) {
  if (!opts.from.empty()) {
    if (!line_ledger::parse_utc_time(opts.from, false, &range->from_ms, error)) return false;
    range->from_given = true;
  }
  if (!opts.to.empty()) {
    if (!line_ledger::parse_utc_time(opts.to, true, &range->to_ms, error)) return false;
    range->to_given = true;
  }
  if (range->from_ms >= range->to_ms) {
    *error = "--from " + opts.from + " is not before --to " + opts.to;
    return false;
  }
  return true;
}

// Writes text to a new file beside path and renames it over path, so that a
// reader never sees half a page. false with a message.
bool write_whole_file(const std::string& path, const std::string& text, std::string* error) {
  std::string tmp = path + ".XXXXXX";
  int fd = mkstemp(&tmp[0]);
  if (fd < 0) {
    *error = path + ": " + std::strerror(errno);
    return false;
  }
  fchmod(fd, 0644);
  std::size_t done = 0;
  while (done < text.size()) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) break;
    done += static_cast<std::size_t>(n);
  }
  bool ok = done == text.size() && fsync(fd) == 0;
  int saved = errno;
  if (close(fd) != 0 && ok) ok = false, saved = errno;
  if (ok && rename(tmp.c_str(), path.c_str()) != 0) ok = false, saved = errno;
  if (!ok) {
    *error = path + ": " + std::strerror(saved);
    unlink(tmp.c_str());
    return false;
  }
  return true;
}

// The ledger's name for messages: a URI without its user and password.
std::string shown_name(const std::string& name) {
  if (!line_ledger::is_postgresql_name(name)) return name;
  const std::size_t start = name.find("://") + 3, at = name.find('@', start), slash = name.find('/', start);
  if (at == std::string::npos || (slash != std::string::npos && slash < at)) return name;
  return name.substr(0, start) + name.substr(at + 1);
}

}  // namespace

bool check_report_usage(const Options& opts, std::string* error) {
  const bool report = !opts.steps.empty() && opts.steps[0].op == Op::Report;
  if (!report) {
    if (opts.from.empty() && opts.to.empty() && opts.html.empty()) return true;
    *error = "--from, --to and --html go with report";
    return false;
  }
  if (opts.steps.size() > 1) {
    *error = "report runs alone";
    return false;
  }
  if (!opts.iface.empty() || opts.device || opts.all || opts.watch || !opts.record.empty() || !opts.sn_pattern.empty() ||
      !opts.sn_list.empty() || !opts.sn_state.empty() || opts.set_counter || opts.replace_sn) {
    *error = "report reads the ledger only: it takes --db, --from, --to and --html";
    return false;
  }
  if (opts.db.empty()) {
    *error = "report needs the ledger: --db FILE or --db postgresql://...";
    return false;
  }
  line_ledger::TimeRange range;
  if (!parse_range(opts, &range, error)) {
    *error = "report: " + *error;
    return false;
  }
  return true;
}

int report_main(const Options& opts) {
  std::string error;
  line_ledger::TimeRange range;
  parse_range(opts, &range, &error);  // checked by check_report_usage
  struct stat st;
  if (!line_ledger::is_postgresql_name(opts.db) && stat(opts.db.c_str(), &st) != 0) {
    std::fprintf(stderr, "mfgstation: report: %s: %s\n", opts.db.c_str(), std::strerror(errno));
    return kExitLocal;
  }
  auto store = line_ledger::open_ledger_store_read_only(opts.db, &error);
  line_ledger::Report report;
  if (!store || !line_ledger::load_report(*store, range, &report, &error)) {
    std::fprintf(stderr, "mfgstation: report: %s: %s\n", shown_name(opts.db).c_str(), error.c_str());
    return kExitLocal;
  }
  if (!opts.html.empty() && !write_whole_file(opts.html, line_ledger::report_html(report), &error)) {
    std::fprintf(stderr, "mfgstation: report: %s\n", error.c_str());
    return kExitLocal;
  }
  std::fputs(line_ledger::report_text(report).c_str(), stdout);
  if (std::fflush(stdout) != 0) {
    std::fprintf(stderr, "mfgstation: report: standard output: %s\n", std::strerror(errno));
    return kExitLocal;
  }
  return kExitOk;
}

}  // namespace mfgstation
