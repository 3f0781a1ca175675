#include "dart_side.h"

namespace norvale_test {

void bind_vm() { Norvale_InitDartApiDL(standin_dart_vm_api_dl_data()); }

int64_t new_port() { return Dart_NewNativePort("test", nullptr, false); }

namespace {

std::optional<standin_dart_message> wait_message(int64_t port, double timeout_seconds) {
  standin_dart_message message{};
  if (!standin_dart_vm_wait_message(port, static_cast<int>(timeout_seconds * 1000), &message)) {
    return std::nullopt;
  }
  return message;
}

}  // namespace

std::optional<int64_t> wait_int(int64_t port, double timeout_seconds) {
  auto message = wait_message(port, timeout_seconds);
  if (!message) return std::nullopt;
  std::optional<int64_t> value;
  if (message->type == Dart_CObject_kInt64) value = message->as_int64;
  standin_dart_message_clear(&*message);
  return value;
}

std::optional<std::string> wait_bytes(int64_t port, double timeout_seconds) {
  auto message = wait_message(port, timeout_seconds);
  if (!message) return std::nullopt;
  std::optional<std::string> bytes;
  if (message->type == Dart_CObject_kTypedData && message->element_type == Dart_TypedData_kUint8) {
    bytes = std::string(reinterpret_cast<const char*>(message->bytes),
                        static_cast<size_t>(message->length));
  }
  standin_dart_message_clear(&*message);
  return bytes;
}

RunRequest& RunRequest::source(std::string text) {
  mode_ = 1;
  source_ = std::move(text);
  return *this;
}
RunRequest& RunRequest::script(std::string path) {
  mode_ = 0;
  path_ = std::move(path);
  return *this;
}
RunRequest& RunRequest::program_name(std::string name) {
  name_ = std::move(name);
  return *this;
}
RunRequest& RunRequest::module_paths(std::vector<std::string> paths) {
  module_paths_ = std::move(paths);
  return *this;
}
RunRequest& RunRequest::env(std::string name, std::string value) {
  env_names_.push_back(std::move(name));
  env_values_.push_back(std::move(value));
  return *this;
}
RunRequest& RunRequest::exit_port(int64_t port) {
  exit_port_ = port;
  return *this;
}
RunRequest& RunRequest::mode(int32_t value) {
  mode_ = value;
  return *this;
}

kestrune_run_config RunRequest::build(bool synchronous) {
  auto pointers = [](std::vector<std::string>& strings, std::vector<const char*>& out) {
    out.clear();
    for (std::string& s : strings) out.push_back(s.c_str());
    out.push_back(nullptr);
  };
  kestrune_run_config config{};
  config.mode = mode_;
  config.script_path = path_ ? path_->c_str() : nullptr;
  config.script_source = source_ ? source_->c_str() : nullptr;
  config.program_name = name_ ? name_->c_str() : nullptr;
  if (module_paths_) {
    pointers(*module_paths_, module_ptrs_);
    config.module_paths = module_ptrs_.data();
  }
  if (!env_names_.empty()) {
    pointers(env_names_, name_ptrs_);
    pointers(env_values_, value_ptrs_);
    config.env_names = name_ptrs_.data();
    config.env_values = value_ptrs_.data();
  }
  config.synchronous = synchronous ? 1 : 0;
  config.exit_port = exit_port_;
  return config;
}

int32_t RunRequest::run_sync() {
  kestrune_run_config config = build(true);
  return kestrune_run(&config);
}

int32_t RunRequest::run_async() {
  kestrune_run_config config = build(false);
  return kestrune_run(&config);
}

int deliver(int64_t port, const std::string& payload) {
  return Norvale_EnqueueMessage(port, reinterpret_cast<const uint8_t*>(payload.data()),
                                static_cast<int64_t>(payload.size()));
}

}  // namespace norvale_test
