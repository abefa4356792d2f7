// Stands in for the UAC1 descriptor parsers until they are built: no device model yet.
#include "usb/Uac1Parse.h"

NTSTATUS ParseAudioControlUac1(Uac1Function* pFunction, PUSB_INTERFACE_DESCRIPTOR pInterface, ULONG ulBytes)
{
    UNREFERENCED_PARAMETER(pFunction);
    UNREFERENCED_PARAMETER(pInterface);
    UNREFERENCED_PARAMETER(ulBytes);
    return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS ParseAudioStreamingUac1(Uac1Function* pFunction, PUSB_CONFIGURATION_DESCRIPTOR pConfiguration,
                                 PUSB_INTERFACE_DESCRIPTOR pInterface, ULONG ulBytes)
{
    UNREFERENCED_PARAMETER(pFunction);
    UNREFERENCED_PARAMETER(pConfiguration);
    UNREFERENCED_PARAMETER(pInterface);
    UNREFERENCED_PARAMETER(ulBytes);
    return STATUS_NOT_IMPLEMENTED;
}
