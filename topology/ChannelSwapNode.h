// The render-path node of the V3 function that trades the back and side pairs of an 8-channel PCM
// stream (channels 4/5 and 6/7) by swapping the channel pointers of the chunk.
#pragma once

#include "adapter/EntityInterfaces.h"
#include "adapter/UnknownBase.h"

class ChannelSwapNode : public UnknownBase, public IProcessingNode {
public:
    DECLARE_UNKNOWN_BASE()

    explicit ChannelSwapNode(PUNKNOWN pOuterUnknown) : UnknownBase(pOuterUnknown) {}

    NTSTATUS Reserved1() override { return STATUS_NOT_IMPLEMENTED; }
    NTSTATUS Reserved2() override { return STATUS_NOT_IMPLEMENTED; }
    NTSTATUS SetFormat(const WaveFormatRecord*) override { return STATUS_SUCCESS; }
    NTSTATUS Flush() override { return STATUS_SUCCESS; }
    // 8-channel PCM only; touches nothing but the pointer array. DISPATCH_LEVEL.
    NTSTATUS Process(const WaveFormatRecord* pFormat, PVOID pData, ULONG ulFrames) override;
    NTSTATUS Reset() override { return STATUS_SUCCESS; }
};
