// A one-channel mute on an endpoint's stream, done in software: while its byte is set, every
// processed chunk is silenced. The state lives only in memory.
#pragma once

#include "topology/OnOffEntity.h"

class SoftwareMuteNode : public IProcessingNode, public OnOffEntity {
public:
    DECLARE_UNKNOWN_BASE()

    SoftwareMuteNode(PUNKNOWN pOuterUnknown, ULONG ulId) : OnOffEntity(pOuterUnknown, ulId, ENTITY_MUTE) {}

    // One channel only; its byte is non-paged, for Process at DISPATCH_LEVEL.
    NTSTATUS Init(ULONG ulSourceId, ULONG ulChannelCount) override;

    NTSTATUS Reserved1() override { return STATUS_NOT_IMPLEMENTED; }
    NTSTATUS Reserved2() override { return STATUS_NOT_IMPLEMENTED; }
    NTSTATUS SetFormat(const WaveFormatRecord*) override { return STATUS_SUCCESS; }
    NTSTATUS Flush() override { return STATUS_SUCCESS; }
    // Reads the byte once, so a chunk is either wholly silenced or untouched. No allocation.
    NTSTATUS Process(const WaveFormatRecord* pFormat, PVOID pData, ULONG ulFrames) override;
    NTSTATUS Reset() override { return STATUS_SUCCESS; }
};
