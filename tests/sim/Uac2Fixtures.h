// Test-only: the UAC 2.0 devices behind the fixtures in sim/profiles, written after the audio
// class's descriptor layouts. Uac2FixtureTest checks that the files still match these builders;
// KVX_PRINT_PROFILE_BYTES=1 makes it print the descriptor bytes to paste.
#pragma once

#include "sim/DescriptorBuilder.h"

namespace kvxtest {

// Entity ids shared by the headsets.
struct Uac2HeadsetIds {
    static constexpr uint8_t Clock = 10;
    static constexpr uint8_t StreamIn = 1;     // USB streaming input terminal (render)
    static constexpr uint8_t RenderUnit = 2;   // feature unit: master mute and volume
    static constexpr uint8_t Headphones = 3;   // output terminal, Connectors readable
    static constexpr uint8_t Microphone = 4;   // input terminal, Connectors readable
    static constexpr uint8_t CaptureUnit = 5;  // feature unit: master mute and volume
    static constexpr uint8_t StreamOut = 6;    // USB streaming output terminal (capture)
    static constexpr uint8_t StatusEndpoint = 0x83;
    static constexpr uint8_t RenderEndpoint = 0x01;
    static constexpr uint8_t FeedbackEndpoint = 0x81;
    static constexpr uint8_t CaptureEndpoint = 0x82;
};

// A headset: clock 10 feeds every terminal; stream -> feature unit (mute, volume) -> headphones;
// microphone -> feature unit -> stream. Render 16-bit and 24-in-32 stereo (alternate settings 1
// and 2), asynchronous with an explicit feedback endpoint; capture 16-bit mono; a 6-byte status
// pipe. High speed: packets every microframe, feedback 16.16 at bInterval 4 (1 ms), up to 96 kHz.
// Full speed: packets every frame, feedback 10.14 in 3 bytes every frame, up to 48 kHz.
inline sim::DescriptorBuilder Uac2Headset(bool highSpeed)
{
    using Id = Uac2HeadsetIds;
    // Largest packet: one frame over the nominal count at the highest rate.
    const uint16_t frames = highSpeed ? 96000 / 8000 + 1 : 48000 / 1000 + 1;
    sim::DescriptorBuilder b({0x1234, static_cast<uint16_t>(highSpeed ? 0x5721 : 0x5722), 0x0100, 0x0200, 1, 2, 0});
    b.InterfaceAssociation(0, 3)
        .AudioControl(0, 0x20, {}, 0x04)
        .Uac2ClockSource(Id::Clock, 0x03, 0x07)
        .Uac2InputTerminal(Id::StreamIn, 0x0101, Id::Clock, 2, 0x3)
        .Uac2FeatureUnit(Id::RenderUnit, Id::StreamIn, {0x0000000F, 0, 0})
        .Uac2OutputTerminal(Id::Headphones, 0x0302, Id::RenderUnit, Id::Clock, 0x0004)
        .Uac2InputTerminal(Id::Microphone, 0x0201, Id::Clock, 1, 0x0, 0x0004)
        .Uac2FeatureUnit(Id::CaptureUnit, Id::Microphone, {0x0000000F, 0})
        .Uac2OutputTerminal(Id::StreamOut, 0x0101, Id::CaptureUnit, Id::Clock)
        .Endpoint(Id::StatusEndpoint, 0x03, 6, highSpeed ? 4 : 1, false)
        .AudioStreaming(1, 0, 0x20)
        .AudioStreaming(1, 1, 0x20)
        .Uac2AsGeneral(Id::StreamIn, 2, 0x3)
        .Uac2FormatTypeI(2, 16)
        .Endpoint(Id::RenderEndpoint, 0x05, static_cast<uint16_t>(frames * 4), 1, false)
        .Uac2AsEndpoint()
        .Endpoint(Id::FeedbackEndpoint, 0x11, highSpeed ? 4 : 3, highSpeed ? 4 : 1, false)
        .AudioStreaming(1, 2, 0x20)
        .Uac2AsGeneral(Id::StreamIn, 2, 0x3)
        .Uac2FormatTypeI(4, 24)
        .Endpoint(Id::RenderEndpoint, 0x05, static_cast<uint16_t>(frames * 8), 1, false)
        .Uac2AsEndpoint()
        .Endpoint(Id::FeedbackEndpoint, 0x11, highSpeed ? 4 : 3, highSpeed ? 4 : 1, false)
        .AudioStreaming(2, 0, 0x20)
        .AudioStreaming(2, 1, 0x20)
        .Uac2AsGeneral(Id::StreamOut, 1, 0x0)
        .Uac2FormatTypeI(2, 16)
        .Endpoint(Id::CaptureEndpoint, 0x05, static_cast<uint16_t>(frames * 2), 1, false)
        .Uac2AsEndpoint();
    return b;
}

// Two clock sources (44.1 and 48 kHz families) behind clock selector 12, which clocks both
// terminals of a stream -> feature unit -> speaker path; one asynchronous render interface.
inline sim::DescriptorBuilder Uac2ClockSelectorDevice()
{
    sim::DescriptorBuilder b({0x1234, 0x5723, 0x0100, 0x0200, 1, 2, 0});
    b.InterfaceAssociation(0, 2)
        .AudioControl(0, 0x20, {}, 0x01)
        .Uac2ClockSource(10, 0x03, 0x07)
        .Uac2ClockSource(11, 0x03, 0x07)
        .Uac2ClockSelector(12, {10, 11})
        .Uac2InputTerminal(1, 0x0101, 12, 2, 0x3)
        .Uac2FeatureUnit(2, 1, {0x0000000F, 0, 0})
        .Uac2OutputTerminal(3, 0x0301, 2, 12)
        .AudioStreaming(1, 0, 0x20)
        .AudioStreaming(1, 1, 0x20)
        .Uac2AsGeneral(1, 2, 0x3)
        .Uac2FormatTypeI(2, 16)
        .Endpoint(0x01, 0x05, 13 * 4, 1, false)
        .Uac2AsEndpoint()
        .Endpoint(0x81, 0x11, 4, 4, false);
    return b;
}

}  // namespace kvxtest
