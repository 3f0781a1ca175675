// A stand-in for the Dart VM's native ports: enough of the VM for native code
// that posts to Dart and for tests that read what was posted.

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>

#include "dart_api.h"
#include "dart_native_api.h"
#include "dart_version.h"
#include "dart_vm_standin.h"

namespace {

struct Port {
  std::mutex mutex;
  std::condition_variable changed;
  std::deque<standin_dart_message> queue;
  bool closed = false;
  Dart_NativeMessageHandler handler = nullptr;
  std::thread dispatcher;  // runs the handler, when there is one
};

struct Vm {
  std::mutex mutex;
  std::unordered_map<Dart_Port, std::shared_ptr<Port>> ports;
  Dart_Port next_port = 0x10000;
};

Vm& vm() {
  static Vm* instance = new Vm;  // never destroyed: ports may outlive main
  return *instance;
}

std::shared_ptr<Port> find_port(Dart_Port id) {
  Vm& v = vm();
  std::lock_guard lock(v.mutex);
  auto it = v.ports.find(id);
  return it != v.ports.end() ? it->second : nullptr;
}

// Copies a message as the VM does: typed data is copied, never borrowed.
bool copy_message(const Dart_CObject* message, standin_dart_message* out) {
  *out = standin_dart_message{};
  out->type = message->type;
  switch (message->type) {
    case Dart_CObject_kNull:
      return true;
    case Dart_CObject_kBool:
      out->as_int64 = message->value.as_bool ? 1 : 0;
      return true;
    case Dart_CObject_kInt32:
      out->as_int64 = message->value.as_int32;
      return true;
    case Dart_CObject_kInt64:
      out->as_int64 = message->value.as_int64;
      return true;
    case Dart_CObject_kTypedData: {
      const auto& data = message->value.as_typed_data;
      if (data.type != Dart_TypedData_kUint8 || data.length < 0) return false;
      if (data.length > 0 && data.values == nullptr) return false;
      out->element_type = data.type;
      out->length = data.length;
      out->bytes = static_cast<uint8_t*>(std::malloc(data.length > 0 ? data.length : 1));
      if (out->bytes == nullptr) return false;
      if (data.length > 0) std::memcpy(out->bytes, data.values, data.length);
      return true;
    }
    default:
      return false;
  }
}

Dart_CObject as_cobject(const standin_dart_message& message) {
  Dart_CObject object{};
  object.type = message.type;
  switch (message.type) {
    case Dart_CObject_kBool:
      object.value.as_bool = message.as_int64 != 0;
      break;
    case Dart_CObject_kInt32:
      object.value.as_int32 = static_cast<int32_t>(message.as_int64);
      break;
    case Dart_CObject_kInt64:
      object.value.as_int64 = message.as_int64;
      break;
    case Dart_CObject_kTypedData:
      object.value.as_typed_data.type = message.element_type;
      object.value.as_typed_data.length = message.length;
      object.value.as_typed_data.values = message.bytes;
      break;
    default:
      break;
  }
  return object;
}

void dispatch_messages(Dart_Port id, std::shared_ptr<Port> port) {
  std::unique_lock lock(port->mutex);
  for (;;) {
    port->changed.wait(lock, [&] { return port->closed || !port->queue.empty(); });
    if (port->closed) break;
    standin_dart_message message = port->queue.front();
    port->queue.pop_front();
    lock.unlock();
    Dart_CObject object = as_cobject(message);
    port->handler(id, &object);
    standin_dart_message_clear(&message);
    lock.lock();
  }
}

bool post(Dart_Port id, const Dart_CObject* message) {
  std::shared_ptr<Port> port = find_port(id);
  if (port == nullptr || message == nullptr) return false;
  standin_dart_message copy;
  if (!copy_message(message, &copy)) return false;
  {
    std::lock_guard lock(port->mutex);
    if (!port->closed) {
      port->queue.push_back(copy);
      port->changed.notify_all();
      return true;
    }
  }
  standin_dart_message_clear(&copy);
  return false;
}

}  // namespace

bool Dart_PostCObject(Dart_Port port_id, Dart_CObject* message) { return post(port_id, message); }

bool Dart_PostInteger(Dart_Port port_id, int64_t message) {
  Dart_CObject object{};
  object.type = Dart_CObject_kInt64;
  object.value.as_int64 = message;
  return post(port_id, &object);
}

Dart_Port Dart_NewNativePort(const char*, Dart_NativeMessageHandler handler, bool) {
  auto port = std::make_shared<Port>();
  port->handler = handler;
  Vm& v = vm();
  Dart_Port id;
  {
    std::lock_guard lock(v.mutex);
    id = v.next_port++;
    v.ports.emplace(id, port);
  }
  if (handler != nullptr) port->dispatcher = std::thread(dispatch_messages, id, port);
  return id;
}

bool Dart_CloseNativePort(Dart_Port native_port_id) {
  std::shared_ptr<Port> port = find_port(native_port_id);
  if (port == nullptr) return false;
  {
    std::lock_guard lock(port->mutex);
    if (port->closed) return false;
    port->closed = true;
    port->changed.notify_all();
  }
  if (port->dispatcher.joinable()) {
    // A handler may close its own port; its thread then ends by itself.
    if (port->dispatcher.get_id() == std::this_thread::get_id()) {
      port->dispatcher.detach();
    } else {
      port->dispatcher.join();
    }
  }
  return true;
}

// The stand-in runs no Dart code, so no thread ever has a current isolate,
// and every call that needs one ends the process as the VM does.
namespace {

[[noreturn]] void no_current_isolate(const char* function) {
  std::fprintf(stderr,
               "%s expects there to be a current isolate. Did you forget to call "
               "Dart_CreateIsolateGroup or Dart_EnterIsolate?\n",
               function);
  std::abort();
}

}  // namespace

bool Dart_IsError(Dart_Handle) { no_current_isolate(__func__); }
bool Dart_IsApiError(Dart_Handle) { no_current_isolate(__func__); }
bool Dart_IsUnhandledExceptionError(Dart_Handle) { no_current_isolate(__func__); }
bool Dart_IsCompilationError(Dart_Handle) { no_current_isolate(__func__); }
bool Dart_IsFatalError(Dart_Handle) { no_current_isolate(__func__); }
const char* Dart_GetError(Dart_Handle) { no_current_isolate(__func__); }
bool Dart_ErrorHasException(Dart_Handle) { no_current_isolate(__func__); }
Dart_Handle Dart_ErrorGetException(Dart_Handle) { no_current_isolate(__func__); }
Dart_Handle Dart_ErrorGetStackTrace(Dart_Handle) { no_current_isolate(__func__); }
Dart_Handle Dart_NewApiError(const char*) { no_current_isolate(__func__); }
Dart_Handle Dart_NewCompilationError(const char*) { no_current_isolate(__func__); }
Dart_Handle Dart_NewUnhandledExceptionError(Dart_Handle) { no_current_isolate(__func__); }
void Dart_PropagateError(Dart_Handle) { no_current_isolate(__func__); }
Dart_Handle Dart_HandleFromPersistent(Dart_PersistentHandle) { no_current_isolate(__func__); }
Dart_Handle Dart_HandleFromWeakPersistent(Dart_WeakPersistentHandle) {
  no_current_isolate(__func__);
}
Dart_PersistentHandle Dart_NewPersistentHandle(Dart_Handle) { no_current_isolate(__func__); }
void Dart_SetPersistentHandle(Dart_PersistentHandle, Dart_Handle) {
  no_current_isolate(__func__);
}
void Dart_DeletePersistentHandle(Dart_PersistentHandle) { no_current_isolate(__func__); }
Dart_WeakPersistentHandle Dart_NewWeakPersistentHandle(Dart_Handle, void*, intptr_t,
                                                       Dart_HandleFinalizer) {
  no_current_isolate(__func__);
}
void Dart_DeleteWeakPersistentHandle(Dart_WeakPersistentHandle) { no_current_isolate(__func__); }
Dart_FinalizableHandle Dart_NewFinalizableHandle(Dart_Handle, void*, intptr_t,
                                                 Dart_HandleFinalizer) {
  no_current_isolate(__func__);
}
void Dart_DeleteFinalizableHandle(Dart_FinalizableHandle, Dart_Handle) {
  no_current_isolate(__func__);
}

Dart_Isolate Dart_CurrentIsolate(void) { return nullptr; }
void Dart_ExitIsolate(void) { no_current_isolate(__func__); }

// No isolate handed out by this VM exists to be entered.
void Dart_EnterIsolate(Dart_Isolate) {
  std::fputs("Dart_EnterIsolate: the stand-in VM has no isolates\n", stderr);
  std::abort();
}

Dart_Port Dart_GetMainPortId(void) { no_current_isolate(__func__); }

// No thread owns an isolate here, whatever the port.
bool Dart_GetCurrentThreadOwnsIsolate(Dart_Port) { return false; }

bool Dart_Post(Dart_Port, Dart_Handle) { no_current_isolate(__func__); }
Dart_Handle Dart_NewSendPort(Dart_Port) { no_current_isolate(__func__); }
Dart_Handle Dart_NewSendPortEx(Dart_PortEx) { no_current_isolate(__func__); }
Dart_Handle Dart_SendPortGetId(Dart_Handle, Dart_Port*) { no_current_isolate(__func__); }
Dart_Handle Dart_SendPortGetIdEx(Dart_Handle, Dart_PortEx*) { no_current_isolate(__func__); }
void Dart_EnterScope(void) { no_current_isolate(__func__); }
void Dart_ExitScope(void) { no_current_isolate(__func__); }
bool Dart_IsNull(Dart_Handle) { no_current_isolate(__func__); }
Dart_Handle Dart_Null(void) { no_current_isolate(__func__); }

void* standin_dart_vm_api_dl_data(void) {
  // Every function of the current API version, in the VM's own order.
#define STANDIN_DART_API_ENTRY(name) {#name, reinterpret_cast<void (*)(void)>(name)}
  static const standin_dart_api_entry functions[] = {
      STANDIN_DART_API_ENTRY(Dart_PostCObject),
      STANDIN_DART_API_ENTRY(Dart_PostInteger),
      STANDIN_DART_API_ENTRY(Dart_NewNativePort),
      STANDIN_DART_API_ENTRY(Dart_CloseNativePort),
      STANDIN_DART_API_ENTRY(Dart_IsError),
      STANDIN_DART_API_ENTRY(Dart_IsApiError),
      STANDIN_DART_API_ENTRY(Dart_IsUnhandledExceptionError),
      STANDIN_DART_API_ENTRY(Dart_IsCompilationError),
      STANDIN_DART_API_ENTRY(Dart_IsFatalError),
      STANDIN_DART_API_ENTRY(Dart_GetError),
      STANDIN_DART_API_ENTRY(Dart_ErrorHasException),
      STANDIN_DART_API_ENTRY(Dart_ErrorGetException),
      STANDIN_DART_API_ENTRY(Dart_ErrorGetStackTrace),
      STANDIN_DART_API_ENTRY(Dart_NewApiError),
      STANDIN_DART_API_ENTRY(Dart_NewCompilationError),
      STANDIN_DART_API_ENTRY(Dart_NewUnhandledExceptionError),
      STANDIN_DART_API_ENTRY(Dart_PropagateError),
      STANDIN_DART_API_ENTRY(Dart_HandleFromPersistent),
      STANDIN_DART_API_ENTRY(Dart_HandleFromWeakPersistent),
      STANDIN_DART_API_ENTRY(Dart_NewPersistentHandle),
      STANDIN_DART_API_ENTRY(Dart_SetPersistentHandle),
      STANDIN_DART_API_ENTRY(Dart_DeletePersistentHandle),
      STANDIN_DART_API_ENTRY(Dart_NewWeakPersistentHandle),
      STANDIN_DART_API_ENTRY(Dart_DeleteWeakPersistentHandle),
      STANDIN_DART_API_ENTRY(Dart_NewFinalizableHandle),
      STANDIN_DART_API_ENTRY(Dart_DeleteFinalizableHandle),
      STANDIN_DART_API_ENTRY(Dart_CurrentIsolate),
      STANDIN_DART_API_ENTRY(Dart_ExitIsolate),
      STANDIN_DART_API_ENTRY(Dart_EnterIsolate),
      STANDIN_DART_API_ENTRY(Dart_Post),
      STANDIN_DART_API_ENTRY(Dart_NewSendPort),
      STANDIN_DART_API_ENTRY(Dart_NewSendPortEx),
      STANDIN_DART_API_ENTRY(Dart_SendPortGetId),
      STANDIN_DART_API_ENTRY(Dart_SendPortGetIdEx),
      STANDIN_DART_API_ENTRY(Dart_EnterScope),
      STANDIN_DART_API_ENTRY(Dart_ExitScope),
      STANDIN_DART_API_ENTRY(Dart_IsNull),
      STANDIN_DART_API_ENTRY(Dart_Null),
      STANDIN_DART_API_ENTRY(Dart_GetMainPortId),
      STANDIN_DART_API_ENTRY(Dart_GetCurrentThreadOwnsIsolate),
      {nullptr, nullptr},
  };
#undef STANDIN_DART_API_ENTRY
  static standin_dart_api_data data = {DART_API_DL_MAJOR_VERSION, DART_API_DL_MINOR_VERSION,
                                       functions};
  return &data;
}

bool standin_dart_vm_wait_message(Dart_Port id, int timeout_ms, standin_dart_message* out) {
  std::shared_ptr<Port> port = find_port(id);
  if (port == nullptr || port->handler != nullptr) return false;
  std::unique_lock lock(port->mutex);
  port->changed.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                         [&] { return port->closed || !port->queue.empty(); });
  if (port->queue.empty()) return false;
  *out = port->queue.front();
  port->queue.pop_front();
  return true;
}

void standin_dart_message_clear(standin_dart_message* message) {
  std::free(message->bytes);
  *message = standin_dart_message{};
}

int64_t standin_dart_vm_pending(Dart_Port id) {
  std::shared_ptr<Port> port = find_port(id);
  if (port == nullptr) return -1;
  std::lock_guard lock(port->mutex);
  return static_cast<int64_t>(port->queue.size());
}
