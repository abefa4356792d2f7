// Interim endpoints of the UAC2 function: the UAC1 classes stream at the nominal rate without
// explicit feedback, and take no clock entity. Replaced by the UAC2 classes.
#include "stream/Uac1CaptureEndpoint.h"
#include "stream/Uac1RenderEndpoint.h"
#include "usb/Uac2Endpoints.h"
#include "usb/UsbAudioFunction.h"

NTSTATUS NewUac2Endpoint(BOOLEAN bCapture, ULONG ulInterfaceNumber, ULONG ulTerminalEntityId, ULONG ulClockEntityId,
                         UsbStreamEndpoint** ppEndpoint)
{
    UNREFERENCED_PARAMETER(ulClockEntityId);
    if (bCapture) {
        *ppEndpoint =
            new (NonPagedPoolNx, UAC2_FUNCTION_TAG) Uac1CaptureEndpoint(nullptr, ulInterfaceNumber, ulTerminalEntityId);
    } else {
        *ppEndpoint =
            new (NonPagedPoolNx, UAC2_FUNCTION_TAG) Uac1RenderEndpoint(nullptr, ulInterfaceNumber, ulTerminalEntityId);
    }
    return *ppEndpoint != nullptr ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
}
