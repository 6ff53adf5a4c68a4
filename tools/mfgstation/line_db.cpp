#include "line_db.h"

#include <unistd.h>

#include <climits>
#include <cstdio>
#include <vector>

#include "command_line.h"
#include "serial_numbers.h"

namespace mfgstation {

std::unique_ptr<LineLedger> LineLedger::open(const Options& opts, std::string* error) {
  auto l = std::make_unique<LineLedger>();
  char host[HOST_NAME_MAX + 1] = {};
  if (gethostname(host, sizeof host - 1) != 0) host[0] = '\0';
  l->host_ = host[0] ? host : "station";
  if (!opts.sn_pattern.empty()) {
    SnPattern pattern;
    if (pattern.parse(opts.sn_pattern, error) < 0) return nullptr;
    l->source_.name = opts.sn_pattern;
    l->source_.serial_for = [pattern](int64_t n, std::string* serial, std::string* e) {
      *serial = pattern.format(static_cast<uint64_t>(n));
      if (serial->empty() || serial->size() > kSerialMax) {
        *e = "serial number \"" + *serial + "\" for counter " + std::to_string(n) + " is longer than " +
             std::to_string(kSerialMax) + " characters";
        return false;
      }
      return true;
    };
  } else if (!opts.sn_list.empty()) {
    std::vector<std::string> list;
    if (load_sn_list(opts.sn_list, &list, error) < 0) return nullptr;
    l->source_.name = "list:" + opts.sn_list;
    l->source_.serial_for = [list, path = opts.sn_list](int64_t n, std::string* serial, std::string* e) {
      if (n > static_cast<int64_t>(list.size())) {
        *e = "not enough serial numbers: the list " + path + " holds " + std::to_string(list.size()) +
             " and number " + std::to_string(n) + " is needed";
        return false;
      }
      *serial = list[static_cast<std::size_t>(n - 1)];
      return true;
    };
  }
  l->store_ = line_ledger::open_ledger_store(opts.db, error);
  if (!l->store_) return nullptr;
  l->ledger_ = std::make_unique<line_ledger::Ledger>(*l->store_);
  return l;
}

int set_counter_main(const Options& opts) {
  std::string error, where;
  bool ok = false;
  if (!opts.db.empty()) {
    std::unique_ptr<LineLedger> l = LineLedger::open(opts, &error);
    where = "the ledger's counter of " + opts.sn_pattern + opts.sn_list;
    ok = l && l->ledger().set_counter(l->source().name, static_cast<int64_t>(opts.set_counter), &error);
  } else {
    SnAllocator serials(opts.sn_state, SnPattern());
    where = "the counter in " + serials.state_path();
    ok = serials.set_counter(opts.set_counter, &error) == 0;
  }
  if (!ok) {
    std::fprintf(stderr, "mfgstation: --set-counter: %s\n", error.c_str());
    return kExitLocal;
  }
  std::printf("%s stands at %llu\n", where.c_str(), static_cast<unsigned long long>(opts.set_counter));
  return kExitOk;
}

}  // namespace mfgstation
