#include "pg_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ftw.h>
#include <glob.h>
#include <grp.h>
#include <libpq-fe.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace line_ledger_test {

namespace {

// The folder of initdb and pg_ctl: $QV_PG_BIN, else the newest
// /usr/lib/postgresql/N/bin, else "" (not installed).
std::string find_bin() {
  if (const char* env = std::getenv("QV_PG_BIN")) return env;
  glob_t g{};
  std::string best;
  int best_version = -1;
  if (glob("/usr/lib/postgresql/*/bin/initdb", 0, nullptr, &g) == 0)
    for (std::size_t i = 0; i < g.gl_pathc; ++i) {
      const std::string path = g.gl_pathv[i];
      const int version = std::atoi(path.c_str() + std::strlen("/usr/lib/postgresql/"));
      if (version > best_version) {
        best_version = version;
        best = path.substr(0, path.size() - std::strlen("/initdb"));
      }
    }
  globfree(&g);
  return best;
}

int free_port() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return -1;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  int port = -1;
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
    port = ntohs(a.sin_port);
  close(fd);
  return port;
}

// Runs argv (no shell), as "nobody" when this process is root, with output into
// log; its exit status, or -1.
int run(const std::vector<std::string>& argv, const std::string& log) {
  const passwd* pw = geteuid() == 0 ? getpwnam("nobody") : nullptr;
  const uid_t uid = pw ? pw->pw_uid : 0;
  const gid_t gid = pw ? pw->pw_gid : 0;
  pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    // The server's user writes the log too.
    if (pw && (setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(uid) != 0)) _exit(126);
    int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (fd >= 0) {
      dup2(fd, 1);
      dup2(fd, 2);
      close(fd);
    }
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    char lc[] = "LC_ALL=C", path[] = "PATH=/usr/bin:/bin";
    char* env[] = {lc, path, nullptr};
    execve(args[0], args.data(), env);
    _exit(127);
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0)
    if (errno != EINTR) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int remove_entry(const char* path, const struct stat*, int, FTW*) { return remove(path); }

}  // namespace

bool PgServer::start(std::string* error, bool* missing) {
  *missing = false;
  bin_ = find_bin();
  if (bin_.empty() || access((bin_ + "/initdb").c_str(), X_OK) != 0 || access((bin_ + "/pg_ctl").c_str(), X_OK) != 0) {
    *missing = true;
    *error = "the PostgreSQL programs initdb and pg_ctl are not installed (looked in " +
             (bin_.empty() ? std::string("/usr/lib/postgresql/*/bin") : bin_) + "; QV_PG_BIN names another folder)";
    return false;
  }
  char tmpl[] = "/tmp/qv-pg-XXXXXX";
  if (!mkdtemp(tmpl)) {
    *error = std::string("mkdtemp: ") + std::strerror(errno);
    return false;
  }
  folder_ = tmpl;
  if (geteuid() == 0) {
    const passwd* pw = getpwnam("nobody");
    if (!pw || chown(folder_.c_str(), pw->pw_uid, pw->pw_gid) != 0) {
      *error = "cannot hand " + folder_ + " to the user nobody, who runs the server";
      stop();
      return false;
    }
  }
  port_ = free_port();
  const std::string data = folder_ + "/data", log = folder_ + "/server.log";
  // No syncs: the data is thrown away after the test.
  if (run({bin_ + "/initdb", "-D", data, "-U", "ledger", "--auth=trust", "-E", "UTF8", "--no-sync",
           "--no-instructions"},
          log) != 0) {
    *error = "initdb failed; see " + log;
    folder_.clear();  // kept for the reader
    return false;
  }
  const std::string options = "-p " + std::to_string(port_) + " -k " + folder_ +
                              " -c listen_addresses=127.0.0.1 -c fsync=off -c full_page_writes=off";
  if (run({bin_ + "/pg_ctl", "-D", data, "-o", options, "-l", log, "-w", "-t", "30", "start"}, log) != 0) {
    *error = "the PostgreSQL server did not start; see " + log;
    folder_.clear();
    return false;
  }
  return true;
}

void PgServer::stop() {
  if (folder_.empty()) return;
  run({bin_ + "/pg_ctl", "-D", folder_ + "/data", "-m", "immediate", "-w", "stop"}, "/dev/null");
  nftw(folder_.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
  folder_.clear();
}

std::string PgServer::uri(const std::string& name) const {
  return "postgresql://ledger@/" + name + "?host=" + folder_ + "&port=" + std::to_string(port_);
}

std::string PgServer::create_database(const std::string& name, std::string* error) {
  PGconn* conn = PQconnectdb(uri("postgres").c_str());
  if (PQstatus(conn) != CONNECTION_OK) {
    *error = PQerrorMessage(conn);
    PQfinish(conn);
    return "";
  }
  PGresult* res = PQexec(conn, ("CREATE DATABASE " + name).c_str());
  const bool ok = PQresultStatus(res) == PGRES_COMMAND_OK;
  if (!ok) *error = PQresultErrorMessage(res);
  PQclear(res);
  PQfinish(conn);
  return ok ? uri(name) : "";
}

}  // namespace line_ledger_test
