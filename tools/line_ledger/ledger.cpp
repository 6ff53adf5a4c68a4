#include "ledger.h"

#include <sys/time.h>

#include <cstdio>
#include <cstdlib>
#include <set>

namespace line_ledger {

namespace {

// Numbers that another source already gave, passed over in one take; more
// than this in a row means the sources overlap wholesale.
constexpr int kPassOverMax = 1000;

std::string text(int64_t v) { return std::to_string(v); }

Value id_value(int64_t id) { return id ? Value(text(id)) : Value(); }

bool integer(const Value& v, int64_t* out) {
  if (!v || v->empty()) return false;
  char* end = nullptr;
  const long long n = std::strtoll(v->c_str(), &end, 10);
  if (*end) return false;
  *out = n;
  return true;
}

Value crc_text(const std::optional<uint32_t>& crc) {
  if (!crc) return {};
  char buf[9];
  std::snprintf(buf, sizeof buf, "%08x", *crc);
  return std::string(buf);
}

Value size_text(const std::optional<uint64_t>& size) {
  if (!size) return {};
  return std::to_string(*size);
}

// Inserts serial as void unless the ledger has it: *entered says whether it did.
bool insert_void(LedgerStore& store, const std::string& serial, const std::string& source, const std::string& reason,
                 const Holder& holder, bool* entered, std::string* e) {
  std::vector<Row> rows;
  if (!store.run("INSERT INTO serials (serial, source, state, void_reason, run_id, station, interface, device, "
                 "taken_ms, changed_ms) VALUES ($1, $2, 'void', $3, $4, $5, $6, $7, $8, $8) "
                 "ON CONFLICT (serial) DO NOTHING RETURNING serial",
                 {serial, source, reason, id_value(holder.run_id), holder.station, holder.interface,
                  holder.device.empty() ? Value() : Value(holder.device), text(now_ms())},
                 &rows, e))
    return false;
  *entered = !rows.empty();
  return true;
}

}  // namespace

int64_t now_ms() {
  timeval tv{};
  gettimeofday(&tv, nullptr);
  return static_cast<int64_t>(tv.tv_sec) * 1000 + tv.tv_usec / 1000;
}

bool Ledger::next_value(const std::string& source, bool create, int64_t* next, std::string* error) {
  if (create &&
      !store_.run("INSERT INTO serial_sources (name, next_value) VALUES ($1, 1) ON CONFLICT (name) DO NOTHING",
                  {source}, nullptr, error))
    return false;
  std::vector<Row> rows;
  if (!store_.run("SELECT next_value FROM serial_sources WHERE name = $1", {source}, &rows, error)) return false;
  *next = 1;
  if (!rows.empty() && !integer(rows[0][0], next)) {
    *error = "the counter of " + source + " in the ledger is not a number";
    return false;
  }
  return true;
}

bool Ledger::check(const SerialSource& source, std::size_t count, int64_t* next, std::string* error) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!in_transaction(store_, [&](std::string* e) { return next_value(source.name, false, next, e); }, error))
    return false;
  std::string serial;
  for (std::size_t i = count; i-- > 0;)
    if (!source.serial_for(*next + static_cast<int64_t>(i), &serial, error)) return false;
  return true;
}

bool Ledger::take(const SerialSource& source, const Holder& holder, std::string* serial, std::string* error) {
  std::lock_guard<std::mutex> lock(mutex_);
  return in_transaction(
      store_,
      [&](std::string* e) {
        // A commit whose answer was lost may have taken this run's number:
        // the run waits for one number at a time, so a number of the run
        // still taken is that one.
        if (store_.in_doubt && holder.run_id) {
          std::vector<Row> rows;
          if (!store_.run("SELECT serial FROM serials WHERE run_id = $1 AND source = $2 AND state = 'taken'",
                          {text(holder.run_id), source.name}, &rows, e))
            return false;
          if (!rows.empty() && rows[0][0]) {
            *serial = *rows[0][0];
            return true;
          }
        }
        int64_t dummy = 0;
        if (!next_value(source.name, true, &dummy, e)) return false;
        for (int passed = 0; passed <= kPassOverMax; ++passed) {
          // One statement advances the counter and returns the number it
          // passed: no read of the counter can come before its update, and
          // the row stays held until the commit, so another station's take
          // waits for this one.
          std::vector<Row> rows;
          int64_t n = 0;
          if (!store_.run("UPDATE serial_sources SET next_value = next_value + 1 WHERE name = $1 "
                          "RETURNING next_value - 1",
                          {source.name}, &rows, e))
            return false;
          if (rows.empty() || !integer(rows[0][0], &n)) {
            *e = "the counter of " + source.name + " is gone from the ledger";
            return false;
          }
          std::string s;
          if (!source.serial_for(n, &s, e)) return false;
          rows.clear();
          if (!store_.run("SELECT state FROM serials WHERE serial = $1", {s}, &rows, e)) return false;
          if (!rows.empty()) continue;
          const std::string t = text(now_ms());
          std::string why;
          if (source.given_before && source.given_before(s, &why)) {
            bool entered = false;
            if (!insert_void(store_, s, source.name, why, {holder.station, holder.interface, "", 0}, &entered, e))
              return false;
            continue;
          }
          if (!store_.run("INSERT INTO serials (serial, source, state, run_id, station, interface, device, taken_ms, "
                          "changed_ms) VALUES ($1, $2, 'taken', $3, $4, $5, $6, $7, $7)",
                          {s, source.name, id_value(holder.run_id), holder.station, holder.interface,
                           holder.device.empty() ? Value() : Value(holder.device), t},
                          nullptr, e))
            return false;
          *serial = s;
          return true;
        }
        *e = "more than " + std::to_string(kPassOverMax) + " numbers of " + source.name +
             " in a row are in the ledger already";
        return false;
      },
      error);
}

bool Ledger::set_counter(const std::string& source, int64_t next, std::string* error) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (next < 1) {
    *error = "the counter must be a whole number from 1 on";
    return false;
  }
  return in_transaction(
      store_,
      [&](std::string* e) {
        int64_t now = 0;
        // Created first, so that the row is held (UPDATE) while it is compared.
        if (!next_value(source, true, &now, e) ||
            !store_.run("UPDATE serial_sources SET next_value = next_value WHERE name = $1", {source}, nullptr, e) ||
            !next_value(source, false, &now, e))
          return false;
        if (next < now) {
          *e = "the counter of " + source + " stands at " + text(now) + "; it never goes down, numbers below " +
               text(now) + " were given";
          return false;
        }
        return store_.run("UPDATE serial_sources SET next_value = $2 WHERE name = $1", {source, text(next)}, nullptr,
                          e);
      },
      error);
}

bool Ledger::change_state(const std::string& serial, const char* to, const char* from_states, const Value& reason,
                          std::string* error) {
  return in_transaction(
      store_,
      [&](std::string* e) {
        std::vector<Row> rows;
        if (!store_.run(std::string("UPDATE serials SET state = $2, void_reason = $3, changed_ms = $4 WHERE serial = $1 "
                                    "AND state IN (") +
                            from_states + ") RETURNING serial",
                        {serial, std::string(to), reason, text(now_ms())}, &rows, e))
          return false;
        if (!rows.empty()) return true;
        rows.clear();
        if (!store_.run("SELECT state FROM serials WHERE serial = $1", {serial}, &rows, e)) return false;
        *e = "serial number " + serial +
             (rows.empty() ? std::string(" is not in the ledger") : " is " + rows[0][0].value_or("?") + " in the ledger") +
             ", it cannot become " + to;
        return false;
      },
      error);
}

bool Ledger::mark_sent(const std::string& serial, std::string* error) {
  std::lock_guard<std::mutex> lock(mutex_);
  return change_state(serial, "sent", "'taken', 'sent'", {}, error);
}

bool Ledger::confirm(const std::string& serial, const std::string& read_back, std::string* error) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (read_back != serial) {
    *error = "the device reads back \"" + read_back + "\", not \"" + serial + "\"";
    return false;
  }
  return change_state(serial, "confirmed", "'taken', 'sent', 'confirmed'", {}, error);
}

bool Ledger::void_serial(const std::string& serial, const std::string& reason, std::string* error) {
  std::lock_guard<std::mutex> lock(mutex_);
  return change_state(serial, "void", "'taken', 'sent'", reason, error);
}

bool Ledger::find(const std::string& serial, SerialEntry* entry, bool* found, std::string* error) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<Row> rows;
  if (!in_transaction(
          store_,
          [&](std::string* e) {
            rows.clear();
            return store_.run("SELECT serial, source, state, void_reason, station, interface, device, run_id FROM "
                              "serials WHERE serial = $1",
                              {serial}, &rows, e);
          },
          error))
    return false;
  *found = !rows.empty();
  if (!*found) return true;
  const Row& r = rows[0];
  *entry = SerialEntry{r[0].value_or(""), r[1].value_or(""), r[2].value_or(""), r[3].value_or(""),
                       r[4].value_or(""), r[5].value_or(""), r[6].value_or(""), 0};
  integer(r[7], &entry->run_id);
  return true;
}

bool Ledger::reuse(const std::string& serial, const Holder& holder, std::string* error) {
  std::lock_guard<std::mutex> lock(mutex_);
  return in_transaction(
      store_,
      [&](std::string* e) {
        std::vector<Row> rows;
        if (!store_.run("UPDATE serials SET state = 'confirmed', void_reason = NULL, run_id = $2, station = $3, "
                        "interface = $4, device = $5, changed_ms = $6 WHERE serial = $1 RETURNING serial",
                        {serial, id_value(holder.run_id), holder.station, holder.interface, holder.device,
                         text(now_ms())},
                        &rows, e))
          return false;
        if (rows.empty()) *e = "serial number " + serial + " is not in the ledger";
        return !rows.empty();
      },
      error);
}

bool Ledger::record_replaced(const std::string& serial, const Holder& holder, const std::string& reason,
                             std::string* error) {
  std::lock_guard<std::mutex> lock(mutex_);
  return in_transaction(
      store_,
      [&](std::string* e) {
        bool entered = false;
        if (!insert_void(store_, serial, "device", reason, holder, &entered, e)) return false;
        if (entered) return true;
        // Already there: this run's own entry (a commit cut short), or the
        // number is another's.
        std::vector<Row> rows;
        if (!store_.run("SELECT source, run_id FROM serials WHERE serial = $1", {serial}, &rows, e)) return false;
        if (!rows.empty() && rows[0][0] == Value("device") && rows[0][1] == id_value(holder.run_id)) return true;
        *e = "serial number " + serial + " is in the ledger already";
        return false;
      },
      error);
}

bool Ledger::enter_void(const std::string& serial, const std::string& source, const Holder& holder,
                        const std::string& reason, bool* entered, std::string* error) {
  std::lock_guard<std::mutex> lock(mutex_);
  return in_transaction(
      store_, [&](std::string* e) { return insert_void(store_, serial, source, reason, holder, entered, e); }, error);
}

bool Ledger::begin_run(const RunStart& start, int64_t* id, std::string* error) {
  std::lock_guard<std::mutex> lock(mutex_);
  return in_transaction(
      store_,
      [&](std::string* e) {
        std::vector<Row> rows;
        // The run's row may be there already, from a commit whose answer the
        // connection lost.
        if (store_.in_doubt &&
            !store_.run("SELECT id FROM runs WHERE started_ms = $1 AND station = $2 AND interface = $3 AND "
                        "station_mac = $4 AND device = $5",
                        {text(start.started_ms), start.station, start.interface, start.station_mac, start.device},
                        &rows, e))
          return false;
        if (!rows.empty() && integer(rows[0][0], id)) return true;
        rows.clear();
        // Advanced and read in one statement, as a source's counter is.
        if (!store_.run("UPDATE ledger_meta SET value = CAST(CAST(value AS BIGINT) + 1 AS TEXT) WHERE key = "
                        "'next_run_id' RETURNING CAST(value AS BIGINT) - 1",
                        {}, &rows, e))
          return false;
        if (rows.empty() || !integer(rows[0][0], id)) {
          *e = "the ledger has no run counter";
          return false;
        }
        return store_.run("INSERT INTO runs (id, started_ms, station, interface, station_mac, device, result) "
                          "VALUES ($1, $2, $3, $4, $5, $6, 'running')",
                          {text(*id), text(start.started_ms), start.station, start.interface, start.station_mac,
                           start.device},
                          nullptr, e);
      },
      error);
}

namespace {

bool write_facts(LedgerStore& store, int64_t run_id, const RunFacts& f, std::string* e) {
  return store.run("UPDATE runs SET serial_written = $2, serial_read = $3, image = $4, image_size = $5, "
                   "image_crc32 = $6 WHERE id = $1",
                   {text(run_id), f.serial_written, f.serial_read, f.image, size_text(f.image_size),
                    crc_text(f.image_crc32)},
                   nullptr, e);
}

}  // namespace

bool Ledger::end_step(int64_t run_id, const StepEnd& step, const RunFacts& facts, std::string* error) {
  std::lock_guard<std::mutex> lock(mutex_);
  return in_transaction(
      store_,
      [&](std::string* e) {
        const Value size = step.image ? size_text(step.image->size) : Value();
        const Value crc = step.image ? crc_text(step.image->crc32) : Value();
        return store_.run("INSERT INTO steps (run_id, seq, step, status, duration_ms, image_size, image_crc32) "
                          "VALUES ($1, $2, $3, $4, $5, $6, $7) ON CONFLICT (run_id, seq) DO UPDATE SET step = $3, "
                          "status = $4, duration_ms = $5, image_size = $6, image_crc32 = $7",
                          {text(run_id), text(step.seq), step.step, step.status, text(step.duration_ms), size, crc},
                          nullptr, e) &&
               write_facts(store_, run_id, facts, e);
      },
      error);
}

bool Ledger::end_run_in(int64_t run_id, const RunEnd& end, const RunFacts& facts, std::string* e) {
  // The row names its run; the reason stays the same for every run that ended
  // alike, so that the report counts them together.
  const std::string why = end.result + (end.reason ? " (" + *end.reason + ")" : "");
  // A run cut short by a stop: a number sent may be on the device (it still
  // names the device, whose next run finds it there); one never sent is not.
  const bool interrupted = end.result == "interrupted";
  const std::string never_sent = interrupted ? "interrupted, never sent" : "never sent: " + why;
  const std::string unconfirmed = interrupted ? "interrupted" : "sent, never confirmed: " + why;
  const std::string t = text(now_ms());
  if (!write_facts(store_, run_id, facts, e) ||
      !store_.run("UPDATE runs SET ended_ms = $2, result = $3, exit_status = $4, reason = $5 WHERE id = $1",
                  {text(run_id), text(end.ended_ms), end.result, text(end.exit_status), end.reason}, nullptr, e))
    return false;
  // The device read back the number it was sent: it holds it, whatever
  // the ledger heard of it before (a confirmation that did not reach it).
  if (facts.serial_written && facts.serial_read == facts.serial_written &&
      !store_.run("UPDATE serials SET state = 'confirmed', void_reason = NULL, changed_ms = $3 WHERE run_id = "
                  "$1 AND serial = $2 AND state IN ('taken', 'sent')",
                  {text(run_id), facts.serial_written, t}, nullptr, e))
    return false;
  // Ended a second time, now not passed (its record could not be
  // written): its numbers are on devices, no longer on record.
  if (!store_.run(end.result == "passed" ? "UPDATE serials SET state = 'recorded', changed_ms = $2 WHERE run_id "
                                           "= $1 AND state = 'confirmed'"
                                         : "UPDATE serials SET state = 'confirmed', changed_ms = $2 WHERE run_id "
                                           "= $1 AND state = 'recorded'",
                  {text(run_id), t}, nullptr, e))
    return false;
  return store_.run("UPDATE serials SET state = 'void', void_reason = $2, changed_ms = $3 WHERE run_id = $1 AND "
                    "state = 'taken'",
                    {text(run_id), never_sent, t}, nullptr, e) &&
         store_.run("UPDATE serials SET state = 'void', void_reason = $2, changed_ms = $3 WHERE run_id = $1 AND "
                    "state = 'sent'",
                    {text(run_id), unconfirmed, t}, nullptr, e);
}

bool Ledger::end_run(int64_t run_id, const RunEnd& end, const RunFacts& facts, std::string* error) {
  std::lock_guard<std::mutex> lock(mutex_);
  return in_transaction(store_, [&](std::string* e) { return end_run_in(run_id, end, facts, e); }, error);
}

bool Ledger::end_missed_run(int64_t run_id, const RunEnd& end, const RunFacts& facts, bool* ended,
                            std::string* error) {
  std::lock_guard<std::mutex> lock(mutex_);
  return in_transaction(
      store_,
      [&](std::string* e) {
        std::vector<Row> rows;
        // Held (an UPDATE) while it is looked at, as a counter is.
        if (!store_.run("UPDATE runs SET result = result WHERE id = $1 RETURNING result", {text(run_id)}, &rows, e))
          return false;
        *ended = !rows.empty() && rows[0][0] == Value("running");
        return !*ended || end_run_in(run_id, end, facts, e);
      },
      error);
}

bool Ledger::passed_with(int64_t run_id, const std::vector<ImageId>& images, bool* flashed, std::string* error) {
  std::lock_guard<std::mutex> lock(mutex_);
  return in_transaction(
      store_,
      [&](std::string* e) {
        std::vector<Row> rows;
        if (!store_.run("SELECT result FROM runs WHERE id = $1", {text(run_id)}, &rows, e)) return false;
        *flashed = !rows.empty() && rows[0][0] == Value("passed");
        for (const ImageId& image : images) {
          if (!*flashed) break;
          rows.clear();
          if (!store_.run("SELECT seq FROM steps WHERE run_id = $1 AND step = 'flash' AND status IN ('ok', "
                          "'unverified') AND image_size = $2 AND image_crc32 = $3",
                          {text(run_id), size_text(image.size), crc_text(image.crc32)}, &rows, e))
            return false;
          *flashed = !rows.empty();
        }
        return true;
      },
      error);
}

bool Ledger::count(const SerialSource& source, SerialCount* c, std::string* error) {
  std::lock_guard<std::mutex> lock(mutex_);
  *c = SerialCount{};
  int64_t next = 1;
  std::vector<Row> rows;
  if (!in_transaction(
          store_,
          [&](std::string* e) {
            rows.clear();
            return next_value(source.name, false, &next, e) &&
                   store_.run("SELECT serial, state, source FROM serials", {}, &rows, e);
          },
          error))
    return false;
  std::set<std::string> known;
  for (const Row& r : rows) {
    known.insert(r[0].value_or(""));
    if (r[2] != source.name) continue;
    const std::string& state = r[1].value_or("");
    if (state == "taken") ++c->taken;
    if (state == "sent") ++c->sent;
    if (state == "confirmed") ++c->confirmed;
    if (state == "recorded") ++c->recorded;
    if (state == "void") ++c->voided;
  }
  c->handed_out = next - 1;
  std::string serial;
  for (int64_t n = 1; n < next; ++n)
    if (!source.serial_for(n, &serial, error)) return false;
    else if (!known.count(serial)) ++c->missing;
  return true;
}

}  // namespace line_ledger
