#ifndef NORVALE_NORVALE_H_
#define NORVALE_NORVALE_H_

// The C ABI of libnorvale: the Dart–Python byte-message bridge and the
// embedded interpreter host. Called by the application's Dart code through
// its foreign-function interface, and by runner's entry.

#include "dart_api_dl.h"

#include <stdint.h>

// Python's object type, without pulling Python.h into every caller.
typedef struct _object PyObject;

// ---- Dart API binding -----------------------------------------------------

// Forwards to Dart_InitializeApiDL and returns its result.
NORVALE_EXPORT intptr_t Norvale_InitDartApiDL(void* data);

// ---- Message bridge ---------------------------------------------------------

// Creates the built-in module "norvale"; NULL with a Python error set.
NORVALE_EXPORT PyObject* PyInit_norvale(void);

// Delivers `length` bytes at `data` to the handler registered for `port`, on
// the calling thread. 0: the handler ran (whether or not it raised); -1: no
// handler, a bad buffer, or the bytes object could not be made; -2: the
// interpreter is not initialised. The buffer is only read during the call.
NORVALE_EXPORT int Norvale_EnqueueMessage(int64_t port, const uint8_t* data,
                                          int64_t length);

// Empties the port handler and session-restart handler lists. The caller
// holds the interpreter lock.
NORVALE_EXPORT void norvale_clear_handlers(void);

// 1 while the interpreter is initialised, else 0.
NORVALE_EXPORT int norvale_is_python_initialized(void);

// Replaces sys.stdout and sys.stderr by writers that forward to the
// process's own streams. 0 when installed, -1 otherwise.
NORVALE_EXPORT int norvale_install_stdio_redirect(void);

// Calls every session-restart handler, newest first, with one dict that maps
// each non-NULL label to its port. The arrays are only read during the call.
NORVALE_EXPORT void norvale_signal_dart_session(int32_t count,
                                                const char* const* labels,
                                                const int64_t* ports);

// ---- Interpreter host -------------------------------------------------------

// One run request, shared with the Dart side by memory layout (72 bytes,
// x86-64 System V alignment). The caller owns it and everything it points
// to; kestrune_run copies what it keeps before it returns.
// Offsets are given at the left of each field.
typedef struct kestrune_run_config {
  /*  0 */ int32_t mode;  // 1: run script_source; else run script_path
  /*  4    padding */
  /*  8 */ const char* script_path;          // or NULL
  /* 16 */ const char* script_source;        // or NULL
  /* 24 */ const char* program_name;         // sys.argv[0]; "python" if NULL
  /* 32 */ const char* const* module_paths;  // NULL-ended, or NULL
  /* 40 */ const char* const* env_names;     // NULL-ended, or NULL
  /* 48 */ const char* const* env_values;    // NULL-ended, or NULL
  /* 56 */ int32_t synchronous;  // nonzero: run on the calling thread
  /* 60    padding */
  /* 64 */ int64_t exit_port;    // gets an async run's result; 0: none
} kestrune_run_config;

// -1: NULL config, no memory, or no worker thread; 0: worker started; in
// synchronous mode the session's result (0 ran to its end, 1 failed).
NORVALE_EXPORT int32_t kestrune_run(const kestrune_run_config* config);

typedef PyObject* (*kestrune_module_init)(void);

// Adds a built-in module for the next fresh interpreter start. 0, or -1 for a
// NULL argument or no memory.
NORVALE_EXPORT int32_t kestrune_register_extension(const char* name,
                                                   kestrune_module_init init);

// Interrupts the running program as SIGINT would. 0, or -1 when the
// interpreter is not initialised.
NORVALE_EXPORT int32_t kestrune_request_stop(void);

// Clears the handler lists and finalises the interpreter, if it runs.
NORVALE_EXPORT void kestrune_finalize(void);

// Ends the process at once with `status`: no exit handlers, no flushing.
NORVALE_EXPORT void kestrune_hard_exit(int32_t status) __attribute__((noreturn));

// 1 when argv is a multiprocessing child's command line, else 0.
NORVALE_EXPORT int32_t kestrune_is_mp_invocation(int32_t argc, char** argv);

// Runs the process as a plain Python interpreter: the interpreter's exit
// status, or 64 when neither PYTHONHOME nor PYTHONPATH is set.
NORVALE_EXPORT int32_t kestrune_main(int32_t argc, char** argv);

#endif  // NORVALE_NORVALE_H_
