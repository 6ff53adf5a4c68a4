#include "fake_platform.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "device_path.h"
#include "link_platform.h"
#include "nvram.h"

namespace fake {

Platform& platform() {
  static Platform p;
  return p;
}

void reset() { platform() = Platform{}; }

const std::string& root() {
  static std::string dir;
  if (dir.empty()) {
    char tmpl[] = "/tmp/mfglinkd-fake-XXXXXX";
    const char* made = mkdtemp(tmpl);
    if (!made) {
      std::perror("mkdtemp");
      std::abort();
    }
    dir = made;
    mkdir((dir + "/tmp").c_str(), 0755);
    std::atexit([] {
      unlink((dir + "/tmp/firmware").c_str());
      rmdir((dir + "/tmp").c_str());
      rmdir(dir.c_str());
    });
  }
  return dir;
}

}  // namespace fake

long link_receive_pass(int, uint8_t* buf, std::size_t size) {
  auto& p = fake::platform();
  const char what = p.pass < p.passes.size() ? p.passes[p.pass] : 'E';
  ++p.pass;
  if (what == 'T') return kPassTimedOut;
  if (what == 'E') {
    errno = EBADF;
    return kPassFailed;
  }
  if (what == 'Z') return kPassNothing;
  const std::size_t want = p.incoming.size() + (what == 'L' ? 64 : 0);
  const std::size_t n = want < size ? want : size;
  std::memset(buf, 0xEE, n);
  std::memcpy(buf, p.incoming.data(), n < p.incoming.size() ? n : p.incoming.size());
  if ((what == 'X' || what == 'L') && n > 13) buf[13] ^= 0xFF;
  return static_cast<long>(n);
}

long link_sendto(int, const uint8_t* frame, std::size_t length, const sockaddr_ll& to) {
  auto& p = fake::platform();
  p.events.push_back("send");
  if (p.fail_send) {
    errno = ENETDOWN;
    return -1;
  }
  struct stat err;
  long err_bytes = fstat(2, &err) == 0 && S_ISREG(err.st_mode) ? static_cast<long>(err.st_size) : -1;
  p.sent.push_back({std::vector<uint8_t>(frame, frame + length), to, err_bytes});
  return static_cast<long>(length);
}

int link_system(const char* command) {
  auto& p = fake::platform();
  p.commands.push_back(command);
  p.events.push_back(std::string("system ") + command);
  return 0;
}

extern "C" const char* nvram_get(int index, const char* key) {
  static std::string value;
  auto& s = fake::platform().store;
  auto it = s.find(std::to_string(index) + "/" + key);
  value = it == s.end() ? "" : it->second;
  return value.c_str();
}

extern "C" const char* nvram_bufget(int index, const char* key) { return nvram_get(index, key); }

extern "C" int nvram_set(int index, const char* key, const char* value) {
  auto& p = fake::platform();
  if (p.fail_store_write) return -1;
  ++p.store_writes;
  p.store[std::to_string(index) + "/" + key] = value;
  return 0;
}

const char* device_root() { return fake::root().c_str(); }

char* device_path(char* out, std::size_t size, const char* path) {
  int n = std::snprintf(out, size, "%s%s", fake::root().c_str(), path);
  if (n < 0 || static_cast<std::size_t>(n) >= size) {
    if (size) out[0] = '\0';
    return nullptr;
  }
  return out;
}

int device_system(const char* command) { return link_system(command); }
