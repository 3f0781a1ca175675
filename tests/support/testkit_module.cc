// _norvale_testkit: test equipment inside the embedded interpreter. It plays
// the Dart side from native threads that have no Python thread state, and
// reads what reached the stand-in VM's ports.

#include "testkit_module.h"

#include <Python.h>

#include <string>
#include <thread>
#include <vector>

#include "dart_vm_standin.h"
#include "norvale.h"

namespace {

// Runs `work` on a fresh native thread while the caller gives up the GIL.
template <typename Work>
void on_native_thread(Work work) {
  PyThreadState* saved = PyEval_SaveThread();
  std::thread(work).join();
  PyEval_RestoreThread(saved);
}

PyObject* testkit_new_port(PyObject*, PyObject*) {
  return PyLong_FromLongLong(Dart_NewNativePort("testkit", nullptr, false));
}

PyObject* testkit_close_port(PyObject*, PyObject* args) {
  long long port = 0;
  if (!PyArg_ParseTuple(args, "L", &port)) return nullptr;
  return PyBool_FromLong(Dart_CloseNativePort(port) ? 1 : 0);
}

PyObject* testkit_pending(PyObject*, PyObject* args) {
  long long port = 0;
  if (!PyArg_ParseTuple(args, "L", &port)) return nullptr;
  return PyLong_FromLongLong(standin_dart_vm_pending(port));
}

// None when nothing came in time; (kind, element_type, bytes) for typed
// data; (kind, 0, int) for integers.
PyObject* testkit_wait_message(PyObject*, PyObject* args) {
  long long port = 0;
  double timeout = 5.0;
  if (!PyArg_ParseTuple(args, "L|d", &port, &timeout)) return nullptr;
  standin_dart_message message{};
  bool got = false;
  Py_BEGIN_ALLOW_THREADS
  got = standin_dart_vm_wait_message(port, static_cast<int>(timeout * 1000), &message);
  Py_END_ALLOW_THREADS
  if (!got) Py_RETURN_NONE;
  PyObject* result;
  if (message.type == Dart_CObject_kTypedData) {
    result = Py_BuildValue("(iiy#)", static_cast<int>(message.type),
                           static_cast<int>(message.element_type),
                           reinterpret_cast<const char*>(message.bytes),
                           static_cast<Py_ssize_t>(message.length));
  } else {
    result = Py_BuildValue("(iiL)", static_cast<int>(message.type), 0,
                           static_cast<long long>(message.as_int64));
  }
  standin_dart_message_clear(&message);
  return result;
}

// deliver(port, payload, length=-1, threads=1, count=1) -> [results]
// Each of `threads` native threads calls Norvale_EnqueueMessage `count`
// times. A payload of None passes a NULL data pointer; a length of -1 means
// the payload's own length.
PyObject* testkit_deliver(PyObject*, PyObject* args) {
  long long port = 0;
  PyObject* payload = nullptr;
  long long length = -1;
  int threads = 1;
  int count = 1;
  if (!PyArg_ParseTuple(args, "LO|Lii", &port, &payload, &length, &threads, &count)) {
    return nullptr;
  }
  const char* data = nullptr;
  Py_ssize_t size = 0;
  if (payload != Py_None && PyBytes_AsStringAndSize(payload, const_cast<char**>(&data), &size) != 0) {
    return nullptr;
  }
  if (length == -1) length = size;
  std::vector<int> results(static_cast<size_t>(threads) * static_cast<size_t>(count));
  on_native_thread([&] {
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
      workers.emplace_back([&, t] {
        for (int i = 0; i < count; ++i) {
          results[static_cast<size_t>(t) * static_cast<size_t>(count) + static_cast<size_t>(i)] =
              Norvale_EnqueueMessage(port, reinterpret_cast<const uint8_t*>(data), length);
        }
      });
    }
    for (std::thread& worker : workers) worker.join();
  });
  PyObject* list = PyList_New(0);
  if (list == nullptr) return nullptr;
  for (int r : results) {
    PyObject* item = PyLong_FromLong(r);
    if (item == nullptr || PyList_Append(list, item) != 0) {
      Py_XDECREF(item);
      Py_DECREF(list);
      return nullptr;
    }
    Py_DECREF(item);
  }
  return list;
}

// signal_session([label bytes or None, ...], [port, ...]) from a native thread.
PyObject* testkit_signal_session(PyObject*, PyObject* args) {
  PyObject* labels = nullptr;
  PyObject* ports = nullptr;
  if (!PyArg_ParseTuple(args, "OO", &labels, &ports)) return nullptr;
  Py_ssize_t n = PyList_Size(labels);
  if (n < 0 || PyList_Size(ports) != n) {
    PyErr_SetString(PyExc_ValueError, "two lists of the same length expected");
    return nullptr;
  }
  std::vector<std::string> label_text(static_cast<size_t>(n));
  std::vector<const char*> label_ptrs(static_cast<size_t>(n));
  std::vector<int64_t> port_values(static_cast<size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* label = PyList_GetItem(labels, i);
    if (label != Py_None) {
      char* text = nullptr;
      Py_ssize_t size = 0;
      if (PyBytes_AsStringAndSize(label, &text, &size) != 0) return nullptr;
      label_text[static_cast<size_t>(i)].assign(text, static_cast<size_t>(size));
      label_ptrs[static_cast<size_t>(i)] = label_text[static_cast<size_t>(i)].c_str();
    }
    port_values[static_cast<size_t>(i)] = PyLong_AsLongLong(PyList_GetItem(ports, i));
    if (PyErr_Occurred() != nullptr) return nullptr;
  }
  on_native_thread([&] {
    norvale_signal_dart_session(static_cast<int32_t>(n), label_ptrs.data(), port_values.data());
  });
  Py_RETURN_NONE;
}

bool refuse_every_post(Dart_Port, Dart_CObject*) { return false; }

// What the last post to a "recording" block carried, as the VM saw it.
struct RecordedPost {
  long long port = 0;
  int type = -1;
  int element_type = -1;
  long long length = -1;
  std::string bytes;
};
RecordedPost g_last_post;

bool record_post(Dart_Port port, Dart_CObject* message) {
  g_last_post.port = port;
  g_last_post.type = message->type;
  g_last_post.element_type = message->value.as_typed_data.type;
  g_last_post.length = message->value.as_typed_data.length;
  g_last_post.bytes.assign(reinterpret_cast<const char*>(message->value.as_typed_data.values),
                           static_cast<size_t>(message->value.as_typed_data.length));
  return true;
}

// (port, type, element_type, length, bytes) of the last recorded post.
PyObject* testkit_last_post(PyObject*, PyObject*) {
  return Py_BuildValue("(LiiLy#)", g_last_post.port, g_last_post.type, g_last_post.element_type,
                       g_last_post.length, g_last_post.bytes.data(),
                       static_cast<Py_ssize_t>(g_last_post.bytes.size()));
}

// bind(kind) binds the Dart API from a block: "vm" the stand-in VM's own,
// "empty" a version-2 block without functions, "refusing" one whose
// Dart_PostCObject refuses every message, "recording" one whose
// Dart_PostCObject only records what it got, "v3" a block of another version.
// Returns Norvale_InitDartApiDL's result.
PyObject* testkit_bind(PyObject*, PyObject* args) {
  const char* kind = nullptr;
  if (!PyArg_ParseTuple(args, "s", &kind)) return nullptr;
  static const standin_dart_api_entry no_functions[] = {{nullptr, nullptr}};
  static const standin_dart_api_entry refusing_functions[] = {
      {"Dart_PostCObject", reinterpret_cast<void (*)(void)>(refuse_every_post)},
      {nullptr, nullptr}};
  static const standin_dart_api_entry recording_functions[] = {
      {"Dart_PostCObject", reinterpret_cast<void (*)(void)>(record_post)}, {nullptr, nullptr}};
  static standin_dart_api_data recording = {2, 0, recording_functions};
  static standin_dart_api_data empty = {2, 0, no_functions};
  static standin_dart_api_data refusing = {2, 0, refusing_functions};
  static standin_dart_api_data v3 = {3, 0, no_functions};
  std::string k = kind;
  void* block = k == "vm"         ? standin_dart_vm_api_dl_data()
                : k == "empty"    ? static_cast<void*>(&empty)
                : k == "refusing" ? static_cast<void*>(&refusing)
                : k == "recording" ? static_cast<void*>(&recording)
                : k == "v3"       ? static_cast<void*>(&v3)
                                  : nullptr;
  if (block == nullptr) {
    PyErr_SetString(PyExc_ValueError, "unknown block kind");
    return nullptr;
  }
  return PyLong_FromSsize_t(Norvale_InitDartApiDL(block));
}

PyObject* testkit_request_stop(PyObject*, PyObject*) {
  int result = 0;
  on_native_thread([&] { result = kestrune_request_stop(); });
  return PyLong_FromLong(result);
}

PyObject* testkit_is_initialized(PyObject*, PyObject*) {
  int result = 0;
  on_native_thread([&] { result = norvale_is_python_initialized(); });
  return PyLong_FromLong(result);
}

// A handler that unregisters itself while it runs and notes whether it was
// freed before its call returned.
struct SelfRemovingHandler {
  PyObject_HEAD
  long long port;
};
SelfRemovingHandler* g_handler_in_call = nullptr;
bool g_freed_during_call = false;

int self_removing_init(PyObject* self, PyObject* args, PyObject*) {
  return PyArg_ParseTuple(args, "L", &reinterpret_cast<SelfRemovingHandler*>(self)->port) ? 0
                                                                                         : -1;
}

void self_removing_dealloc(PyObject* self) {
  if (self == reinterpret_cast<PyObject*>(g_handler_in_call)) g_freed_during_call = true;
  PyTypeObject* type = Py_TYPE(self);
  auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_slot(self);
  Py_DECREF(type);
}

PyObject* self_removing_call(PyObject* self, PyObject*, PyObject*) {
  auto* handler = reinterpret_cast<SelfRemovingHandler*>(self);
  long long port = handler->port;
  g_handler_in_call = handler;
  PyObject* module = PyImport_ImportModule("norvale");
  PyObject* result = module != nullptr
                         ? PyObject_CallMethod(module, "set_enqueue_handler_func", "LO", port,
                                               Py_None)
                         : nullptr;
  Py_XDECREF(module);
  g_handler_in_call = nullptr;
  return result;
}

PyType_Slot self_removing_slots[] = {
    {Py_tp_init, reinterpret_cast<void*>(self_removing_init)},
    {Py_tp_new, reinterpret_cast<void*>(PyType_GenericNew)},
    {Py_tp_dealloc, reinterpret_cast<void*>(self_removing_dealloc)},
    {Py_tp_call, reinterpret_cast<void*>(self_removing_call)},
    {0, nullptr},
};
PyType_Spec self_removing_spec = {"_norvale_testkit.SelfRemovingHandler",
                                  sizeof(SelfRemovingHandler), 0, Py_TPFLAGS_DEFAULT,
                                  self_removing_slots};

PyObject* testkit_freed_during_call(PyObject*, PyObject*) {
  return PyBool_FromLong(g_freed_during_call ? 1 : 0);
}

PyMethodDef testkit_methods[] = {
    {"bind", testkit_bind, METH_VARARGS, nullptr},
    {"last_post", testkit_last_post, METH_NOARGS, nullptr},
    {"new_port", testkit_new_port, METH_NOARGS, nullptr},
    {"close_port", testkit_close_port, METH_VARARGS, nullptr},
    {"pending", testkit_pending, METH_VARARGS, nullptr},
    {"wait_message", testkit_wait_message, METH_VARARGS, nullptr},
    {"deliver", testkit_deliver, METH_VARARGS, nullptr},
    {"signal_session", testkit_signal_session, METH_VARARGS, nullptr},
    {"request_stop", testkit_request_stop, METH_NOARGS, nullptr},
    {"is_initialized", testkit_is_initialized, METH_NOARGS, nullptr},
    {"freed_during_call", testkit_freed_during_call, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef testkit_module = {
    PyModuleDef_HEAD_INIT, "_norvale_testkit", nullptr, -1, testkit_methods,
    nullptr,               nullptr,            nullptr, nullptr,
};

}  // namespace

PyObject* norvale_testkit_init(void) {
  PyObject* module = PyModule_Create2(&testkit_module, 3);
  if (module == nullptr) return nullptr;
  PyObject* type = PyType_FromSpec(&self_removing_spec);
  if (type == nullptr || PyModule_AddObject(module, "SelfRemovingHandler", type) != 0) {
    Py_XDECREF(type);
    Py_DECREF(module);
    return nullptr;
  }
  return module;
}
