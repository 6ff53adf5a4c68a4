// nvram_daemon: the store's resident process. On SIGUSR2 it restores the default
// settings of block 0 from /etc/nvram_default (key=value lines) and leaves every
// other block alone, so a reset never loses the factory entries in block 1 or the
// serial number in block 3. Without a defaults file it refuses and keeps the
// settings: an empty block 0 is no restore.
//
// At start it opens the store, completing a compaction that a power cut stopped,
// and only then records its pid in /var/run/nvram_daemon.pid, where killall (and
// the start-up script, which waits for it before qvdata) finds it; it
// ends on SIGTERM or SIGINT. It does not detach: its starter puts it in the
// background.
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "device_path.h"
#include "nvram.h"
#include "nvram_admin.h"
#include "platform_log.h"

namespace {

volatile sig_atomic_t g_restore = 0;
volatile sig_atomic_t g_stop = 0;

void on_restore(int) { g_restore = 1; }
void on_stop(int) { g_stop = 1; }

}  // namespace

int main(int argc, char** argv) {
  platform_log(argc, argv);

  device_path_buf pid_path, defaults;
  device_path(pid_path, "/var/run/nvram_daemon.pid");
  device_path(defaults, "/etc/nvram_default");

  struct sigaction sa {};
  sa.sa_handler = on_restore;
  sigaction(SIGUSR2, &sa, nullptr);
  sa.sa_handler = on_stop;
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);

  // Block the signals while testing the flags, so that one arriving between the
  // test and the wait is not lost.
  sigset_t block, old;
  sigemptyset(&block);
  sigaddset(&block, SIGUSR2);
  sigaddset(&block, SIGTERM);
  sigaddset(&block, SIGINT);
  sigprocmask(SIG_BLOCK, &block, &old);

  // Start-up runs this before qvdata, which reads the partition raw: the store is
  // repaired from a stopped compaction's copy before the pid file tells that the
  // daemon runs.
  if (nvram_open() != 0) std::printf("nvram_daemon: the store cannot be opened\n");
  std::fflush(stdout);

  if (FILE* f = std::fopen(pid_path.text, "w")) {
    std::fprintf(f, "%d\n", static_cast<int>(getpid()));
    std::fclose(f);
  }

  while (!g_stop) {
    if (g_restore) {
      g_restore = 0;
      errno = 0;
      if (nvram_load_block(NVRAM_USER_BLOCK, defaults.text) != 0) {
        std::printf("nvram_daemon: defaults of block %d not restored, settings kept: %s: %s\n", NVRAM_USER_BLOCK,
                    defaults.text, errno ? std::strerror(errno) : "cannot be stored");
        std::fflush(stdout);
        continue;
      }
      std::printf("nvram_daemon: defaults of block %d restored\n", NVRAM_USER_BLOCK);
      std::fflush(stdout);
      // The reset is done when the marker appears (tests and scripts wait for it).
      device_path_buf done;
      device_path(done, "/var/run/nvram_daemon.restored");
      if (FILE* f = std::fopen(done.text, "a")) std::fclose(f);
      continue;
    }
    sigsuspend(&old);
  }
  unlink(pid_path.text);
  return 0;
}
