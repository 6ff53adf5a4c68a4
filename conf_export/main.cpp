// conf_export FILE: exports the user settings to FILE.
#include <csignal>
#include <cstdio>

#include "conf_export.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::printf("Usage:%s conf_filename\n", argc > 0 ? argv[0] : "conf_export");
    return 1;
  }
  // A file-size limit then fails the write (EFBIG) like a full file system,
  // instead of killing the export with its temporary file left behind.
  std::signal(SIGXFSZ, SIG_IGN);
  return export_settings(argv[1]);
}
