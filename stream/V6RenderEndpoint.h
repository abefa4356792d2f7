// The render endpoint of the effects variant: its streams carry 8-channel frames that the effect
// nodes render into the first two channels; the endpoint limits the processed stream and sends
// only those two channels of every frame. Completions report the clients' full frames.
#pragma once

#include "stream/Uac1RenderEndpoint.h"

class V6RenderEndpoint : public Uac1RenderEndpoint {
public:
    // PASSIVE_LEVEL, as the base's.
    V6RenderEndpoint(PUNKNOWN pOuterUnknown, ULONG ulInterfaceNumber, ULONG ulTerminalLink);
    ~V6RenderEndpoint() override = default;

    // Fewer than two channels, or an odd number, cannot be reduced to the device's pair:
    // STATUS_NO_MATCH, nothing prepared. PASSIVE_LEVEL.
    NTSTATUS PrepareFormat(EndpointClient* pClient, PULONG pulFrame) override;

    // Every format, also on a headphone or headset output: its formats are 8-channel ones, which
    // the two-channel list of such outputs would leave empty. IRQL <= DISPATCH_LEVEL.
    ULONG GetFormatCount() override;
    NTSTATUS GetFormat(ULONG ulIndex, WaveFormatRecord* pFormat) override;

protected:
    // DISPATCH_LEVEL: ShapeWireData under the submit lock, ClientBytes in the completion.
    ULONG ShapeWireData(PUCHAR pBuffer, ULONG ulBytes, _URB_ISOCH_TRANSFER* pIso) override;
    ULONG ClientBytes(ULONG ulWireBytes) override;

private:
    // The endpoint's limiter over the PCM frames of the buffer, in chunks of the processing path.
    // DISPATCH_LEVEL, under the submit lock (it takes the stream engine's lock at DPC level).
    VOID LimitFrames(PUCHAR pBuffer, ULONG ulFrames);
    // The channels of the current format per channel pair sent (1 for a stereo stream). Any IRQL.
    ULONG ReductionFactor() const;
};
