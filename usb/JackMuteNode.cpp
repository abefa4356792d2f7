#include "usb/JackMuteNode.h"

#include "primitives/Primitives.h"

NTSTATUS JackMuteNode::NonDelegatingQueryInterface(REFIID iid, PVOID* ppvObject)
{
    NTSTATUS status = UnknownBase::NonDelegatingQueryInterface(iid, ppvObject);
    if (NT_SUCCESS(status) || ppvObject == nullptr) {
        return status;
    }
    if (IsEqualGUID(iid, IID_IProcessingNode)) {
        return ReturnInterface(static_cast<IProcessingNode*>(this), ppvObject);
    }
    return STATUS_INVALID_PARAMETER;
}

NTSTATUS JackMuteNode::Init()
{
    SetMode(JACK_MUTE_PASS);
    return STATUS_SUCCESS;
}

NTSTATUS JackMuteNode::Process(const WaveFormatRecord* pFormat, PVOID pData, ULONG ulFrames)
{
    const ULONG ulMode = GetMode();
    if (ulMode == JACK_MUTE_PASS || pFormat == nullptr || pData == nullptr) {
        return STATUS_SUCCESS;
    }
    const WAVEFORMATEX& format = pFormat->Format;
    const USHORT tag = format.wFormatTag == WAVE_FORMAT_EXTENSIBLE ? static_cast<USHORT>(pFormat->SubFormat.Data1 & 0xFFFF)
                                                                   : format.wFormatTag;
    if (tag != WAVE_FORMAT_PCM) {
        return STATUS_SUCCESS;
    }
    auto** ppChannels = static_cast<float**>(pData);
    for (USHORT c = 0; c < format.nChannels; ++c) {
        if (ulMode == JACK_MUTE_ATTENUATE) {
            MultiplyByConstantInPlace(0.25f, ppChannels[c], static_cast<int32_t>(ulFrames));
        } else if (ulMode == JACK_MUTE_SILENCE) {
            ZeroFloat(ppChannels[c], static_cast<int32_t>(ulFrames));
        }
    }
    return STATUS_SUCCESS;
}
