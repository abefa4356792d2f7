// The chip variants V4, V5 and V6 of the UAC1 function. Each sets the stored capability block its
// own way and builds its own unit classes for chosen unit ids; V6 also renders through its own
// endpoint, which reduces an 8-channel stream to the device's two channels. None of them answers
// IUsbAudioFunction: the device keeps no such interface for them.
#pragma once

#include "usb/Uac1Function.h"

constexpr ULONG UAC1_V4_TAG = MakePoolTag("7301");
constexpr ULONG UAC1_V5_TAG = MakePoolTag("7303");
constexpr ULONG UAC1_V6_TAG = MakePoolTag("7304");

// What the three share: Configure with the variant's capability block, and a QueryInterface that
// answers IUnknown, IAudioHal and IAdapterPowerManagement only. In all four classes, as in the
// plain function, Create, Configure, the parsers and destruction run at PASSIVE_LEVEL;
// construction, QueryInterface, SetStoredCapabilities and ShapeFormatTemplate at any IRQL.
class Uac1FunctionChipVariant : public Uac1Function {
public:
    NTSTATUS NonDelegatingQueryInterface(REFIID iid, PVOID* ppvObject) override;
    NTSTATUS Configure() override;

protected:
    Uac1FunctionChipVariant(PUNKNOWN pOuterUnknown, USHORT idVendor, USHORT idProduct)
        : Uac1Function(pOuterUnknown, idVendor, idProduct)
    {
    }
    virtual VOID SetStoredCapabilities() = 0;
};

class Uac1FunctionV4 : public Uac1FunctionChipVariant {
public:
    static NTSTATUS Create(PUNKNOWN* ppFunction, PUNKNOWN pOuterUnknown, USHORT idVendor, USHORT idProduct);
    Uac1FunctionV4(PUNKNOWN pOuterUnknown, USHORT idVendor, USHORT idProduct)
        : Uac1FunctionChipVariant(pOuterUnknown, idVendor, idProduct)
    {
    }
    NTSTATUS ParseAudioControl(PUSB_INTERFACE_DESCRIPTOR pInterface, ULONG ulBytes) override;

protected:
    VOID SetStoredCapabilities() override;
};

class Uac1FunctionV5 : public Uac1FunctionChipVariant {
public:
    static NTSTATUS Create(PUNKNOWN* ppFunction, PUNKNOWN pOuterUnknown, USHORT idVendor, USHORT idProduct);
    Uac1FunctionV5(PUNKNOWN pOuterUnknown, USHORT idVendor, USHORT idProduct)
        : Uac1FunctionChipVariant(pOuterUnknown, idVendor, idProduct)
    {
    }
    NTSTATUS ParseAudioControl(PUSB_INTERFACE_DESCRIPTOR pInterface, ULONG ulBytes) override;

protected:
    VOID SetStoredCapabilities() override;
};

// The effects variant: every feature unit an effect feature unit, render endpoints of its own
// with 8-channel formats, and no capability of its own in the stored block.
class Uac1FunctionV6 : public Uac1FunctionChipVariant {
public:
    static NTSTATUS Create(PUNKNOWN* ppFunction, PUNKNOWN pOuterUnknown, USHORT idVendor, USHORT idProduct);
    Uac1FunctionV6(PUNKNOWN pOuterUnknown, USHORT idVendor, USHORT idProduct)
        : Uac1FunctionChipVariant(pOuterUnknown, idVendor, idProduct)
    {
    }
    NTSTATUS ParseAudioControl(PUSB_INTERFACE_DESCRIPTOR pInterface, ULONG ulBytes) override;
    NTSTATUS ParseAudioStreaming(PUSB_CONFIGURATION_DESCRIPTOR pConfiguration, PUSB_INTERFACE_DESCRIPTOR pInterface,
                                 ULONG ulBytes) override;
    // A render format is built for 8 channels whatever the interface says.
    VOID ShapeFormatTemplate(UsbStreamEndpoint* pEndpoint, WaveFormatRecord* pRecord) override;

protected:
    VOID SetStoredCapabilities() override {}
};

// The AudioControl parsers of the variants (the UAC1 walk with the variant's unit classes).
// PASSIVE_LEVEL.
NTSTATUS ParseAudioControlV4(Uac1Function* pFunction, PUSB_INTERFACE_DESCRIPTOR pInterface, ULONG ulBytes);
NTSTATUS ParseAudioControlV5(Uac1Function* pFunction, PUSB_INTERFACE_DESCRIPTOR pInterface, ULONG ulBytes);
NTSTATUS ParseAudioControlV6(Uac1Function* pFunction, PUSB_INTERFACE_DESCRIPTOR pInterface, ULONG ulBytes);
// The UAC1 AudioStreaming walk with the effects variant's render endpoints. PASSIVE_LEVEL.
NTSTATUS ParseAudioStreamingEffects(Uac1Function* pFunction, PUSB_CONFIGURATION_DESCRIPTOR pConfiguration,
                                    PUSB_INTERFACE_DESCRIPTOR pInterface, ULONG ulBytes);
