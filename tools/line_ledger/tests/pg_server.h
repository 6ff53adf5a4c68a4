// A throw-away PostgreSQL server for tests: initdb in a fresh temporary folder,
// started with pg_ctl on a free port of the loopback, its socket in the same
// folder, stopped and removed again by stop() or the destructor. As root, the
// server runs as the user "nobody" (PostgreSQL refuses to run as root).
#ifndef QV_TOOLS_LINE_LEDGER_TESTS_PG_SERVER_H
#define QV_TOOLS_LINE_LEDGER_TESTS_PG_SERVER_H

#include <string>

namespace line_ledger_test {

class PgServer {
 public:
  PgServer() = default;
  ~PgServer() { stop(); }
  PgServer(const PgServer&) = delete;
  PgServer& operator=(const PgServer&) = delete;

  // true once the server accepts connections. false with a message; *missing
  // is set when the PostgreSQL programs are not installed (the caller skips).
  bool start(std::string* error, bool* missing);
  void stop();
  bool running() const { return !folder_.empty(); }

  // A new, empty database: its connection URI, or "" with a message.
  std::string create_database(const std::string& name, std::string* error);
  // The URI of database name on this server.
  std::string uri(const std::string& name) const;
  const std::string& folder() const { return folder_; }

 private:
  std::string bin_, folder_;
  int port_ = 0;
};

}  // namespace line_ledger_test

#endif
