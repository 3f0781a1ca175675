// Dart_InitializeApiDL over arbitrary, well-formed data blocks: every
// variable must hold the address of the first entry with exactly its name,
// or NULL, and a refused block must change nothing.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "dart_api_dl.h"

namespace {

using Fn = void (*)(void);

#define NAME_ENTRY(name, result, args) #name,
const char* const kNames[] = {NORVALE_DART_DL_FUNCTIONS(NAME_ENTRY)};
#undef NAME_ENTRY

#define VALUE_ENTRY(name, result, args) reinterpret_cast<Fn>(name##_DL),
std::vector<Fn> bound_values() { return {NORVALE_DART_DL_FUNCTIONS(VALUE_ENTRY)}; }
#undef VALUE_ENTRY

struct Entry {
  const char* name;
  Fn function;
};
struct Block {
  int32_t major;
  int32_t minor;
  const Entry* functions;
};

Fn address(size_t i) {
  static char marks[4096];
  return reinterpret_cast<Fn>(&marks[i % sizeof marks]);
}

}  // namespace

// Byte 0: the major version (2 for most values). Then one byte per entry:
// which known name it carries, or, with the high bit set, a name changed by
// the next byte (cut short, lengthened, or its case changed).
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  int32_t major = data[0] < 200 ? 2 : static_cast<int32_t>(data[0]) - 200;
  std::vector<std::string> names;
  for (size_t i = 1; i < size; ++i) {
    std::string name = kNames[(data[i] & 0x7f) % std::size(kNames)];
    if ((data[i] & 0x80) != 0 && i + 1 < size) {
      uint8_t change = data[++i];
      if (change % 3 == 0) name.resize(change % name.size());
      if (change % 3 == 1) name.push_back(static_cast<char>('A' + change % 26));
      if (change % 3 == 2) name[change % name.size()] ^= 0x20;
    }
    names.push_back(name);
  }
  std::vector<Entry> entries;
  for (size_t i = 0; i < names.size(); ++i) entries.push_back({names[i].c_str(), address(i)});
  entries.push_back({nullptr, nullptr});
  Block block = {major, 0, entries.data()};

  std::vector<Fn> before = bound_values();
  intptr_t result = Dart_InitializeApiDL(&block);
  std::vector<Fn> after = bound_values();
  if (major != 2) {
    if (result != -1 || after != before) std::abort();
    return 0;
  }
  if (result != 0) std::abort();
  for (size_t k = 0; k < std::size(kNames); ++k) {
    Fn expected = nullptr;
    for (size_t i = 0; i < names.size(); ++i) {
      if (names[i] == kNames[k]) {
        expected = address(i);
        break;
      }
    }
    if (after[k] != expected) std::abort();
  }
  if (reinterpret_cast<Fn>(Dart_UpdateExternalSize_DL) !=
      reinterpret_cast<Fn>(Dart_UpdateExternalSize_Deprecated)) {
    std::abort();
  }
  return 0;
}
