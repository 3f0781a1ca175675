// quote_exec_argument the whole way an "Exec" value travels: quoted, with
// " %U" after it, stored in a key file, written out, read back by a fresh
// key file and split by the Desktop Entry rules, the argument must come back
// exactly, as one argument. GLib's shell parser, through which
// GDesktopAppInfo reads the line, must agree.
//
// The domain is what installation quotes: a C string (the input up to its
// first NUL) that is valid UTF-8 and holds no '%'. Outside it installation
// creates nothing at all, not even the runtime area; and each exclusion has
// its reason, checked here too: a key-file reader refuses a value that is
// not UTF-8, and a '%' inside a quoted argument has no defined meaning.

#include <glib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "desktop_integration.h"
#include "desktop_internal.h"

namespace {

void require(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "fuzz_quote_exec_argument: %s\n", what);
  std::abort();
}

// Splits an Exec value into its arguments by the Desktop Entry rules, or
// nullopt where the value breaks them. Arguments are separated by spaces.
// A quoted argument is quoted whole; inside the quotes '"', '`', '$' and
// '\' appear only escaped by a backslash, a backslash escapes nothing else,
// and a '%' has no defined meaning. An unquoted argument holds no reserved
// character. Field codes are kept as they are.
std::optional<std::vector<std::string>> split_exec(std::string_view value) {
  constexpr std::string_view kEscaped = "\"`$\\";
  constexpr std::string_view kReserved = " \t\n\"'\\><~|&;$*?#()`";
  std::vector<std::string> arguments;
  size_t i = 0;
  while (i < value.size()) {
    if (value[i] == ' ') {
      ++i;
      continue;
    }
    std::string argument;
    if (value[i] == '"') {
      for (++i;; ++i) {
        if (i == value.size()) return std::nullopt;
        char c = value[i];
        if (c == '"') break;
        if (c == '`' || c == '$' || c == '%') return std::nullopt;
        if (c == '\\') {
          if (++i == value.size() || kEscaped.find(value[i]) == std::string_view::npos) {
            return std::nullopt;
          }
          c = value[i];
        }
        argument.push_back(c);
      }
      ++i;
      if (i < value.size() && value[i] != ' ') return std::nullopt;
    } else {
      for (; i < value.size() && value[i] != ' '; ++i) {
        if (kReserved.find(value[i]) != std::string_view::npos) return std::nullopt;
        argument.push_back(value[i]);
      }
    }
    arguments.push_back(std::move(argument));
  }
  return arguments;
}

// `exec` as a fresh key file reads it back from what another one wrote;
// nullopt, with `error` set, when the reader refuses it.
std::optional<std::string> through_key_file(const std::string& exec, GError** error) {
  g_autoptr(GKeyFile) writer = g_key_file_new();
  g_key_file_set_string(writer, "Desktop Entry", "Exec", exec.c_str());
  gsize length = 0;
  g_autofree char* text = g_key_file_to_data(writer, &length, nullptr);
  g_autoptr(GKeyFile) reader = g_key_file_new();
  if (!g_key_file_load_from_data(reader, text, length, G_KEY_FILE_NONE, error)) {
    return std::nullopt;
  }
  g_autofree char* value = g_key_file_get_string(reader, "Desktop Entry", "Exec", error);
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

std::optional<std::vector<std::string>> shell_split(const std::string& line) {
  int argc = 0;
  g_auto(GStrv) argv = nullptr;
  if (!g_shell_parse_argv(line.c_str(), &argc, &argv, nullptr)) return std::nullopt;
  return std::vector<std::string>(argv, argv + argc);
}

// A scratch tree for the runtime and data directories, so that an
// installation that went ahead by mistake shows and harms nothing.
std::string g_scratch;

void remove_scratch() { rmdir(g_scratch.c_str()); }

bool installation_creates_nothing(const std::string& argument) {
  install_desktop_entry(argument.c_str());
  g_autofree char* runtime = g_build_filename(g_scratch.c_str(), "run", nullptr);
  g_autofree char* data = g_build_filename(g_scratch.c_str(), "data", nullptr);
  return access(runtime, F_OK) != 0 && access(data, F_OK) != 0;
}

void check_in_domain(const std::string& argument, const std::string& exec) {
  g_autoptr(GError) error = nullptr;
  std::optional<std::string> read_back = through_key_file(exec, &error);
  require(read_back.has_value(), "the key file refused a value in the domain");
  require(*read_back == exec, "the key file changed the value");
  const std::vector<std::string> expected = {argument, "%U"};
  require(split_exec(*read_back) == expected, "the Exec rules did not give the argument back");
  require(shell_split(*read_back) == expected, "GLib's shell parser did not give it back");
}

void check_outside_domain(const std::string& argument, const std::string& exec, bool utf8) {
  require(installation_creates_nothing(argument), "installation went ahead outside the domain");
  g_autoptr(GError) error = nullptr;
  std::optional<std::string> read_back = through_key_file(exec, &error);
  if (!utf8) {
    require(!read_back && g_error_matches(error, G_KEY_FILE_ERROR,
                                          G_KEY_FILE_ERROR_UNKNOWN_ENCODING),
            "a value that is not UTF-8 was read back");
  } else {
    require(read_back == exec, "the key file changed the value");
    require(!split_exec(*read_back), "a '%' inside quotes was taken for defined");
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  char pattern[] = "/tmp/fuzz-quote-XXXXXX";
  if (mkdtemp(pattern) == nullptr) std::abort();
  g_scratch = pattern;
  std::atexit(remove_scratch);
  g_setenv("XDG_RUNTIME_DIR", (g_scratch + "/run").c_str(), TRUE);
  g_setenv("XDG_DATA_HOME", (g_scratch + "/data").c_str(), TRUE);
  for (const char* name : {"FLATPAK_ID", "SNAP", "APPIMAGE"}) g_unsetenv(name);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const char* bytes = reinterpret_cast<const char*>(data);
  const std::string argument(bytes, strnlen(bytes, size));
  g_autofree char* quoted = quote_exec_argument(argument.c_str());
  const std::string exec = std::string(quoted) + " %U";
  const bool utf8 = g_utf8_validate(argument.data(), static_cast<gssize>(argument.size()), nullptr);
  if (utf8 && argument.find('%') == std::string::npos) {
    check_in_domain(argument, exec);
  } else {
    check_outside_domain(argument, exec, utf8);
  }
  return 0;
}
