// The built-in module "norvale": bytes to Dart ports, handlers for bytes from
// Dart, stream forwarding and session-restart notification.

#include <Python.h>

#include <cerrno>
#include <cstdio>
#include <new>

#include "dart_api_dl.h"
#include "norvale.h"
#include "norvale_internal.h"

namespace {

struct port_handler_node {
  int64_t port;
  PyObject* callable;  // strong reference, owned by the node
  port_handler_node* next;
};

struct restart_handler_node {
  PyObject* callable;  // strong reference, owned by the node
  restart_handler_node* next;
};

// Newest first; guarded by the interpreter lock.
port_handler_node* g_handlers = nullptr;
restart_handler_node* g_restart_handlers = nullptr;

// The program's sys.stdout and sys.stderr: text streams as python3 has them
// (encoding, errors, line buffering and PYTHONUNBUFFERED as CPython chose
// for its own streams at start, a byte buffer, the descriptor), whose bytes
// take _native_log_write's way to the process's streams. The process's
// stream buffer is their only buffer, so that a flush at a termination
// signal reaches all that was printed; the text layer therefore writes
// through.
constexpr const char kStdioRedirectSource[] =
    "import io, os, sys\n"
    "class _NativeStreamBuffer(io.BufferedIOBase):\n"
    "    def __init__(self, is_stderr, fd, name, unbuffered):\n"
    "        self._is_stderr = is_stderr\n"
    "        self._fd = fd\n"
    "        self._name = name\n"
    "        self._unbuffered = unbuffered\n"
    "        self.write, self.flush = _bind_stream_methods(self)\n"
    "        self.raw = _NativeStreamRaw(self)\n"
    "    name = property(lambda self: self._name)\n"
    "    mode = 'wb'\n"
    "    def writable(self):\n"
    "        return True\n"
    "    def fileno(self):\n"
    "        return self._fd\n"
    "    def isatty(self):\n"
    "        if self.closed:\n"
    "            raise ValueError('I/O operation on closed file')\n"
    "        return os.isatty(self._fd)\n"
    // Unbuffered writes, for code that bypasses the buffer as python3's
    // FileIO lets it.
    "class _NativeStreamRaw(io.RawIOBase):\n"
    "    def __init__(self, buffer):\n"
    "        self._buffer = buffer\n"
    "    name = property(lambda self: self._buffer.name)\n"
    "    mode = 'wb'\n"
    "    def writable(self):\n"
    "        return True\n"
    "    def fileno(self):\n"
    "        return self._buffer.fileno()\n"
    "    def isatty(self):\n"
    "        return self._buffer.isatty()\n"
    "    def write(self, data):\n"
    "        if self.closed:\n"
    "            raise ValueError('write to closed file')\n"
    "        written = self._buffer.write(data)\n"
    "        self._buffer.flush()\n"
    "        return written\n"
    "def _native_stream(original, is_stderr, name):\n"
    // No descriptor at start (a closed one): python3 leaves None, too.
    "    if original is None:\n"
    "        return None\n"
    "    buffer = _NativeStreamBuffer(is_stderr, original.fileno(), name,\n"
    "                                 original.write_through)\n"
    "    stream = io.TextIOWrapper(buffer, encoding=original.encoding,\n"
    "                              errors=original.errors, newline='\\n',\n"
    "                              line_buffering=original.line_buffering,\n"
    "                              write_through=True)\n"
    "    stream.mode = 'w'\n"
    "    return stream\n"
    "sys.stdout = sys.__stdout__ = _native_stream(sys.__stdout__, 0, '<stdout>')\n"
    "sys.stderr = sys.__stderr__ = _native_stream(sys.__stderr__, 1, '<stderr>')\n";

port_handler_node* find_port_handler(int64_t port) {
  for (port_handler_node* node = g_handlers; node != nullptr; node = node->next) {
    if (node->port == port) return node;
  }
  return nullptr;
}

void unregister_port_handler(int64_t port) {
  for (port_handler_node** link = &g_handlers; *link != nullptr; link = &(*link)->next) {
    port_handler_node* node = *link;
    if (node->port != port) continue;
    *link = node->next;
    PyObject* callable = node->callable;
    delete node;
    // Released last: a finaliser may change the list again.
    Py_DECREF(callable);
    return;
  }
}

PyObject* py_send_bytes(PyObject*, PyObject* args) {
  long long port = 0;
  const char* payload = nullptr;
  Py_ssize_t length = 0;
  if (!PyArg_ParseTuple(args, "Ly#", &port, &payload, &length)) return nullptr;
  if (port == 0) {
    PyErr_SetString(PyExc_RuntimeError, "Dart port is 0 (invalid)");
    return nullptr;
  }
  Dart_PostCObject_Type post = Dart_PostCObject_DL;
  if (post == nullptr) {
    PyErr_SetString(PyExc_RuntimeError,
                    "Dart API DL not initialized (call Norvale_InitDartApiDL from Dart first)");
    return nullptr;
  }
  Dart_CObject message;
  message.type = Dart_CObject_kTypedData;
  message.value.as_typed_data.type = Dart_TypedData_kUint8;
  message.value.as_typed_data.length = length;
  message.value.as_typed_data.values = reinterpret_cast<const uint8_t*>(payload);
  if (!post(port, &message)) {
    PyErr_SetString(PyExc_RuntimeError, "Dart_PostCObject_DL failed");
    return nullptr;
  }
  Py_RETURN_TRUE;
}

PyObject* py_set_enqueue_handler_func(PyObject*, PyObject* args) {
  long long port = 0;
  PyObject* callable = nullptr;
  if (!PyArg_ParseTuple(args, "LO:set_enqueue_handler_func", &port, &callable)) {
    return nullptr;
  }
  if (callable == Py_None) {
    unregister_port_handler(port);
    Py_RETURN_NONE;
  }
  if (!PyCallable_Check(callable)) {
    PyErr_SetString(PyExc_TypeError, "second argument must be callable or None");
    return nullptr;
  }
  Py_INCREF(callable);
  if (port_handler_node* node = find_port_handler(port)) {
    // Store the new callable before releasing the old one: the old one's
    // finaliser may unregister this port and free the node.
    PyObject* old = node->callable;
    node->callable = callable;
    Py_DECREF(old);
    Py_RETURN_NONE;
  }
  auto* node = new (std::nothrow) port_handler_node{port, callable, g_handlers};
  if (node == nullptr) {
    Py_DECREF(callable);
    return PyErr_NoMemory();
  }
  g_handlers = node;
  Py_RETURN_NONE;
}

PyObject* py_add_session_restart_handler(PyObject*, PyObject* callable) {
  if (!PyCallable_Check(callable)) {
    PyErr_SetString(PyExc_TypeError, "argument must be callable");
    return nullptr;
  }
  Py_INCREF(callable);
  auto* node = new (std::nothrow) restart_handler_node{callable, g_restart_handlers};
  if (node == nullptr) {
    Py_DECREF(callable);
    return PyErr_NoMemory();
  }
  g_restart_handlers = node;
  Py_RETURN_NONE;
}

// The error of a failed write to a process stream, as python3 reports it
// (BrokenPipeError for a closed pipe); the stream is usable again after.
PyObject* stream_error(std::FILE* stream) {
  const int error = errno != 0 ? errno : EIO;
  std::clearerr(stream);
  errno = error;
  return PyErr_SetFromErrno(PyExc_OSError);
}

std::FILE* process_stream(int is_stderr) { return is_stderr != 0 ? stderr : stdout; }

// From CPython 3.14 on, python3's buffered stream keeps what it could not
// write and fails again when it is flushed (at the end, python3 then exits
// with 120); earlier versions drop it. The process stream's buffer drops
// it, so the failure is kept here for the flushes, until a write succeeds.
int g_unwritten_error[2] = {0, 0};

// Writes to the process's standard output (left in its buffer) or standard
// error (flushed at once); false with the write's OSError set.
bool write_process_stream(int is_stderr, const void* bytes, Py_ssize_t length) {
  if (length <= 0) return true;
  std::FILE* stream = process_stream(is_stderr);
  errno = 0;
  const size_t written = std::fwrite(bytes, 1, static_cast<size_t>(length), stream);
  if (written != static_cast<size_t>(length) || (is_stderr != 0 && std::fflush(stream) != 0)) {
    const int error = errno != 0 ? errno : EIO;
    stream_error(stream);
    if (Py_Version >= 0x030E0000) g_unwritten_error[is_stderr != 0] = error;
    return false;
  }
  g_unwritten_error[is_stderr != 0] = 0;
  return true;
}

bool flush_process_stream(int is_stderr) {
  std::FILE* stream = process_stream(is_stderr);
  errno = 0;
  if (std::fflush(stream) != 0) {
    stream_error(stream);
    return false;
  }
  if (const int unwritten = g_unwritten_error[is_stderr != 0]; unwritten != 0) {
    errno = unwritten;
    PyErr_SetFromErrno(PyExc_OSError);
    return false;
  }
  return true;
}

PyObject* py_native_log_write(PyObject*, PyObject* args) {
  int is_stderr = 0;
  const char* text = nullptr;
  Py_ssize_t length = 0;
  if (!PyArg_ParseTuple(args, "is#:_native_log_write", &is_stderr, &text, &length)) {
    return nullptr;
  }
  if (!write_process_stream(is_stderr, text, length)) return nullptr;
  Py_RETURN_NONE;
}

PyObject* py_native_log_flush(PyObject*, PyObject* args) {
  int is_stderr = 0;
  if (!PyArg_ParseTuple(args, "i:_native_log_flush", &is_stderr)) return nullptr;
  if (!flush_process_stream(is_stderr)) return nullptr;
  Py_RETURN_NONE;
}

// ---- The byte side of the program's standard streams ------------------------------
// write and flush of the stream buffer object `self` (see the source
// below), in C, so that no frame of the bridge shows in the traceback of
// the program's BrokenPipeError.

// The buffer's integer attribute `name`, or -1 with an error.
int buffer_flag(PyObject* self, const char* name) {
  PyObject* value = PyObject_GetAttrString(self, name);
  int flag = value != nullptr ? PyObject_IsTrue(value) : -1;
  Py_XDECREF(value);
  return flag;
}

bool refuse_if_closed(PyObject* self, const char* message) {
  const int closed = buffer_flag(self, "closed");
  if (closed == 1) PyErr_SetString(PyExc_ValueError, message);
  return closed != 0;
}

PyObject* py_stream_write(PyObject* self, PyObject* data) {
  if (refuse_if_closed(self, "write to closed file")) return nullptr;
  const int is_stderr = buffer_flag(self, "_is_stderr");
  const int unbuffered = buffer_flag(self, "_unbuffered");
  if (is_stderr < 0 || unbuffered < 0) return nullptr;
  Py_buffer view;
  if (PyObject_GetBuffer(data, &view, PyBUF_SIMPLE) != 0) return nullptr;
  const bool ok = write_process_stream(is_stderr, view.buf, view.len) &&
                  (unbuffered == 0 || view.len == 0 || flush_process_stream(is_stderr));
  const Py_ssize_t length = view.len;
  PyBuffer_Release(&view);
  return ok ? PyLong_FromSsize_t(length) : nullptr;
}

PyObject* py_stream_flush(PyObject* self, PyObject*) {
  if (refuse_if_closed(self, "flush of closed file")) return nullptr;
  const int is_stderr = buffer_flag(self, "_is_stderr");
  if (is_stderr < 0 || !flush_process_stream(is_stderr)) return nullptr;
  Py_RETURN_NONE;
}

PyMethodDef g_stream_write = {"write", py_stream_write, METH_O, nullptr};
PyMethodDef g_stream_flush = {"flush", py_stream_flush, METH_NOARGS, nullptr};

// bind_stream_methods(buffer): its write and flush, bound to it.
PyObject* py_bind_stream_methods(PyObject*, PyObject* buffer) {
  PyObject* write = PyCFunction_New(&g_stream_write, buffer);
  PyObject* flush = write != nullptr ? PyCFunction_New(&g_stream_flush, buffer) : nullptr;
  PyObject* pair = flush != nullptr ? PyTuple_Pack(2, write, flush) : nullptr;
  Py_XDECREF(write);
  Py_XDECREF(flush);
  return pair;
}

PyMethodDef g_bind_stream_methods = {"_bind_stream_methods", py_bind_stream_methods, METH_O,
                                     nullptr};

PyMethodDef norvale_methods[] = {
    {"send_bytes", py_send_bytes, METH_VARARGS,
     "send_bytes(port, payload) \u2014 post a bytes payload to the Dart\n"
     "ReceivePort identified by its native port."},
    {"set_enqueue_handler_func", py_set_enqueue_handler_func, METH_VARARGS,
     "set_enqueue_handler_func(port, callable) \u2014 register a Python\n"
     "callable that receives bytes posted from Dart for the given port.\n"
     "Pass None as the callable to unregister."},
    {"add_session_restart_handler", py_add_session_restart_handler, METH_O,
     "add_session_restart_handler(callable) \u2014 register a callback that\n"
     "fires when a new Dart VM signals the running Python program with\n"
     "fresh native port numbers (e.g. Android process reuse). The callback\n"
     "receives a {label: port} dict. Multiple subscribers supported; each\n"
     "gets the full map."},
    {"_native_log_write", py_native_log_write, METH_VARARGS,
     "_native_log_write(is_stderr, text) \u2014 internal. Forwards bytes to the\n"
     "platform's native log sink (logcat / os_log / stderr). Used by the\n"
     "sys.stdout / sys.stderr wrappers installed at interpreter start."},
    {"_native_log_flush", py_native_log_flush, METH_VARARGS,
     "_native_log_flush(is_stderr) \u2014 internal. Flushes the process stream\n"
     "that _native_log_write writes to."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef norvale_module = {
    PyModuleDef_HEAD_INIT,
    "norvale",        // m_name
    nullptr,          // m_doc
    -1,               // m_size: state lives in process-wide globals
    norvale_methods,  // m_methods
    nullptr,          // m_slots
    nullptr,          // m_traverse
    nullptr,          // m_clear
    nullptr,          // m_free
};

// Calls `callable` with `argument`, holding its own reference for the
// duration: the call may drop the list's last reference to it.
void call_and_report(PyObject* callable, PyObject* argument) {
  Py_INCREF(callable);
  PyObject* result = PyObject_CallFunctionObjArgs(callable, argument, nullptr);
  if (result == nullptr) {
    PyErr_Print();
  } else {
    Py_DECREF(result);
  }
  Py_DECREF(callable);
}

// The notification dict, or NULL after printing why it could not be made.
PyObject* new_ports_by_label(int32_t count, const char* const* labels, const int64_t* ports) {
  PyObject* ports_by_label = PyDict_New();
  if (ports_by_label == nullptr) {
    PyErr_Print();
    return nullptr;
  }
  for (int32_t i = 0; i < count; ++i) {
    if (labels[i] == nullptr) continue;
    PyObject* port = PyLong_FromLongLong(ports[i]);
    int stored = port != nullptr ? PyDict_SetItemString(ports_by_label, labels[i], port) : -1;
    Py_XDECREF(port);
    if (stored != 0) {
      Py_DECREF(ports_by_label);
      PyErr_Print();
      return nullptr;
    }
  }
  return ports_by_label;
}

template <typename Node>
void release_list(Node* node) {
  while (node != nullptr) {
    Node* next = node->next;
    PyObject* callable = node->callable;
    delete node;
    Py_DECREF(callable);
    node = next;
  }
}

}  // namespace

PyObject* PyInit_norvale(void) { return PyModule_Create2(&norvale_module, 3); }

int Norvale_EnqueueMessage(int64_t port, const uint8_t* data, int64_t length) {
  if (!Py_IsInitialized()) return -2;
  if (data == nullptr && length != 0) return -1;
  python_entry entry;
  if (!python_enter(&entry)) return -2;
  int result = -1;
  if (port_handler_node* node = find_port_handler(port)) {
    PyObject* bytes = PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data),
                                                static_cast<Py_ssize_t>(length));
    if (bytes == nullptr) {
      PyErr_Print();
    } else {
      call_and_report(node->callable, bytes);
      Py_DECREF(bytes);
      result = 0;
    }
  }
  python_leave(&entry);
  return result;
}

void norvale_clear_handlers(void) {
  port_handler_node* handlers = g_handlers;
  g_handlers = nullptr;
  release_list(handlers);
  restart_handler_node* restart_handlers = g_restart_handlers;
  g_restart_handlers = nullptr;
  release_list(restart_handlers);
}

int norvale_is_python_initialized(void) { return Py_IsInitialized() ? 1 : 0; }

int norvale_install_stdio_redirect(void) {
  if (!Py_IsInitialized()) return -1;
  PyGILState_STATE gil = PyGILState_Ensure();
  PyObject* scope = new_private_scope();
  PyObject* bind = scope != nullptr ? PyCFunction_New(&g_bind_stream_methods, nullptr) : nullptr;
  int status = bind != nullptr &&
                       PyDict_SetItemString(scope, "_bind_stream_methods", bind) == 0 &&
                       run_in_scope(kStdioRedirectSource, "<norvale_stdio>", scope)
                   ? 0
                   : -1;
  Py_XDECREF(bind);
  Py_XDECREF(scope);
  if (status != 0) PyErr_Print();
  PyGILState_Release(gil);
  return status;
}

PyObject* new_private_scope(void) {
  PyObject* builtins = PyEval_GetBuiltins();  // borrowed
  if (builtins == nullptr) {
    PyErr_SetString(PyExc_RuntimeError, "builtins are not available");
    return nullptr;
  }
  PyObject* scope = PyDict_New();
  PyObject* name = PyUnicode_FromString("norvale");
  if (scope != nullptr && (name == nullptr ||
                           PyDict_SetItemString(scope, "__builtins__", builtins) != 0 ||
                           PyDict_SetItemString(scope, "__name__", name) != 0)) {
    Py_CLEAR(scope);
  }
  Py_XDECREF(name);
  return scope;
}

bool run_in_scope(const char* source, const char* file_name, PyObject* scope) {
  PyObject* code = Py_CompileString(source, file_name, Py_file_input);
  if (code == nullptr) return false;
  PyObject* result = PyEval_EvalCode(code, scope, scope);
  Py_DECREF(code);
  Py_XDECREF(result);
  return result != nullptr;
}

void norvale_signal_dart_session(int32_t count, const char* const* labels,
                                 const int64_t* ports) {
  if (!Py_IsInitialized()) return;
  python_entry entry;
  if (!python_enter(&entry)) return;
  if (PyObject* ports_by_label = new_ports_by_label(count, labels, ports)) {
    for (restart_handler_node* node = g_restart_handlers; node != nullptr;) {
      call_and_report(node->callable, ports_by_label);
      // Read after the call, so a subscriber added meanwhile waits for the
      // next signal.
      node = node->next;
    }
    Py_DECREF(ports_by_label);
  }
  python_leave(&entry);
}
