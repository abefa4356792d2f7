// Stands in for the UAC1 AudioStreaming parser until the streaming endpoints are built.
#include "usb/Uac1Parse.h"

NTSTATUS ParseAudioStreamingUac1(Uac1Function* pFunction, PUSB_CONFIGURATION_DESCRIPTOR pConfiguration,
                                 PUSB_INTERFACE_DESCRIPTOR pInterface, ULONG ulBytes)
{
    UNREFERENCED_PARAMETER(pFunction);
    UNREFERENCED_PARAMETER(pConfiguration);
    UNREFERENCED_PARAMETER(pInterface);
    UNREFERENCED_PARAMETER(ulBytes);
    return STATUS_NOT_IMPLEMENTED;
}
