#ifndef TESTS_SUPPORT_DART_SIDE_H_
#define TESTS_SUPPORT_DART_SIDE_H_

// What the application's Dart code does with libnorvale, for C-side tests:
// bind the stand-in VM, make ports, build run requests, read what arrived.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "dart_vm_standin.h"
#include "norvale.h"

namespace norvale_test {

void bind_vm();
int64_t new_port();

// The next message on `port`: its integer (Int64 messages) or its bytes
// (Uint8 typed data); nullopt when nothing came in time or the kind differs.
std::optional<int64_t> wait_int(int64_t port, double timeout_seconds = 10);
std::optional<std::string> wait_bytes(int64_t port, double timeout_seconds = 10);

// A run request whose strings live as long as the object.
class RunRequest {
 public:
  RunRequest& source(std::string text);
  RunRequest& script(std::string path);
  RunRequest& program_name(std::string name);
  RunRequest& module_paths(std::vector<std::string> paths);
  RunRequest& env(std::string name, std::string value);
  RunRequest& exit_port(int64_t port);
  RunRequest& mode(int32_t value);

  int32_t run_sync();
  int32_t run_async();

 private:
  kestrune_run_config build(bool synchronous);

  int32_t mode_ = 0;
  std::optional<std::string> path_, source_, name_;
  std::optional<std::vector<std::string>> module_paths_;
  std::vector<std::string> env_names_, env_values_;
  int64_t exit_port_ = 0;
  std::vector<const char*> module_ptrs_, name_ptrs_, value_ptrs_;
};

// Delivers `payload` to `port` through Norvale_EnqueueMessage.
int deliver(int64_t port, const std::string& payload);

}  // namespace norvale_test

#endif  // TESTS_SUPPORT_DART_SIDE_H_
