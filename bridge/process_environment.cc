// Changes to the process environment while other threads may read it.
//
// The host's threads (GLib's worker and D-Bus threads among them) call
// getenv at any time, and setenv or unsetenv may move or rewrite the array
// under them: the C library makes no promise for that. Here a change builds
// a whole new array and publishes it with one store; the arrays and strings
// it replaces are never freed, so that a reader still walking one finds it
// intact. The cost is a few bytes per change, and changes are rare: a
// session's start and a request for fresh ports.

#include <cstdlib>
#include <cstring>
#include <mutex>

#include "norvale_internal.h"

extern char** environ;

namespace {

std::mutex g_writers;

// Every array published here, newest first: kept, never freed.
struct published_array {
  char** entries;
  published_array* older;
};
published_array* g_published = nullptr;

bool names_variable(const char* entry, const char* name, size_t name_length) {
  return std::strncmp(entry, name, name_length) == 0 && entry[name_length] == '=';
}

// The current entries without `name`'s, plus `added` when it is not NULL.
bool publish_without(const char* name, char* added) {
  const size_t name_length = std::strlen(name);
  char** current = environ;
  size_t count = 0;
  if (current != nullptr) {
    while (current[count] != nullptr) ++count;
  }
  auto** next = static_cast<char**>(std::calloc(count + 2, sizeof(char*)));
  auto* record = static_cast<published_array*>(std::malloc(sizeof(published_array)));
  if (next == nullptr || record == nullptr) {
    std::free(next);
    std::free(record);
    return false;
  }
  *record = {next, g_published};
  g_published = record;
  size_t kept = 0;
  for (size_t i = 0; i < count; ++i) {
    if (!names_variable(current[i], name, name_length)) next[kept++] = current[i];
  }
  if (added != nullptr) next[kept++] = added;
  next[kept] = nullptr;
  __atomic_store_n(&environ, next, __ATOMIC_RELEASE);
  return true;
}

bool valid_name(const char* name) {
  return name != nullptr && *name != '\0' && std::strchr(name, '=') == nullptr;
}

}  // namespace

bool process_environment_set(const char* name, const char* value) {
  if (!valid_name(name) || value == nullptr) return false;
  const size_t name_length = std::strlen(name);
  const size_t value_length = std::strlen(value);
  auto* entry = static_cast<char*>(std::malloc(name_length + value_length + 2));
  if (entry == nullptr) return false;
  std::memcpy(entry, name, name_length);
  entry[name_length] = '=';
  std::memcpy(entry + name_length + 1, value, value_length + 1);
  std::lock_guard<std::mutex> lock(g_writers);
  if (publish_without(name, entry)) return true;
  std::free(entry);
  return false;
}

bool process_environment_unset(const char* name) {
  if (!valid_name(name)) return false;
  std::lock_guard<std::mutex> lock(g_writers);
  if (std::getenv(name) == nullptr) return true;
  return publish_without(name, nullptr);
}
