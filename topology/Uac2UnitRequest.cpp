#include "topology/Uac2UnitRequest.h"

#include "topology/Uac1UnitRequest.h"

ULONG Uac2RangeLength(ULONG subranges, ULONG width)
{
    const ULONGLONG length = 2ull + 3ull * width * static_cast<ULONGLONG>(subranges);
    return length > 0xFFFF ? 0 : static_cast<ULONG>(length);
}

NTSTATUS Uac2Cur(IAudioHal* owner, UCHAR id, USHORT value, BOOLEAN read, PVOID buffer, ULONG length)
{
    if (read) {
        return UnitControlReadExact(owner, id, URB_FUNCTION_CLASS_INTERFACE, USB_AUDIO2_CUR, value, buffer, length);
    }
    return UnitControlTransfer(owner, id, URB_FUNCTION_CLASS_INTERFACE, USB_AUDIO2_CUR, value, FALSE, buffer, length,
                               nullptr);
}

NTSTATUS Uac2Range(IAudioHal* owner, UCHAR id, USHORT value, PVOID buffer, ULONG length)
{
    if (length > 0xFFFF || buffer == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    return UnitControlReadExact(owner, id, URB_FUNCTION_CLASS_INTERFACE, USB_AUDIO2_RANGE, value, buffer, length);
}

NTSTATUS Uac2MemRead(IAudioHal* owner, UCHAR id, USHORT offset, PVOID buffer, ULONG length)
{
    return UnitControlReadExact(owner, id, URB_FUNCTION_CLASS_INTERFACE, USB_AUDIO2_MEM, offset, buffer, length);
}
