// The C library's own system calls. Run with no argument, the program goes
// through start-up and exit only and prints the names of the functions below,
// one a line; run with a NAME, it calls that classic function once, the way a
// device program does (with the open or socket it needs), and nothing else.
// check-device-syscalls.sh runs it once per name, each run traced on its own,
// so that what a function asks of the kernel by itself (glibc's time() as
// clock_gettime64 with a coarse clock, its fstat as statx, its pipe() as
// pipe2(0), popen's pipe as pipe2(O_CLOEXEC), musl's socket time-out as
// SO_RCVTIMEO_NEW first, uClibc-ng's rename as renameat2 when it was built
// against newer kernel headers than the device's) is known as that function's,
// and forgiven only in a program that links it. A run of its own for each also
// shows what the library does once in a process (reading the time zone,
// setting up malloc) for every function that may be first to do it.
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr const char* kFile = "/proc/mtd";

void call_stat() {
  struct stat st {};
  stat(kFile, &st);
}
void call_lstat() {
  struct stat st {};
  lstat(kFile, &st);
}
void call_fstat() {
  struct stat st {};
  fstat(0, &st);
}
void call_open() {
  int fd = open(kFile, O_RDONLY);
  if (fd >= 0) close(fd);
}
void call_read() {
  char buf[64];
  int fd = open(kFile, O_RDONLY);
  if (fd < 0) return;
  if (read(fd, buf, sizeof buf) < 0) std::perror("read");
  close(fd);
}
void call_flock() {
  int fd = open(kFile, O_RDONLY);
  if (fd < 0) return;
  flock(fd, LOCK_SH);
  close(fd);
}
void call_fopen() {
  char buf[64];
  if (std::FILE* f = std::fopen(kFile, "r")) {
    if (!std::fgets(buf, sizeof buf, f)) std::perror("fgets");
    std::fclose(f);
  }
}
void call_printf() { std::printf("baseline %d\n", static_cast<int>(getpid() > 0)); }
void call_select() {
  timeval tv{0, 0};
  fd_set set;
  FD_ZERO(&set);
  FD_SET(0, &set);
  select(1, &set, nullptr, nullptr, &tv);
}
void call_poll() {
  pollfd p{0, POLLIN, 0};
  poll(&p, 1, 0);
}
void call_time() { time(nullptr); }
void call_gmtime_r() {
  time_t now = 0;
  tm parts{};
  gmtime_r(&now, &parts);
}
void call_localtime_r() {
  time_t now = 0;
  tm parts{};
  localtime_r(&now, &parts);
}
void call_mktime() {
  tm parts{};
  parts.tm_year = 100;
  mktime(&parts);
}
void call_nanosleep() {
  timespec ts{0, 1000};
  nanosleep(&ts, nullptr);
}
void call_clock_gettime() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  clock_gettime(CLOCK_REALTIME, &ts);
}
void call_gettimeofday() {
  timeval tv{};
  gettimeofday(&tv, nullptr);
}
void call_sigaction() {
  struct sigaction sa {};
  sa.sa_handler = SIG_IGN;
  sigaction(SIGUSR1, &sa, nullptr);
}
void call_sigprocmask() {
  sigset_t signals;
  sigemptyset(&signals);
  sigprocmask(SIG_BLOCK, &signals, nullptr);
}
void call_setsockopt() {
  int sock = socket(AF_INET, SOCK_DGRAM, 0);
  if (sock < 0) return;
  timeval wait{1, 0};
  setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
  close(sock);
}
void call_sendto() {
  int sock = socket(AF_INET, SOCK_DGRAM, 0);
  if (sock < 0) return;
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(9);
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  char byte = 0;
  sendto(sock, &byte, 1, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  close(sock);
}
void call_recv() {
  int sock = socket(AF_INET, SOCK_DGRAM, 0);
  if (sock < 0) return;
  char byte = 0;
  recv(sock, &byte, 1, MSG_DONTWAIT);
  close(sock);
}
void call_fork() {
  pid_t child = fork();
  if (child == 0) _exit(0);
  if (child > 0) waitpid(child, nullptr, 0);
}
void call_pipe() {
  int ends[2];
  if (pipe(ends) == 0) {
    close(ends[0]);
    close(ends[1]);
  }
}
void call_system() {
  if (std::system("true") != 0) std::puts("system failed");
}
void call_popen() {
  if (std::FILE* p = popen("true", "r")) pclose(p);
}
void call_rename() {
  // No such file: the call alone counts.
  std::rename("/.qv-baseline-none", "/.qv-baseline-none");
}

struct Function {
  const char* name;
  void (*call)();
};
constexpr Function kFunctions[] = {
    {"stat", call_stat},
    {"lstat", call_lstat},
    {"fstat", call_fstat},
    {"open", call_open},
    {"read", call_read},
    {"flock", call_flock},
    {"fopen", call_fopen},
    {"printf", call_printf},
    {"select", call_select},
    {"poll", call_poll},
    {"time", call_time},
    {"gmtime_r", call_gmtime_r},
    {"localtime_r", call_localtime_r},
    {"mktime", call_mktime},
    {"nanosleep", call_nanosleep},
    {"clock_gettime", call_clock_gettime},
    {"gettimeofday", call_gettimeofday},
    {"sigaction", call_sigaction},
    {"sigprocmask", call_sigprocmask},
    {"setsockopt", call_setsockopt},
    {"sendto", call_sendto},
    {"recv", call_recv},
    {"fork", call_fork},
    {"pipe", call_pipe},
    {"system", call_system},
    {"popen", call_popen},
    {"rename", call_rename},
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    // write(), not stdio: this run stands for start-up and exit alone.
    for (const Function& f : kFunctions) {
      if (write(1, f.name, std::strlen(f.name)) < 0 || write(1, "\n", 1) < 0) return 1;
    }
    return 0;
  }
  for (const Function& f : kFunctions) {
    if (std::strcmp(f.name, argv[1]) == 0) {
      f.call();
      return 0;
    }
  }
  return 2;
}
