// kvx-mp: the headless station. The production commands arrive with the
// terminal front end; until then it reports what it is and exits.
#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
  if (argc > 1 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
    std::puts("usage: kvx-mp [--home DIR] [--sim N | --sim-profile FILE] <command> [options]");
    return 0;
  }
  std::fputs("kvx-mp: the production commands are not built yet\n", stderr);
  return 2;
}
