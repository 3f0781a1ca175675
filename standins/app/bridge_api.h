#ifndef STANDINS_APP_BRIDGE_API_H_
#define STANDINS_APP_BRIDGE_API_H_

// libnorvale as the application's Dart code reaches it: opened by name and
// called through its exports, never linked.

#include <cstdint>
#include <optional>
#include <string>

#include "norvale.h"

namespace standin_app {

struct BridgeApi {
  intptr_t (*init_dart_api_dl)(void* data);
  int32_t (*run)(const kestrune_run_config* config);
  int (*enqueue_message)(int64_t port, const uint8_t* data, int64_t length);
  int (*is_python_initialized)();
};

// The exports of "libnorvale.so", or nullopt with the reason in `error`.
// The library stays open for the life of the process.
std::optional<BridgeApi> open_bridge(std::string* error);

}  // namespace standin_app

#endif  // STANDINS_APP_BRIDGE_API_H_
