// The copies that a run request makes of the caller's configuration, over
// arbitrary arrays: every string copied exactly into memory of its own, the
// counts right, and nothing leaked (LeakSanitizer watches the frees).

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "norvale_internal.h"

namespace {

struct Arrays {
  std::vector<std::vector<std::string>> strings;  // five arrays
  std::vector<bool> present;
};

// Bytes split into five arrays by 0x01, strings split by 0x00; an array
// that is the single byte 0x02 is absent (a null pointer).
Arrays parse(const uint8_t* data, size_t size) {
  Arrays a;
  a.strings.resize(1);
  a.strings[0].emplace_back();
  for (size_t i = 0; i < size && a.strings.size() <= 5; ++i) {
    if (data[i] == 1) {
      a.strings.emplace_back();
      a.strings.back().emplace_back();
    } else if (data[i] == 0) {
      a.strings.back().emplace_back();
    } else {
      a.strings.back().back().push_back(static_cast<char>(data[i]));
    }
  }
  a.strings.resize(5);
  for (auto& array : a.strings) {
    bool absent = array.size() == 1 && array[0] == "\x02";
    a.present.push_back(!absent);
    if (absent) array.clear();
    if (!array.empty() && array.back().empty()) array.pop_back();
  }
  return a;
}

void check_copy(char* const* copy, const std::vector<std::string>& source,
                const char* const* original) {
  if (copy == nullptr) std::abort();
  for (size_t i = 0; i < source.size(); ++i) {
    if (copy[i] == nullptr || copy[i] == original[i] || source[i] != copy[i]) std::abort();
  }
  if (copy[source.size()] != nullptr) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Arrays a = parse(data, size);
  std::vector<std::vector<const char*>> pointers(5);
  for (size_t k = 0; k < 5; ++k) {
    for (const std::string& s : a.strings[k]) pointers[k].push_back(s.c_str());
    pointers[k].push_back(nullptr);
  }
  auto array = [&](size_t k) { return a.present[k] ? pointers[k].data() : nullptr; };

  size_t count = 99;
  char** copy = dup_string_array(array(0), &count);
  if (!a.present[0]) {
    if (copy != nullptr || count != 0) std::abort();
  } else {
    check_copy(copy, a.strings[0], pointers[0].data());
    if (count != a.strings[0].size()) std::abort();
  }
  for (char** p = copy; p != nullptr && *p != nullptr; ++p) std::free(*p);
  std::free(copy);

  const std::string& first = a.strings[4].empty() ? std::string() : a.strings[4][0];
  kestrune_run_config config{};
  config.mode = static_cast<int32_t>(size);
  config.script_path = a.present[4] ? first.c_str() : nullptr;
  config.script_source = a.present[3] && !a.strings[3].empty() ? a.strings[3][0].c_str() : nullptr;
  config.program_name = a.present[2] && !a.strings[2].empty() ? a.strings[2][0].c_str() : nullptr;
  config.module_paths = array(0);
  config.env_names = array(1);
  config.env_values = array(2);
  config.exit_port = static_cast<int64_t>(size) * 7;
  kestrune_state* state = kestrune_state_copy(&config);
  if (state == nullptr || state->mode != config.mode || state->exit_port != config.exit_port) {
    std::abort();
  }
  auto same_string = [](const char* copied, const char* original) {
    if (original == nullptr) return copied == nullptr;
    return copied != nullptr && copied != original && std::strcmp(copied, original) == 0;
  };
  if (!same_string(state->script_path, config.script_path) ||
      !same_string(state->script_source, config.script_source) ||
      !same_string(state->program_name, config.program_name)) {
    std::abort();
  }
  if (a.present[0]) {
    check_copy(state->module_paths, a.strings[0], pointers[0].data());
    if (state->module_path_count != a.strings[0].size()) std::abort();
  } else if (state->module_paths != nullptr || state->module_path_count != 0) {
    std::abort();
  }
  bool both = a.present[1] && a.present[2];
  size_t pairs = both ? std::min(a.strings[1].size(), a.strings[2].size()) : 0;
  if (state->env_count != pairs) std::abort();
  if (both) {
    check_copy(state->env_names, a.strings[1], pointers[1].data());
    check_copy(state->env_values, a.strings[2], pointers[2].data());
  } else if (state->env_names != nullptr || state->env_values != nullptr) {
    std::abort();
  }
  kestrune_state_free(state);
  return 0;
}
