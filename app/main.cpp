#include <cstdio>
int main(int argc, char** argv) {
  printf("%s %u.%02u.%u\n", "Orlumo converter", 1u, 24u, 166u);
  (void)argv;
  if (argc != 2) { puts("Converts maps from .mp (Polish format) to .qx\nusage: converter config_file"); return 1; }
  return 0;
}
