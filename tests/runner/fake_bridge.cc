// A libnorvale with some of the entries that runner's start looks up, to
// see which it needs and what it does with them. Built in variants:
//   FAKE_CHECK_RESULT  defined: kestrune_is_mp_invocation exists and returns it
//   FAKE_MAIN          defined: kestrune_main exists
// Each entry says on standard error that it was called.

#include <cstdint>
#include <cstdio>

extern "C" {

#ifdef FAKE_CHECK_RESULT
__attribute__((visibility("default"))) int32_t kestrune_is_mp_invocation(int32_t, char**) {
  std::fputs("fake kestrune_is_mp_invocation called\n", stderr);
  return FAKE_CHECK_RESULT;
}
#endif

#ifdef FAKE_MAIN
// Prints the command line it was given and ends the process with 42.
__attribute__((visibility("default"))) int32_t kestrune_main(int32_t argc, char** argv) {
  std::fputs("fake kestrune_main called\n", stderr);
  std::printf("%d", argc);
  for (int32_t i = 1; i < argc; ++i) std::printf(" [%s]", argv[i]);
  std::printf("\n");
  return 42;
}
#endif

}  // extern "C"
