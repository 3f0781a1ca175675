#ifndef RUNTIME_INCLUDE_DART_API_H_
#define RUNTIME_INCLUDE_DART_API_H_

// The part of the Dart VM's embedding API that native extensions see through
// the dynamically linked interface.

#ifdef __cplusplus
#define DART_EXTERN_C extern "C"
#else
#define DART_EXTERN_C extern
#endif

#define DART_EXPORT DART_EXTERN_C __attribute__((visibility("default")))

#include <stdbool.h>
#include <stdint.h>

typedef struct _Dart_Isolate* Dart_Isolate;
typedef struct _Dart_Handle* Dart_Handle;
typedef Dart_Handle Dart_PersistentHandle;
typedef struct _Dart_WeakPersistentHandle* Dart_WeakPersistentHandle;
typedef struct _Dart_FinalizableHandle* Dart_FinalizableHandle;

typedef void (*Dart_HandleFinalizer)(void* isolate_callback_data, void* peer);

// A port is a signed 64-bit number; ILLEGAL_PORT names none.
typedef int64_t Dart_Port;
#define ILLEGAL_PORT ((Dart_Port)0)

typedef struct {
  int64_t port_id;
  int64_t origin_id;
} Dart_PortEx;

typedef enum {
  Dart_TypedData_kByteData = 0,
  Dart_TypedData_kInt8,
  Dart_TypedData_kUint8,
  Dart_TypedData_kUint8Clamped,
  Dart_TypedData_kInt16,
  Dart_TypedData_kUint16,
  Dart_TypedData_kInt32,
  Dart_TypedData_kUint32,
  Dart_TypedData_kInt64,
  Dart_TypedData_kUint64,
  Dart_TypedData_kFloat32,
  Dart_TypedData_kFloat64,
  Dart_TypedData_kInt32x4,
  Dart_TypedData_kFloat32x4,
  Dart_TypedData_kFloat64x2,
  Dart_TypedData_kInvalid
} Dart_TypedData_Type;

#endif  // RUNTIME_INCLUDE_DART_API_H_
