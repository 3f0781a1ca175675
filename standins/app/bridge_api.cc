#include "bridge_api.h"

#include <dlfcn.h>

namespace standin_app {

namespace {

template <typename Function>
bool look_up(void* library, const char* name, Function* out, std::string* error) {
  *out = reinterpret_cast<Function>(dlsym(library, name));
  if (*out == nullptr) *error = std::string("libnorvale.so has no ") + name;
  return *out != nullptr;
}

}  // namespace

std::optional<BridgeApi> open_bridge(std::string* error) {
  void* library = dlopen("libnorvale.so", RTLD_NOW);
  if (library == nullptr) {
    const char* reason = dlerror();
    *error = reason != nullptr ? reason : "cannot open libnorvale.so";
    return std::nullopt;
  }
  BridgeApi api{};
  if (!look_up(library, "Norvale_InitDartApiDL", &api.init_dart_api_dl, error) ||
      !look_up(library, "kestrune_run", &api.run, error) ||
      !look_up(library, "Norvale_EnqueueMessage", &api.enqueue_message, error) ||
      !look_up(library, "norvale_is_python_initialized", &api.is_python_initialized, error)) {
    return std::nullopt;
  }
  return api;
}

}  // namespace standin_app
