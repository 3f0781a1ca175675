// kestrune_is_mp_invocation over arbitrary argument vectors, against a model
// of the rule written with std::string.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "norvale.h"

namespace {

// The rule: after the program name, "--multiprocessing-fork" anywhere, or
// "-c" followed by code that starts with one of the two imports.
int32_t model(const std::vector<std::optional<std::string>>& args) {
  if (args.size() < 2) return 0;
  for (size_t i = 1; i < args.size(); ++i) {
    if (!args[i]) continue;
    if (*args[i] == "--multiprocessing-fork") return 1;
    if (*args[i] != "-c") continue;
    if (i + 1 == args.size()) return 0;
    const auto& code = args[i + 1];
    if (code && (code->starts_with("from multiprocessing.") ||
                 code->starts_with("import sys; from multiprocessing."))) {
      return 1;
    }
  }
  return 0;
}

const char* const kWords[] = {"--multiprocessing-fork", "-c", "from multiprocessing.",
                              "import sys; from multiprocessing.", "-B", "from multiprocessing"};

}  // namespace

// Entries are separated by 0x00; an entry that is the single byte 0x01 is
// a null pointer, and 0x02 k stands for word k of a small dictionary.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::optional<std::string>> args;
  std::string current;
  auto finish = [&] {
    if (current == "\x01") {
      args.emplace_back(std::nullopt);
    } else if (current.size() >= 2 && current[0] == '\x02') {
      args.emplace_back(kWords[static_cast<uint8_t>(current[1]) % std::size(kWords)] +
                        current.substr(2));
    } else {
      args.emplace_back(current);
    }
    current.clear();
  };
  for (size_t i = 0; i < size; ++i) {
    if (data[i] == 0) {
      finish();
    } else {
      current.push_back(static_cast<char>(data[i]));
    }
  }
  if (!current.empty() || size == 0) finish();

  std::vector<char*> argv;
  for (auto& arg : args) argv.push_back(arg ? arg->data() : nullptr);
  argv.push_back(nullptr);
  int32_t got = kestrune_is_mp_invocation(static_cast<int32_t>(args.size()), argv.data());
  if (got != model(args)) std::abort();
  return 0;
}
