// Building one unit object of an AudioControl descriptor for the UAC1 parsers: allocated zeroed
// from non-paged pool with the parser's tag, a provisional id (the function's unit count),
// initialised from the descriptor with the function as owner and registry, then kept in the
// function's unit list.
#pragma once

#include "usb/Uac1Function.h"

template <typename T>
NTSTATUS BuildUac1Unit(Uac1Function* pFunction, const UCHAR* pDescriptor, ULONG ulTag)
{
    auto* pUnit = new (NonPagedPoolNx, ulTag) T(nullptr, pFunction->GetUnitCount());
    if (pUnit == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    UsbAudioUnit* pBase = pUnit;
    pBase->AddRef();
    IAudioHal* pHal = pFunction;
    NTSTATUS status = pUnit->InitFromDescriptor(pDescriptor, pHal, pHal);
    if (NT_SUCCESS(status)) {
        status = pFunction->AddUnit(pBase);
    }
    pBase->Release();
    return status;
}
