#ifndef NORVALE_DART_API_DL_H_
#define NORVALE_DART_API_DL_H_

// The Dart VM's native API, bound at run time from the data block that the
// Dart side passes to Norvale_InitDartApiDL. libnorvale never links the VM.

#include "dart_api.h"
#include "dart_native_api.h"

#include <stdint.h>

#ifdef __cplusplus
#define NORVALE_EXTERN_C extern "C"
#else
#define NORVALE_EXTERN_C extern
#endif
#define NORVALE_EXPORT NORVALE_EXTERN_C __attribute__((visibility("default")))

typedef int64_t Dart_Port_DL;
typedef struct {
  int64_t port_id;
  int64_t origin_id;
} Dart_PortEx_DL;
typedef void (*Dart_NativeMessageHandler_DL)(Dart_Port_DL dest_port_id,
                                             Dart_CObject* message);

// The 38 functions looked up by name, in lookup order: F(name, result, args).
#define NORVALE_DART_DL_FUNCTIONS(F)                                          \
  F(Dart_PostCObject, bool, (Dart_Port_DL port_id, Dart_CObject * message))   \
  F(Dart_PostInteger, bool, (Dart_Port_DL port_id, int64_t message))          \
  F(Dart_NewNativePort, Dart_Port_DL,                                         \
    (const char* name, Dart_NativeMessageHandler_DL handler,                  \
     bool handle_concurrently))                                               \
  F(Dart_CloseNativePort, bool, (Dart_Port_DL native_port_id))                \
  F(Dart_IsError, bool, (Dart_Handle handle))                                 \
  F(Dart_IsApiError, bool, (Dart_Handle handle))                              \
  F(Dart_IsUnhandledExceptionError, bool, (Dart_Handle handle))               \
  F(Dart_IsCompilationError, bool, (Dart_Handle handle))                      \
  F(Dart_IsFatalError, bool, (Dart_Handle handle))                            \
  F(Dart_GetError, const char*, (Dart_Handle handle))                         \
  F(Dart_ErrorHasException, bool, (Dart_Handle handle))                       \
  F(Dart_ErrorGetException, Dart_Handle, (Dart_Handle handle))                \
  F(Dart_ErrorGetStackTrace, Dart_Handle, (Dart_Handle handle))               \
  F(Dart_NewApiError, Dart_Handle, (const char* error))                       \
  F(Dart_NewCompilationError, Dart_Handle, (const char* error))               \
  F(Dart_NewUnhandledExceptionError, Dart_Handle, (Dart_Handle exception))    \
  F(Dart_PropagateError, void, (Dart_Handle handle))                          \
  F(Dart_HandleFromPersistent, Dart_Handle, (Dart_PersistentHandle object))   \
  F(Dart_HandleFromWeakPersistent, Dart_Handle,                               \
    (Dart_WeakPersistentHandle object))                                       \
  F(Dart_NewPersistentHandle, Dart_PersistentHandle, (Dart_Handle object))    \
  F(Dart_SetPersistentHandle, void,                                           \
    (Dart_PersistentHandle obj1, Dart_Handle obj2))                           \
  F(Dart_DeletePersistentHandle, void, (Dart_PersistentHandle object))        \
  F(Dart_NewWeakPersistentHandle, Dart_WeakPersistentHandle,                  \
    (Dart_Handle object, void* peer, intptr_t external_allocation_size,       \
     Dart_HandleFinalizer callback))                                          \
  F(Dart_DeleteWeakPersistentHandle, void, (Dart_WeakPersistentHandle object))\
  F(Dart_NewFinalizableHandle, Dart_FinalizableHandle,                        \
    (Dart_Handle object, void* peer, intptr_t external_allocation_size,       \
     Dart_HandleFinalizer callback))                                          \
  F(Dart_DeleteFinalizableHandle, void,                                       \
    (Dart_FinalizableHandle object, Dart_Handle strong_ref_to_object))        \
  F(Dart_CurrentIsolate, Dart_Isolate, (void))                                \
  F(Dart_ExitIsolate, void, (void))                                           \
  F(Dart_EnterIsolate, void, (Dart_Isolate isolate))                          \
  F(Dart_Post, bool, (Dart_Port_DL port_id, Dart_Handle object))              \
  F(Dart_NewSendPort, Dart_Handle, (Dart_Port_DL port_id))                    \
  F(Dart_NewSendPortEx, Dart_Handle, (Dart_PortEx_DL portex_id))              \
  F(Dart_SendPortGetId, Dart_Handle,                                          \
    (Dart_Handle port, Dart_Port_DL * port_id))                               \
  F(Dart_SendPortGetIdEx, Dart_Handle,                                        \
    (Dart_Handle port, Dart_PortEx_DL * portex_id))                           \
  F(Dart_EnterScope, void, (void))                                            \
  F(Dart_ExitScope, void, (void))                                             \
  F(Dart_IsNull, bool, (Dart_Handle object))                                  \
  F(Dart_Null, Dart_Handle, (void))

// The two deprecated operations whose slots the library fills with stubs.
#define NORVALE_DART_DL_DEPRECATED(F)                                         \
  F(Dart_UpdateExternalSize, void,                                            \
    (Dart_WeakPersistentHandle object, intptr_t external_allocation_size))    \
  F(Dart_UpdateFinalizableExternalSize, void,                                 \
    (Dart_FinalizableHandle object, Dart_Handle strong_ref_to_object,         \
     intptr_t external_allocation_size))

#define NORVALE_DART_DL_DECLARE(name, result, args) \
  typedef result(*name##_Type) args;                \
  NORVALE_EXPORT name##_Type name##_DL;
NORVALE_DART_DL_FUNCTIONS(NORVALE_DART_DL_DECLARE)
NORVALE_DART_DL_DEPRECATED(NORVALE_DART_DL_DECLARE)
#undef NORVALE_DART_DL_DECLARE

NORVALE_EXPORT void Dart_UpdateExternalSize_Deprecated(
    Dart_WeakPersistentHandle object, intptr_t external_allocation_size);
NORVALE_EXPORT void Dart_UpdateFinalizableExternalSize_Deprecated(
    Dart_FinalizableHandle object, Dart_Handle strong_ref_to_object,
    intptr_t external_allocation_size);

// Binds the variables above from the VM's data block: 0, or -1 when the
// block's major version is not 2 (or the block is NULL); a refused block
// changes nothing.
NORVALE_EXPORT intptr_t Dart_InitializeApiDL(void* data);

#endif  // NORVALE_DART_API_DL_H_
