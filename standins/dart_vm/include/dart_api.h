#ifndef RUNTIME_INCLUDE_DART_API_H_
#define RUNTIME_INCLUDE_DART_API_H_

// The part of the Dart VM's embedding API that native extensions see through
// the dynamically linked interface.

#ifdef __cplusplus
#define DART_EXTERN_C extern "C"
#else
#define DART_EXTERN_C extern
#endif

// Only the VM's own build (DART_SHARED_LIB) exports; elsewhere these are
// plain declarations.
#if __GNUC__ >= 4
#if defined(DART_SHARED_LIB)
#define DART_EXPORT \
  DART_EXTERN_C __attribute__((visibility("default"))) __attribute((used))
#else
#define DART_EXPORT DART_EXTERN_C
#endif
#else
#error Tool chain not supported.
#endif

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

// Errors. Handles live in the scope of an isolate's thread.
DART_EXPORT bool Dart_IsError(Dart_Handle handle);
DART_EXPORT bool Dart_IsApiError(Dart_Handle handle);
DART_EXPORT bool Dart_IsUnhandledExceptionError(Dart_Handle handle);
DART_EXPORT bool Dart_IsCompilationError(Dart_Handle handle);
DART_EXPORT bool Dart_IsFatalError(Dart_Handle handle);
DART_EXPORT const char* Dart_GetError(Dart_Handle handle);
DART_EXPORT bool Dart_ErrorHasException(Dart_Handle handle);
DART_EXPORT Dart_Handle Dart_ErrorGetException(Dart_Handle handle);
DART_EXPORT Dart_Handle Dart_ErrorGetStackTrace(Dart_Handle handle);
DART_EXPORT Dart_Handle Dart_NewApiError(const char* error);
DART_EXPORT Dart_Handle Dart_NewCompilationError(const char* error);
DART_EXPORT Dart_Handle Dart_NewUnhandledExceptionError(Dart_Handle exception);
DART_EXPORT void Dart_PropagateError(Dart_Handle handle);

// Persistent, weak persistent and finalizable handles.
DART_EXPORT Dart_Handle Dart_HandleFromPersistent(Dart_PersistentHandle object);
DART_EXPORT Dart_Handle
Dart_HandleFromWeakPersistent(Dart_WeakPersistentHandle object);
DART_EXPORT Dart_PersistentHandle Dart_NewPersistentHandle(Dart_Handle object);
DART_EXPORT void Dart_SetPersistentHandle(Dart_PersistentHandle obj1,
                                          Dart_Handle obj2);
DART_EXPORT void Dart_DeletePersistentHandle(Dart_PersistentHandle object);
DART_EXPORT Dart_WeakPersistentHandle
Dart_NewWeakPersistentHandle(Dart_Handle object,
                             void* peer,
                             intptr_t external_allocation_size,
                             Dart_HandleFinalizer callback);
DART_EXPORT void Dart_DeleteWeakPersistentHandle(
    Dart_WeakPersistentHandle object);
DART_EXPORT Dart_FinalizableHandle
Dart_NewFinalizableHandle(Dart_Handle object,
                          void* peer,
                          intptr_t external_allocation_size,
                          Dart_HandleFinalizer callback);
DART_EXPORT void Dart_DeleteFinalizableHandle(Dart_FinalizableHandle object,
                                              Dart_Handle strong_ref_to_object);

// Isolates.
DART_EXPORT Dart_Isolate Dart_CurrentIsolate(void);
DART_EXPORT void Dart_ExitIsolate(void);
DART_EXPORT void Dart_EnterIsolate(Dart_Isolate isolate);
DART_EXPORT Dart_Port Dart_GetMainPortId(void);
DART_EXPORT bool Dart_GetCurrentThreadOwnsIsolate(Dart_Port port);

// Ports seen from Dart code.
DART_EXPORT bool Dart_Post(Dart_Port port_id, Dart_Handle object);
DART_EXPORT Dart_Handle Dart_NewSendPort(Dart_Port port_id);
DART_EXPORT Dart_Handle Dart_NewSendPortEx(Dart_PortEx portex_id);
DART_EXPORT Dart_Handle Dart_SendPortGetId(Dart_Handle port,
                                           Dart_Port* port_id);
DART_EXPORT Dart_Handle Dart_SendPortGetIdEx(Dart_Handle port,
                                             Dart_PortEx* portex_id);

// Scopes and objects.
DART_EXPORT void Dart_EnterScope(void);
DART_EXPORT void Dart_ExitScope(void);
DART_EXPORT bool Dart_IsNull(Dart_Handle object);
DART_EXPORT Dart_Handle Dart_Null(void);

#endif  // RUNTIME_INCLUDE_DART_API_H_
