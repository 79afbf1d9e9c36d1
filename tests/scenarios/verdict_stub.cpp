// Stands in for a scenario run that ends in a given way, for the test of the
// verdict check: prints the first lines of a run, then the verdict ("passed",
// "failed" or "none"), and ends with the given exit code the way the
// wineserver ends a process, without the runtime's own exit.
//   verdict_stub VERDICT EXITCODE
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  std::printf("> start\n> wait 600\n");
  if (std::strcmp(argv[1], "passed") == 0) std::printf("scenario passed\n");
  if (std::strcmp(argv[1], "failed") == 0) std::printf("scenario FAILED: 1 failure(s)\n");
  std::fflush(stdout);
  TerminateProcess(GetCurrentProcess(), static_cast<UINT>(std::atoi(argv[2])));
  return 3;
}
