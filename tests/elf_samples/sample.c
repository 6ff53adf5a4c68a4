/* A program built with the device build's flags, for the ELF check's own test:
   the variants below break one property each. */
#include <stdio.h>
#include <stdlib.h>

#ifdef SAMPLE_TLS
static __thread int calls;
#else
static int calls;
#endif

int main(int argc, char **argv) {
  ++calls;
#ifdef SAMPLE_FPU
  /* One FPU move, with the object still marked soft-float. */
  __asm__ volatile(".set push\n.set hardfloat\nmtc1 $0, $f0\n.set pop\n");
#endif
  printf("%lu %d\n", argc > 1 ? strtoul(argv[1], 0, 0) : 0ul, calls);
  return 0;
}
