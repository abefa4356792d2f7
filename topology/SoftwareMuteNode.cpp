#include "topology/SoftwareMuteNode.h"

#include <cstring>

#include "primitives/Primitives.h"
#include "topology/EntityCommon.h"

NTSTATUS SoftwareMuteNode::NonDelegatingQueryInterface(REFIID iid, PVOID* ppvObject)
{
    NTSTATUS status = OnOffEntity::NonDelegatingQueryInterface(iid, ppvObject);
    if (NT_SUCCESS(status) || ppvObject == nullptr) {
        return status;
    }
    if (IsEqualGUID(iid, IID_IProcessingNode)) {
        return ReturnInterface(static_cast<IProcessingNode*>(this), ppvObject);
    }
    return STATUS_INVALID_PARAMETER;
}

NTSTATUS SoftwareMuteNode::Init(ULONG ulSourceId, ULONG ulChannelCount)
{
    if (ulChannelCount != 1) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    return InitValues(ulSourceId, 1, NonPagedPoolNx, SOFTWARE_MUTE_TAG);
}

NTSTATUS SoftwareMuteNode::Process(const WaveFormatRecord* pFormat, PVOID pData, ULONG ulFrames)
{
    if (m_ulChannelCount == 0 || LoadRelaxed(&m_pValues[0]) == 0) {
        return STATUS_SUCCESS;
    }
    const WAVEFORMATEX& format = pFormat->Format;
    const bool pcm = format.wFormatTag == WAVE_FORMAT_PCM ||
                     (format.wFormatTag == WAVE_FORMAT_EXTENSIBLE && (pFormat->SubFormat.Data1 & 0xFFFF) == 1);
    if (pcm) {
        auto** ppChannels = static_cast<float**>(pData);
        for (USHORT c = 0; c < format.nChannels; ++c) {
            ZeroFloat(ppChannels[c], static_cast<int32_t>(ulFrames));
        }
    } else {
        std::memset(pData, 0, static_cast<SIZE_T>(format.nBlockAlign) * ulFrames);
    }
    return STATUS_SUCCESS;
}
