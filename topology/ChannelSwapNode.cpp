#include "topology/ChannelSwapNode.h"

NTSTATUS ChannelSwapNode::NonDelegatingQueryInterface(REFIID iid, PVOID* ppvObject)
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

NTSTATUS ChannelSwapNode::Process(const WaveFormatRecord* pFormat, PVOID pData, ULONG ulFrames)
{
    UNREFERENCED_PARAMETER(ulFrames);
    if (pFormat == nullptr || pData == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    const WAVEFORMATEX& format = pFormat->Format;
    const USHORT tag = format.wFormatTag == WAVE_FORMAT_EXTENSIBLE ? static_cast<USHORT>(pFormat->SubFormat.Data1 & 0xFFFF)
                                                                   : format.wFormatTag;
    if (tag != WAVE_FORMAT_PCM || format.nChannels != 8) {
        return STATUS_SUCCESS;
    }
    auto** ppChannels = static_cast<float**>(pData);
    float* p = ppChannels[4];
    ppChannels[4] = ppChannels[6];
    ppChannels[6] = p;
    p = ppChannels[5];
    ppChannels[5] = ppChannels[7];
    ppChannels[7] = p;
    return STATUS_SUCCESS;
}
