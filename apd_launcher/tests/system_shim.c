/* Preloaded into apd_launcher by its end-to-end tests: each command handed to
 * system() is appended, exactly as given, as one line to the file named by
 * APD_SYSTEM_LOG, and then run by the C library. The stand-ins see only the
 * arguments the shell makes of it; this sees the redirections too. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>

int system(const char* command) {
  const char* log = getenv("APD_SYSTEM_LOG");
  if (log && command) {
    FILE* f = fopen(log, "a");
    if (f) {
      fprintf(f, "%s\n", command);
      fclose(f);
    }
  }
  int (*real)(const char*) = (int (*)(const char*))dlsym(RTLD_NEXT, "system");
  return real ? real(command) : -1;
}
