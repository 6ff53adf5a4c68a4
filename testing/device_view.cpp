// device_view PROGRAM ARGV0 [ARG...]: the working half of tests/device-run.sh,
// in one process. The end-to-end tests start a device program hundreds of
// times; made of shell commands (a mount, a mkdir, a readlink each), every
// start cost some eighty processes, several times the program's own run under
// qemu.
//
// In a private mount namespace a tmpfs on $QV_DEVICE_VIEW becomes the
// program's "/": the device root's own folders and partition images, the
// host's /usr and the device nodes a shell needs, the device's /lib (the
// build's C library and libnvram.so) and, at their host paths, the folders the
// program and the tests hand each other. There the emulator runs PROGRAM from
// $QV_DEVICE_BIN_DIR, as ARGV0, in the working folder by the name that the
// build gives it. The settings are device-run.sh's (see there).
#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

[[noreturn]] void fail(int status, const std::string& what) {
  std::fprintf(stderr, "device-run: %s\n", what.c_str());
  std::exit(status);
}
[[noreturn]] void fail_errno(const std::string& what) { fail(125, what + ": " + std::strerror(errno)); }

std::string env(const char* name) {
  const char* v = std::getenv(name);
  return v ? v : "";
}
std::string required_env(const char* name) {
  std::string v = env(name);
  if (v.empty()) fail(125, std::string(name) + " is not set");
  return v;
}

std::vector<std::string> words(const std::string& text) {
  std::vector<std::string> out;
  std::size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && text[i] == ' ') ++i;
    std::size_t j = i;
    while (j < text.size() && text[j] != ' ') ++j;
    if (j > i) out.push_back(text.substr(i, j - i));
    i = j;
  }
  return out;
}

bool exists(const std::string& p) {
  struct stat st;
  return stat(p.c_str(), &st) == 0;
}
bool is_dir(const std::string& p) {
  struct stat st;
  return stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}
std::string dir_of(const std::string& p) {
  const std::size_t slash = p.rfind('/');
  return slash == std::string::npos ? "." : slash == 0 ? "/" : p.substr(0, slash);
}
std::string name_of(const std::string& p) { return p.substr(p.rfind('/') + 1); }

void make_dirs(const std::string& path) {
  for (std::size_t i = 1; i <= path.size(); ++i) {
    if (i < path.size() && path[i] != '/') continue;
    const std::string part = path.substr(0, i);
    if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) fail_errno("mkdir " + part);
  }
}

// The entries of a folder, without . and ..; none when it cannot be read.
std::vector<std::string> entries(const std::string& dir) {
  std::vector<std::string> out;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d))
      if (e->d_name[0] != '.') out.push_back(e->d_name);
    closedir(d);
  }
  return out;
}

// source, with everything mounted below it, at target: a folder for a folder,
// an empty file for anything else.
void bind(const std::string& source, const std::string& target) {
  if (is_dir(source)) {
    make_dirs(target);
  } else {
    make_dirs(dir_of(target));
    const int fd = open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) fail_errno("create " + target);
    close(fd);
  }
  if (mount(source.c_str(), target.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0)
    fail_errno("bind " + source + " on " + target);
}

void link_to(const std::string& target, const std::string& path) {
  unlink(path.c_str());
  if (symlink(target.c_str(), path.c_str()) != 0) fail_errno("link " + path);
}

// The working folder by the name the build gives it (the closest), if it has
// one: a checkout or build in /tmp is the device's /tmp to the program.
std::string named_cwd() {
  char buf[PATH_MAX];
  if (!getcwd(buf, sizeof buf)) fail_errno("getcwd");
  const std::string here = buf;
  // The folder by the name the caller knows it under, as a shell keeps it, if
  // $PWD still names it.
  std::string cwd = here;
  const char* logical = std::getenv("PWD");
  struct stat a, b;
  if (logical && *logical == '/' && stat(logical, &a) == 0 && stat(".", &b) == 0 && a.st_dev == b.st_dev &&
      a.st_ino == b.st_ino)
    cwd = logical;
  const std::string names = env("QV_DEVICE_NAMES");
  if (names.empty()) return cwd;
  std::string best;
  for (const std::string& n : entries(names)) {
    const std::string link = names + "/" + n;
    const ssize_t len = readlink(link.c_str(), buf, sizeof buf - 1);
    if (len <= 0) continue;
    const std::string t(buf, static_cast<std::size_t>(len));
    const bool inside = here == t || (here.compare(0, t.size(), t) == 0 && here[t.size()] == '/');
    if (inside && t.size() > best.size()) {
      best = t;
      cwd = link + here.substr(t.size());
    }
  }
  return cwd;
}

// The platform's commands that the device programs run (through the shell or
// by name). The view holds the host's /usr, where this machine's own reboot
// and killall lie: on the program's PATH the stand-ins must come first.
constexpr const char* kPlatformCommands[] = {"reboot", "killall", "mtd_write", "wlan.sh", "rt2860apd"};

// Where the shell finds command on PATH; "" when nowhere.
std::string on_path(const std::string& command) {
  const std::string path = env("PATH");
  std::size_t i = 0;
  while (i <= path.size()) {
    std::size_t j = path.find(':', i);
    if (j == std::string::npos) j = path.size();
    const std::string dir = j > i ? path.substr(i, j - i) : ".";
    const std::string file = dir + "/" + command;
    struct stat st;
    if (stat(file.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(file.c_str(), X_OK) == 0) return file;
    i = j + 1;
  }
  return "";
}

bool same_file(const std::string& a, const std::string& b) {
  struct stat sa, sb;
  return stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

bool in_device_folder(const std::string& d) {
  for (const char* top : {"/etc", "/tmp", "/var", "/dev", "/proc", "/lib"}) {
    const std::size_t n = std::strlen(top);
    if (d.compare(0, n, top) == 0 && (d.size() == n || d[n] == '/')) return true;
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) fail(125, "usage: device_view PROGRAM ARGV0 [ARG...]");
  const std::string prog = argv[1], argv0 = argv[2];
  const std::string root = required_env("QV_DEVICE_ROOT");
  const std::string exe = required_env("QV_DEVICE_BIN_DIR") + "/" + prog;
  const std::string view = required_env("QV_DEVICE_VIEW");
  if (access(exe.c_str(), X_OK) != 0) fail(127, "no program " + exe);
  const std::string cwd = named_cwd();

  // The folders seen at their host paths must not lie inside a folder of the
  // device, where their mount points would change the device root.
  std::vector<std::string> emulator = words(required_env("QV_DEVICE_EMULATOR"));
  const std::string standins = required_env("QV_BIN_DIR");
  std::vector<std::string> host_dirs = {root, env("QV_DEVICE_BIN_DIR"), standins, env("QV_HOST_BIN_DIR"), cwd};
  // Not under a file size limit, which the log would reach before the program.
  const std::string strace = env("QV_DEVICE_STRACE_DIR");
  rlimit fsize{};
  if (!strace.empty() && getrlimit(RLIMIT_FSIZE, &fsize) == 0 && fsize.rlim_cur == RLIM_INFINITY) {
    emulator.insert(emulator.end(),
                    {"-strace", "-D", strace + "/" + prog + "." + std::to_string(getpid()) + ".strace"});
    host_dirs.push_back(strace);
  }
  const std::vector<std::string> libs = words(env("QV_DEVICE_LIBS"));
  for (const std::string& f : libs) host_dirs.push_back(dir_of(f));
  for (const std::string& d : host_dirs)
    if (!d.empty() && in_device_folder(d))
      fail(125, d + " lies where the device has its own folders (give it a name in QV_DEVICE_NAMES)");
  if (emulator.empty()) fail(125, "QV_DEVICE_EMULATOR is empty");

  if (unshare(CLONE_NEWNS) != 0) fail_errno("unshare");
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) fail_errno("private mounts");
  if (mount("device-view", view.c_str(), "tmpfs", 0, "mode=0755") != 0) fail_errno("tmpfs on " + view);
  for (const std::string& e : entries(root))
    if (e != "dev" && e != "lib" && e != "usr" && e != "bin" && e != "sbin" && e != "lib64")
      bind(root + "/" + e, view + "/" + e);
  // /dev: the partition images and whatever else the root holds, and the host
  // nodes a shell needs.
  make_dirs(view + "/dev");
  for (const std::string& e : entries(root + "/dev"))
    if (exists(root + "/dev/" + e)) bind(root + "/dev/" + e, view + "/dev/" + e);
  for (const char* n : {"null", "zero", "full", "random", "urandom", "tty"})
    if (!exists(view + "/dev/" + n)) bind(std::string("/dev/") + n, view + "/dev/" + n);
  bind("/usr", view + "/usr");
  for (const char* l : {"bin", "sbin", "lib64"})
    if (exists(std::string("/") + l)) link_to(std::string("usr/") + l, view + "/" + l);
  make_dirs(view + "/lib");
  for (const std::string& m : entries("/usr/lib"))
    if (m.size() > 10 && m.compare(m.size() - 10, 10, "-linux-gnu") == 0 && is_dir("/usr/lib/" + m))
      link_to("/usr/lib/" + m, view + "/lib/" + m);
  for (const std::string& f : libs) link_to(f, view + "/lib/" + name_of(f));
  for (const std::string& d : host_dirs)
    if (!d.empty() && !exists(view + d)) bind(d, view + d);

  if (chroot(view.c_str()) != 0) fail_errno("chroot " + view);
  if (chdir(cwd.c_str()) != 0) fail_errno("chdir " + cwd);
  // As the program will look them up, in its view.
  for (const char* command : kPlatformCommands) {
    const std::string standin = standins + "/" + command, found = on_path(command);
    if (same_file(found, standin)) continue;
    const std::string what = found.empty() ? "does not reach the stand-in " + standin
                                           : "finds " + found + " instead of the stand-in " + standin +
                                                 ": the program would run this machine's own " + command;
    fail(125, "PATH (" + env("PATH") + ") " + what + " (put " + standins + " first on PATH)");
  }
  std::vector<char*> args;
  for (std::string& w : emulator) args.push_back(w.data());
  std::string zero = "-0", a0 = argv0, program = exe;
  args.insert(args.end(), {zero.data(), a0.data(), program.data()});
  for (int i = 3; i < argc; ++i) args.push_back(argv[i]);
  args.push_back(nullptr);
  execvp(args[0], args.data());
  fail(127, std::string("cannot run ") + args[0] + ": " + std::strerror(errno));
}
