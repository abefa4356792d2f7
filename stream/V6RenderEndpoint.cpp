#include "stream/V6RenderEndpoint.h"

#include <cstring>

#include "adapter/FloatingPointMode.h"

namespace {

// The tag of a format: wFormatTag, or the first 16 bits of the subformat of an extensible one.
USHORT FormatTag(const WaveFormatRecord& format)
{
    return format.Format.wFormatTag == WAVE_FORMAT_EXTENSIBLE ? static_cast<USHORT>(format.SubFormat.Data1 & 0xFFFF)
                                                              : format.Format.wFormatTag;
}

}  // namespace

V6RenderEndpoint::V6RenderEndpoint(PUNKNOWN pOuterUnknown, ULONG ulInterfaceNumber, ULONG ulTerminalLink)
    : Uac1RenderEndpoint(pOuterUnknown, ulInterfaceNumber, ulTerminalLink)
{
}

NTSTATUS V6RenderEndpoint::PrepareFormat(EndpointClient* pClient, PULONG pulFrame)
{
    PAGED_CODE();
    if (pClient != nullptr) {
        const ULONG ulChannels = pClient->Format.Format.nChannels;
        if (ulChannels < 2 || ulChannels % 2 != 0) {
            return STATUS_NO_MATCH;
        }
    }
    return Uac1RenderEndpoint::PrepareFormat(pClient, pulFrame);
}

ULONG V6RenderEndpoint::GetFormatCount() { return m_pFormats != nullptr ? static_cast<ULONG>(m_pFormats->GetCount()) : 0; }

NTSTATUS V6RenderEndpoint::GetFormat(ULONG ulIndex, WaveFormatRecord* pFormat)
{
    if (m_pFormats == nullptr) {
        return STATUS_UNSUCCESSFUL;
    }
    const auto* pRecord = pFormat != nullptr ? m_pFormats->GetAt<const WaveFormatRecord>(ulIndex) : nullptr;
    if (pRecord == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    std::memcpy(pFormat, pRecord, sizeof *pFormat);
    return STATUS_SUCCESS;
}

ULONG V6RenderEndpoint::ReductionFactor() const
{
    const ULONG ulChannels = m_CurrentWaveFormat.Format.nChannels;
    return ulChannels >= 2 ? ulChannels / 2 : 1;
}

VOID V6RenderEndpoint::LimitFrames(PUCHAR pBuffer, ULONG ulFrames)
{
    const WaveFormatRecord format = m_CurrentWaveFormat;
    if (m_ppChannelBuffers == nullptr || m_pInterleaveBuffer == nullptr) {
        return;
    }
    auto* pInterleave = reinterpret_cast<float*>(m_pInterleaveBuffer);
    // The control register comes back after the lock is released.
    FloatingPointMode mode;
    KeAcquireSpinLockAtDpcLevel(&m_StreamEngineLock);
    for (ULONG ulDone = 0; ulDone < ulFrames;) {
        const ULONG ulChunk =
            ulFrames - ulDone < STREAM_ENGINE_CHUNK_FRAMES ? ulFrames - ulDone : STREAM_ENGINE_CHUNK_FRAMES;
        PUCHAR pPosition = pBuffer + static_cast<size_t>(ulDone) * format.Format.nBlockAlign;
        PcmToFloat(this, pPosition, m_ppChannelBuffers, pInterleave, ulChunk, &format);
        m_pLimiter->Process(m_ppChannelBuffers, static_cast<int32_t>(ulChunk));
        FloatToPcm(this, pPosition, m_ppChannelBuffers, pInterleave, ulChunk, &format);
        ulDone += ulChunk;
    }
    KeReleaseSpinLockFromDpcLevel(&m_StreamEngineLock);
}

ULONG V6RenderEndpoint::ShapeWireData(PUCHAR pBuffer, ULONG ulBytes, _URB_ISOCH_TRANSFER* pIso)
{
    const ULONG ulChannels = m_CurrentWaveFormat.Format.nChannels;
    const ULONG ulBlockAlign = m_CurrentWaveFormat.Format.nBlockAlign;
    if (ulChannels < 2 || ulBlockAlign == 0 || ulBlockAlign % ulChannels != 0) {
        return ulBytes;
    }
    const ULONG ulFrames = ulBytes / ulBlockAlign;
    // Only PCM is limited: other formats are not samples the limiter could read.
    if (m_pLimiter != nullptr && FormatTag(m_CurrentWaveFormat) == WAVE_FORMAT_PCM) {
        LimitFrames(pBuffer, ulFrames);
    }
    const ULONG ulFactor = ulChannels / 2;
    if (ulFactor == 1) {
        return ulBytes;
    }
    // Each frame keeps its first two samples, packed from the buffer's start; a sample is its
    // container (block align / channels), whatever its valid bits.
    const ULONG ulPair = 2 * (ulBlockAlign / ulChannels);
    for (ULONG f = 1; f < ulFrames; ++f) {
        std::memmove(pBuffer + static_cast<size_t>(f) * ulPair, pBuffer + static_cast<size_t>(f) * ulBlockAlign, ulPair);
    }
    for (ULONG i = 0; i < pIso->NumberOfPackets; ++i) {
        pIso->IsoPacket[i].Offset /= ulFactor;
        pIso->IsoPacket[i].Length /= ulFactor;
    }
    return ulBytes / ulFactor;
}

ULONG V6RenderEndpoint::ClientBytes(ULONG ulWireBytes) { return ulWireBytes * ReductionFactor(); }
