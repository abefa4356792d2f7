// The factory the UAC2 AudioStreaming parser creates its endpoints through: a render endpoint for
// an interface linked to an input terminal, a capture endpoint for one linked to an output
// terminal, each clocked by the clock entity of its terminal.
#include "stream/Uac2CaptureEndpoint.h"
#include "stream/Uac2RenderEndpoint.h"
#include "stream/Uac2EndpointFactory.h"

NTSTATUS NewUac2Endpoint(BOOLEAN bCapture, ULONG ulInterfaceNumber, ULONG ulTerminalEntityId, ULONG ulClockEntityId,
                         UsbStreamEndpoint** ppEndpoint)
{
    PAGED_CODE();
    if (bCapture) {
        *ppEndpoint = new (NonPagedPoolNx, UAC2_ENDPOINT_TAG)
            Uac2CaptureEndpoint(nullptr, ulInterfaceNumber, ulTerminalEntityId, ulClockEntityId);
    } else {
        *ppEndpoint = new (NonPagedPoolNx, UAC2_ENDPOINT_TAG)
            Uac2RenderEndpoint(nullptr, ulInterfaceNumber, ulTerminalEntityId, ulClockEntityId);
    }
    return *ppEndpoint != nullptr ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
}
