// Stands at a launch target: writes how it was started (its argv[0], the
// file it runs from, its argument count) to DESKTOP_TEST_RECORD, a FIFO that
// the test reads.

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
  const char* record = std::getenv("DESKTOP_TEST_RECORD");
  if (record == nullptr) return 2;
  char exe[4096] = {};
  if (readlink("/proc/self/exe", exe, sizeof exe - 1) <= 0) return 3;
  std::FILE* out = std::fopen(record, "w");
  if (out == nullptr) return 4;
  std::fprintf(out, "argv0=%s\nexe=%s\nargc=%d\n", argv[0], exe, argc);
  return std::fclose(out) == 0 ? 0 : 5;
}
