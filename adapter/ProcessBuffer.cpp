// The stream engine's processing path: every buffer of the endpoint passes through it in place,
// in chunks of at most 512 frames. PCM is converted to per-channel float for the processing nodes
// and back; other formats reach the nodes as they are.
#include <cstring>

#include "adapter/FloatingPointMode.h"
#include "adapter/StreamEngine.h"
#include "platform/nt/Debug.h"
#include "primitives/Primitives.h"

namespace {

constexpr USHORT FORMAT_TAG_PCM = WAVE_FORMAT_PCM;

USHORT FormatTag(const WaveFormatRecord& format)
{
    if (format.Format.wFormatTag == WAVE_FORMAT_EXTENSIBLE) {
        return static_cast<USHORT>(format.SubFormat.Data1 & 0xFFFF);
    }
    return format.Format.wFormatTag;
}

}  // namespace

VOID PcmToFloat(StreamEngine* pEngine, PUCHAR pPcm, float** ppChannels, float* pInterleave, ULONG ulFrames,
                const WaveFormatRecord* pFormat)
{
    UNREFERENCED_PARAMETER(pEngine);
    const int32_t nChannels = pFormat->Format.nChannels;
    const int32_t n = static_cast<int32_t>(ulFrames) * nChannels;
    switch (pFormat->Format.wBitsPerSample) {
    case 16:
        ConvertInt16ToFloat(reinterpret_cast<const int16_t*>(pPcm), pInterleave, n, 15);
        break;
    case 24:
        ConvertInt24ToFloat(pPcm, pInterleave, n);
        DivideByConstantInPlace(8388608.0f, pInterleave, n);
        break;
    case 32:
        ConvertInt32ToFloatScaled(reinterpret_cast<const int32_t*>(pPcm), pInterleave, n, 31);
        break;
    default:
        break;
    }
    DeinterleaveChannels(pInterleave, nChannels, static_cast<int32_t>(ulFrames), ppChannels);
}

VOID FloatToPcm(StreamEngine* pEngine, PUCHAR pPcm, float** ppChannels, float* pInterleave, ULONG ulFrames,
                const WaveFormatRecord* pFormat)
{
    UNREFERENCED_PARAMETER(pEngine);
    const int32_t nChannels = pFormat->Format.nChannels;
    const int32_t n = static_cast<int32_t>(ulFrames) * nChannels;
    InterleaveChannels(ppChannels, nChannels, static_cast<int32_t>(ulFrames), pInterleave);
    switch (pFormat->Format.wBitsPerSample) {
    case 16:
        ConvertFloatToInt16(pInterleave, reinterpret_cast<int16_t*>(pPcm), n, 0, -15);
        break;
    case 24:
        ConvertFloatToInt24(pInterleave, pPcm, n, -23);
        break;
    case 32:
        ConvertFloatToInt32(pInterleave, reinterpret_cast<int32_t*>(pPcm), n, 0, -31);
        break;
    default:
        break;
    }
}

NTSTATUS StreamEngine::CheckProcessingFormat(ULONG ulBytes, PULONG pFrames, PULONG pFormatTag)
{
    const WaveFormatRecord& format = m_CurrentWaveFormat;
    const ULONG ulBlockAlign = format.Format.nBlockAlign;
    // No format yet: nothing to divide the buffer by.
    if (ulBlockAlign == 0) {
        return STATUS_UNSUCCESSFUL;
    }
    if (ulBytes % ulBlockAlign != 0) {
        DbgPrint("0 != lBufSize(%d) Div m_CurrentWaveFormat.Format.nBlockAlign(%d) \n", static_cast<int>(ulBytes),
                 static_cast<int>(ulBlockAlign));
        return STATUS_UNSUCCESSFUL;
    }
    const ULONG ulTag = FormatTag(format);
    if (ulTag == FORMAT_TAG_PCM) {
        // The channel buffers hold eight channels, the conversions know three sample sizes, and
        // a frame must hold every sample the conversions read.
        const ULONG ulBits = format.Format.wBitsPerSample;
        const ULONG ulChannels = format.Format.nChannels;
        if (ulChannels == 0 || ulChannels > STREAM_ENGINE_MAX_CHANNELS || (ulBits != 16 && ulBits != 24 && ulBits != 32) ||
            ulBlockAlign < ulChannels * (ulBits / 8)) {
            return STATUS_UNSUCCESSFUL;
        }
    }
    *pFrames = ulBytes / ulBlockAlign;
    *pFormatTag = ulTag;
    return STATUS_SUCCESS;
}

NTSTATUS StreamEngine::ProcessChunks(PUCHAR pBuffer, ULONG ulFrames, ULONG ulFormatTag, bool bClientLists)
{
    const WaveFormatRecord format = m_CurrentWaveFormat;
    const ULONG ulBlockAlign = format.Format.nBlockAlign;
    auto* pInterleave = reinterpret_cast<float*>(m_pInterleaveBuffer);
    const bool bNodes = m_pNodes != nullptr && !m_pNodes->IsEmpty();
    const bool bListA = bClientLists && m_pProcessorsA != nullptr && !m_pProcessorsA->IsEmpty();
    const bool bListB = bClientLists && m_pProcessorsB != nullptr && !m_pProcessorsB->IsEmpty();
    if (ulFormatTag == FORMAT_TAG_PCM && (m_pInterleaveBuffer == nullptr || m_ppChannelBuffers == nullptr)) {
        // An endpoint whose processing buffers were never allocated cannot convert.
        return STATUS_UNSUCCESSFUL;
    }
    NTSTATUS status = STATUS_SUCCESS;
    ULONG ulDone = 0;
    while (ulDone < ulFrames) {
        const ULONG ulChunk =
            ulFrames - ulDone < STREAM_ENGINE_CHUNK_FRAMES ? ulFrames - ulDone : STREAM_ENGINE_CHUNK_FRAMES;
        PUCHAR pPosition = pBuffer + static_cast<size_t>(ulDone) * ulBlockAlign;
        if (ulFormatTag == FORMAT_TAG_PCM) {
            PcmToFloat(this, pPosition, m_ppChannelBuffers, pInterleave, ulChunk, &format);
            if (bNodes) {
                status = RunNodeProcessors(pPosition, ulChunk, FORMAT_TAG_PCM);
                if (status < 0) return status;
            }
            if (bListA) {
                status = RunClientProcessorsA(ulChunk);
                if (status < 0) return status;
            }
            if (bListB) {
                status = RunClientProcessorsB(ulChunk);
                if (status < 0) return status;
            }
            FloatToPcm(this, pPosition, m_ppChannelBuffers, pInterleave, ulChunk, &format);
        } else if (bNodes) {
            status = RunNodeProcessors(pPosition, ulChunk, ulFormatTag);
            if (status < 0) return status;
        }
        ulDone += ulChunk;
    }
    return status;
}

NTSTATUS StreamEngine::ProcessBuffer(PVOID pBuffer, ULONG ulBytes)
{
    ULONG ulFrames = 0;
    ULONG ulTag = 0;
    NTSTATUS status = CheckProcessingFormat(ulBytes, &ulFrames, &ulTag);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    FloatingPointMode mode;
    // The callers run at DISPATCH_LEVEL already (transfer submission and completion).
    KeAcquireSpinLockAtDpcLevel(&m_StreamEngineLock);
    const bool bEmpty = (m_pNodes == nullptr || m_pNodes->IsEmpty()) &&
                        (m_pProcessorsA == nullptr || m_pProcessorsA->IsEmpty()) &&
                        (m_pProcessorsB == nullptr || m_pProcessorsB->IsEmpty());
    if (!bEmpty && ulFrames != 0) {
        status = ProcessChunks(static_cast<PUCHAR>(pBuffer), ulFrames, ulTag, true);
    }
    KeReleaseSpinLockFromDpcLevel(&m_StreamEngineLock);
    return status;
}

NTSTATUS StreamEngine::ProcessBufferNodes(PVOID pBuffer, ULONG ulBytes)
{
    ULONG ulFrames = 0;
    ULONG ulTag = 0;
    NTSTATUS status = CheckProcessingFormat(ulBytes, &ulFrames, &ulTag);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (m_pNodes == nullptr || m_pNodes->IsEmpty()) {
        return STATUS_SUCCESS;
    }
    FloatingPointMode mode;
    return ProcessChunks(static_cast<PUCHAR>(pBuffer), ulFrames, ulTag, false);
}

NTSTATUS StreamEngine::RunNodeProcessors(PVOID pData, ULONG ulFrames, ULONG ulFormatTag)
{
    if (m_pNodes == nullptr) {
        return STATUS_SUCCESS;
    }
    PVOID pArgument = ulFormatTag == FORMAT_TAG_PCM ? static_cast<PVOID>(m_ppChannelBuffers) : pData;
    NTSTATUS status = STATUS_SUCCESS;
    for (IProcessingNode* pNode : m_pNodes->Items<IProcessingNode>()) {
        status = pNode->Process(&m_CurrentWaveFormat, pArgument, ulFrames);
        if (status < 0) {
            return status;
        }
    }
    return status;
}

NTSTATUS StreamEngine::RunClientProcessors(ObjectList* pList, PVOID pData, ULONG ulFrames, bool bListA)
{
    if (pList == nullptr) {
        return STATUS_SUCCESS;
    }
    NTSTATUS status = STATUS_SUCCESS;
    for (IClientProcessor* pProcessor : pList->Items<IClientProcessor>()) {
        status = bListA ? pProcessor->ProcessA(&m_CurrentWaveFormat, pData, ulFrames)
                        : pProcessor->ProcessB(&m_CurrentWaveFormat, pData, ulFrames);
        if (status < 0) {
            return status;
        }
    }
    return status;
}

NTSTATUS StreamEngine::RunClientProcessorsA(ULONG ulFrames)
{
    return RunClientProcessors(m_pProcessorsA, m_ppChannelBuffers, ulFrames, true);
}
NTSTATUS StreamEngine::RunClientProcessorsB(ULONG ulFrames)
{
    return RunClientProcessors(m_pProcessorsB, m_ppChannelBuffers, ulFrames, false);
}

NTSTATUS StreamEngine::ProcessBufferList(ObjectList* pList, PVOID pBuffer, ULONG ulBytes, bool bListA)
{
    const ULONG ulBlockAlign = m_CurrentWaveFormat.Format.nBlockAlign;
    if (ulBlockAlign == 0) {
        return STATUS_UNSUCCESSFUL;
    }
    if (ulBytes % ulBlockAlign != 0) {
        DbgPrint("0 != lBufSize(%d) Div m_CurrentWaveFormat.Format.nBlockAlign(%d) \n", static_cast<int>(ulBytes),
                 static_cast<int>(ulBlockAlign));
        return STATUS_UNSUCCESSFUL;
    }
    if (pList == nullptr || pList->IsEmpty()) {
        return STATUS_SUCCESS;
    }
    FloatingPointMode mode;
    if (FormatTag(m_CurrentWaveFormat) != FORMAT_TAG_PCM) {
        return STATUS_SUCCESS;
    }
    return RunClientProcessors(pList, pBuffer, ulBytes / ulBlockAlign, bListA);
}

NTSTATUS StreamEngine::ProcessBufferListA(PVOID pBuffer, ULONG ulBytes)
{
    return ProcessBufferList(m_pProcessorsA, pBuffer, ulBytes, true);
}

NTSTATUS StreamEngine::ProcessBufferListB(PVOID pBuffer, ULONG ulBytes)
{
    return ProcessBufferList(m_pProcessorsB, pBuffer, ulBytes, false);
}
