// The C library's own system calls: once each, the classic functions whose
// implementation in a C library may use a newer system call (select as
// pselect6_time64, fstat as statx, nanosleep as clock_nanosleep_time64,
// clock_gettime as clock_gettime64, popen's pipe as pipe2, a socket's
// receive time-out as SO_RCVTIMEO_NEW, rename as renameat2 in a uClibc built
// against newer kernel headers than the device's), and the
// start-up and exit every program goes through. device_system_calls takes what
// this program asks of the kernel as the library's, not the programs'.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

int main() {
  struct stat st {};
  stat("/", &st);
  lstat("/", &st);
  fstat(0, &st);
  char buf[64];
  int fd = open("/proc/mtd", O_RDONLY);
  if (fd >= 0) {
    flock(fd, LOCK_SH);
    if (read(fd, buf, sizeof buf) < 0 || pread(fd, buf, sizeof buf, 0) < 0) std::perror("read");
    lseek(fd, 0, SEEK_SET);
    close(fd);
  }
  if (std::FILE* f = std::fopen("/proc/mtd", "r")) {
    if (!std::fgets(buf, sizeof buf, f)) std::perror("fgets");
    std::fclose(f);
  }
  timeval tv{0, 0};
  fd_set set;
  FD_ZERO(&set);
  FD_SET(0, &set);
  select(1, &set, nullptr, nullptr, &tv);
  time_t now = time(nullptr);
  tm parts{};
  gmtime_r(&now, &parts);
  timespec ts{0, 1000};
  nanosleep(&ts, nullptr);
  // No such file: the call alone counts.
  std::rename("/.qv-baseline-none", "/.qv-baseline-none");
  clock_gettime(CLOCK_MONOTONIC, &ts);
  clock_gettime(CLOCK_REALTIME, &ts);
  struct sigaction sa {};
  sa.sa_handler = SIG_IGN;
  sigaction(SIGUSR1, &sa, nullptr);
  sigset_t signals;
  sigemptyset(&signals);
  sigprocmask(SIG_BLOCK, &signals, nullptr);
  int sock = socket(AF_INET, SOCK_DGRAM, 0);
  if (sock >= 0) {
    // A C library with a 64-bit time_t asks for the newer timeout option
    // first and falls back to the classic one.
    timeval wait{1, 0};
    setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    close(sock);
  }
  pid_t child = fork();
  if (child == 0) _exit(0);
  if (child > 0) waitpid(child, nullptr, 0);
  if (std::system("true") != 0) std::puts("system failed");
  if (std::FILE* p = popen("true", "r")) pclose(p);
  std::printf("baseline %d\n", static_cast<int>(getpid() > 0));
  return 0;
}
