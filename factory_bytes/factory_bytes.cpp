// factory_bytes g <offset> <size> | s <offset> <byte0 byte1 ...>
#include "factory_bytes.h"

int main(int argc, char** argv) {
  if (argc >= 4 && argv[1][0] == 'g') return handle_get(argc, argv);
  if (argc >= 4 && argv[1][0] == 's') return handle_set(argc, argv);
  usage(argc > 0 && argv[0] ? argv[0] : "factory_bytes");
  return 1;
}
