// Binding of the Dart VM's dynamically linked native API.

#include "dart_api_dl.h"

#include <cstddef>
#include <cstdio>
#include <cstring>

#include "norvale.h"

namespace {

// The VM's data block: a version and a table of named functions that ends
// at the first entry without a name.
struct DartApiEntry {
  const char* name;
  void (*function)(void);
};
struct DartApi {
  int32_t major;
  int32_t minor;
  const DartApiEntry* functions;
};
static_assert(sizeof(DartApiEntry) == 16 && offsetof(DartApiEntry, function) == 8);
static_assert(offsetof(DartApi, minor) == 4 && offsetof(DartApi, functions) == 8);

constexpr int32_t kSupportedMajorVersion = 2;

// The first entry whose name equals `name` exactly; a prefix is no match.
void (*FindFunctionPointer(const DartApiEntry* entries, const char* name))(void) {
  for (; entries->name != nullptr; ++entries) {
    if (std::strcmp(entries->name, name) == 0) return entries->function;
  }
  return nullptr;
}

}  // namespace

#define NORVALE_DART_DL_DEFINE(name, result, args) name##_Type name##_DL = nullptr;
NORVALE_DART_DL_FUNCTIONS(NORVALE_DART_DL_DEFINE)
NORVALE_DART_DL_DEPRECATED(NORVALE_DART_DL_DEFINE)
#undef NORVALE_DART_DL_DEFINE

void Dart_UpdateExternalSize_Deprecated(Dart_WeakPersistentHandle,
                                        intptr_t) {
  std::fputs("Dart_UpdateExternalSize is a nop, it has been deprecated\n", stdout);
}

void Dart_UpdateFinalizableExternalSize_Deprecated(Dart_FinalizableHandle,
                                                   Dart_Handle, intptr_t) {
  std::fputs("Dart_UpdateFinalizableExternalSize is a nop, it has been deprecated\n",
             stdout);
}

intptr_t Dart_InitializeApiDL(void* data) {
  // A NULL block cannot be the VM's; refuse it like a wrong version.
  if (data == nullptr) return -1;
  const auto* api = static_cast<const DartApi*>(data);
  if (api->major != kSupportedMajorVersion) return -1;
  const DartApiEntry* entries = api->functions;

#define NORVALE_DART_DL_BIND(name, result, args) \
  name##_DL = reinterpret_cast<name##_Type>(FindFunctionPointer(entries, #name));
  NORVALE_DART_DL_FUNCTIONS(NORVALE_DART_DL_BIND)
#undef NORVALE_DART_DL_BIND

  Dart_UpdateExternalSize_DL = Dart_UpdateExternalSize_Deprecated;
  Dart_UpdateFinalizableExternalSize_DL = Dart_UpdateFinalizableExternalSize_Deprecated;
  return 0;
}

intptr_t Norvale_InitDartApiDL(void* data) { return Dart_InitializeApiDL(data); }
