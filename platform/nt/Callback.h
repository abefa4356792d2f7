// Executive callback objects: named (case-insensitively), create-or-open, notified synchronously.
#pragma once

#include "platform/nt/NtTypes.h"

struct CALLBACK_OBJECT;
using PCALLBACK_OBJECT = CALLBACK_OBJECT*;
using CALLBACK_FUNCTION = VOID(PVOID CallbackContext, PVOID Argument1, PVOID Argument2);
using PCALLBACK_FUNCTION = VOID (*)(PVOID CallbackContext, PVOID Argument1, PVOID Argument2);

// Opens the object of that name or, with Create, makes it. The caller owns one reference
// (ObDereferenceObject). OBJ_PERMANENT keeps the name alive until ObMakeTemporaryObject.
NTSTATUS ExCreateCallback(PCALLBACK_OBJECT* CallbackObject, POBJECT_ATTRIBUTES ObjectAttributes, BOOLEAN Create,
                          BOOLEAN AllowMultipleCallbacks);
// The registration handle, or null (allocation failure, or a second registration on an object
// that allows one only).
PVOID ExRegisterCallback(PCALLBACK_OBJECT CallbackObject, PCALLBACK_FUNCTION CallbackFunction,
                         PVOID CallbackContext);
// Waits for a notification of this registration running on another thread to finish.
VOID ExUnregisterCallback(PVOID CallbackRegistration);
// Calls every registration in registration order, in the caller's thread and at its IRQL.
VOID ExNotifyCallback(PVOID CallbackObject, PVOID Argument1, PVOID Argument2);

namespace platform {
// The next `count` ExRegisterCallback calls fail.
void CallbackFailNextRegistration(unsigned count = 1);
// Registrations on the object (0 for a null object).
size_t CallbackRegistrationCount(PCALLBACK_OBJECT object);
// Callback objects alive (named or not), and registrations on all of them.
size_t CallbackObjectCount();
size_t CallbackRegistrationTotal();
// Callback objects still referenced (a permanent object whose references are all gone is not).
size_t CallbackObjectsReferenced();
void CallbackReset();
}  // namespace platform
