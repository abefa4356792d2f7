// The driver's named callback objects ("\Callback\AudioHalAddr%p", "\Callback\StreamEngineAddr%p"):
// registration on one, and its release with its name.
#pragma once

#include "platform/nt/Kernel.h"

// Registers pCallback on the object; STATUS_UNSUCCESSFUL when there is no object or the kernel
// refuses the registration, which is then stored nowhere.
inline NTSTATUS RegisterOnNamedCallback(PCALLBACK_OBJECT pObject, PCALLBACK_FUNCTION pCallback, PVOID pContext,
                                        PVOID* ppRegistration)
{
    if (ppRegistration == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (pObject == nullptr) {
        return STATUS_UNSUCCESSFUL;
    }
    PVOID pRegistration = ExRegisterCallback(pObject, pCallback, pContext);
    if (pRegistration == nullptr) {
        return STATUS_UNSUCCESSFUL;
    }
    *ppRegistration = pRegistration;
    return STATUS_SUCCESS;
}

// Drops the driver's reference. The name goes with the object, so that a later owner at the same
// address never reopens an object that still carries this one's registrations.
inline VOID ReleaseNamedCallback(PCALLBACK_OBJECT* ppObject)
{
    if (*ppObject != nullptr) {
        ObMakeTemporaryObject(*ppObject);
        ObDereferenceObject(*ppObject);
        *ppObject = nullptr;
    }
}
