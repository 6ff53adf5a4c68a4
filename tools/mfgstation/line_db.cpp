#include "line_db.h"

#include <unistd.h>

#include <climits>
#include <cstdio>
#include <set>

#include "command_line.h"
#include "line_record.h"
#include "serial_numbers.h"

namespace mfgstation {

namespace {

bool pattern_source(const std::string& text, line_ledger::SerialSource* source, std::string* error) {
  SnPattern pattern;
  if (!pattern.parse(text, error)) return false;
  source->name = text;
  source->serial_for = [pattern](int64_t n, std::string* serial, std::string* e) {
    *serial = pattern.format(static_cast<uint64_t>(n));
    if (serial->empty() || serial->size() > kSerialMax) {
      *e = "serial number \"" + *serial + "\" for counter " + std::to_string(n) + " is longer than " +
           std::to_string(kSerialMax) + " characters";
      return false;
    }
    return true;
  };
  return true;
}

bool list_source(const std::string& path, line_ledger::SerialSource* source, std::string* error) {
  std::vector<std::string> list;
  if (!load_sn_list(path, &list, error)) return false;
  source->name = "list:" + path;
  // The counter is a place in the list; a number the ledger holds is passed
  // over, so that a list exported again with lines added above the counter
  // gives none twice.
  source->serial_for = [list, path](int64_t n, std::string* serial, std::string* e) {
    if (n > static_cast<int64_t>(list.size())) {
      *e = "not enough serial numbers: the list " + path + " holds " + std::to_string(list.size()) + " and number " +
           std::to_string(n) + " is needed";
      return false;
    }
    *serial = list[static_cast<std::size_t>(n - 1)];
    return true;
  };
  return true;
}

}  // namespace

std::unique_ptr<LineLedger> LineLedger::open(const Options& opts, std::vector<std::string>* notes,
                                             std::string* error) {
  auto l = std::make_unique<LineLedger>();
  char host[HOST_NAME_MAX + 1] = {};
  if (gethostname(host, sizeof host - 1) != 0) host[0] = '\0';
  l->host_ = host[0] ? host : "station";
  if (!opts.sn_pattern.empty() && !pattern_source(opts.sn_pattern, &l->source_, error)) return nullptr;
  if (!opts.sn_list.empty() && !list_source(opts.sn_list, &l->source_, error)) return nullptr;
  RecordFileFacts recorded;
  if (!opts.record.empty()) {
    if (!read_record_file(opts.record, &recorded, error)) return nullptr;
    std::set<std::string> on_record = std::move(recorded.serials);
    if (!on_record.empty())
      l->source_.given_before = [on_record = std::move(on_record), path = opts.record](const std::string& serial,
                                                                                      std::string* why) {
        if (!on_record.count(serial)) return false;
        *why = "on record in " + path + " before the ledger";
        return true;
      };
  }
  l->store_ = line_ledger::open_ledger_store(opts.db, error);
  if (!l->store_) return nullptr;
  l->ledger_ = std::make_unique<line_ledger::Ledger>(*l->store_);
  if (!opts.sn_state.empty() && !l->carry_state(opts.sn_state, notes, error)) return nullptr;
  if (!l->end_missed_runs(recorded.ends, opts.record, notes, error)) return nullptr;
  return l;
}

bool LineLedger::end_missed_runs(const std::vector<RecordedEnd>& ends, const std::string& path,
                                 std::vector<std::string>* notes, std::string* error) {
  for (const RecordedEnd& r : ends) {
    line_ledger::RunFacts facts;
    if (!r.serial_written.empty()) facts.serial_written = r.serial_written;
    if (r.serial_read) facts.serial_read = r.serial_read_back;
    const bool passed = r.result == "passed";
    bool ended = false;
    if (!ledger_->end_missed_run(r.ledger_run,
                                 {r.result, r.exit_status, passed ? line_ledger::Value() : line_ledger::Value(r.reason),
                                  r.ended_ms},
                                 facts, &ended, error))
      return false;
    if (ended)
      notes->push_back("run " + std::to_string(r.ledger_run) + " of " + r.device +
                       " was still running in the ledger: ended as " + path + " has it (" + r.result + ")");
  }
  return true;
}

bool LineLedger::carry_state(const std::string& path, std::vector<std::string>* notes, std::string* error) {
  SnState state;
  if (!read_sn_state(path, &state, error)) return false;
  // Carrying twice changes nothing: the counter never goes down, and a number
  // the ledger holds stays as it is.
  int64_t next = 0;
  if (!ledger_->check(source_, 0, &next, error)) return false;
  if (static_cast<int64_t>(state.next) > next) {
    if (!ledger_->set_counter(source_.name, static_cast<int64_t>(state.next), error)) return false;
    notes->push_back("the counter of " + path + " carried into the ledger: " + source_.name + " stands at " +
                     std::to_string(state.next));
  }
  const line_ledger::Holder holder{host_, "", "", 0};
  for (const UnconfirmedSn& u : state.unconfirmed) {
    bool entered = false;
    if (!ledger_->enter_void(u.serial, source_.name, holder,
                             "taken before the ledger, never confirmed (" + path + ": " + u.note + ")", &entered,
                             error))
      return false;
    if (entered)
      notes->push_back("serial number " + u.serial + " (" + u.note + "), never confirmed in " + path +
                       ", carried into the ledger as void: it is not given again");
  }
  return true;
}

void LineLedger::defer_end(int64_t run_id, const line_ledger::RunEnd& end, const line_ledger::RunFacts& facts) {
  std::lock_guard<std::mutex> lock(deferred_mutex_);
  deferred_.push_back({run_id, end, facts});
}

bool LineLedger::end_deferred(std::vector<std::string>* left) {
  std::lock_guard<std::mutex> lock(deferred_mutex_);
  std::vector<Deferred> still;
  for (const Deferred& d : deferred_) {
    std::string why;
    if (ledger_->end_run(d.run_id, d.end, d.facts, &why)) continue;
    const std::string run = "run " + std::to_string(d.run_id);
    left->push_back(run + " as running: " + run + " (" + d.end.result + "): " + why);
    still.push_back(d);
  }
  deferred_ = std::move(still);
  return deferred_.empty();
}

int set_counter_main(const Options& opts) {
  std::string error;
  std::vector<std::string> notes;
  std::unique_ptr<LineLedger> l = LineLedger::open(opts, &notes, &error);
  const bool ok = l && l->ledger().set_counter(l->source().name, static_cast<int64_t>(opts.set_counter), &error);
  for (const std::string& n : notes) std::fprintf(stderr, "mfgstation: note: %s\n", n.c_str());
  if (!ok) {
    std::fprintf(stderr, "mfgstation: --set-counter: %s\n", error.c_str());
    return kExitLocal;
  }
  std::printf("the ledger's counter of %s stands at %llu\n", (opts.sn_pattern + opts.sn_list).c_str(),
              static_cast<unsigned long long>(opts.set_counter));
  return kExitOk;
}

}  // namespace mfgstation
