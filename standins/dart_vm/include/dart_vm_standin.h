#ifndef STANDINS_DART_VM_STANDIN_H_
#define STANDINS_DART_VM_STANDIN_H_

// Test and demo access to the stand-in Dart VM: what Dart code would get from
// NativeApi.initializeApiDLData, blocks with other versions and tables, and a
// way to read what native code posted to a port.

#include <stdbool.h>
#include <stdint.h>

#include "dart_native_api.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct {
  const char* name;
  void (*function)(void);
} standin_dart_api_entry;

// Layout of the VM's dynamic-linking data block.
typedef struct {
  int32_t major;
  int32_t minor;
  const standin_dart_api_entry* functions;  // ends at the first NULL name
} standin_dart_api_data;

// The VM's own block: version 2.6 and the 40 functions of that version.
DART_EXPORT void* standin_dart_vm_api_dl_data(void);

// A copy of one message that reached a port.
typedef struct {
  Dart_CObject_Type type;
  int64_t as_int64;                  // kBool, kInt32 and kInt64
  Dart_TypedData_Type element_type;  // kTypedData
  intptr_t length;                   // kTypedData: elements (bytes for Uint8)
  uint8_t* bytes;                    // kTypedData: the VM's own copy
} standin_dart_message;

// Takes the next message of a port that has no handler, waiting up to
// timeout_ms. false when none came in time or the port is unknown or closed
// and drained.
DART_EXPORT bool standin_dart_vm_wait_message(Dart_Port port, int timeout_ms,
                                              standin_dart_message* out);
DART_EXPORT void standin_dart_message_clear(standin_dart_message* message);

// Messages queued on a port, or -1 for an unknown port.
DART_EXPORT int64_t standin_dart_vm_pending(Dart_Port port);

#ifdef __cplusplus
}
#endif

#endif  // STANDINS_DART_VM_STANDIN_H_
