// Types shared by the device's audio model: entity types, endpoint kinds, the format record, the
// capability block, jack records and the control-change message.
#pragma once

#include "platform/ks/Ks.h"
#include "platform/nt/NtTypes.h"

// Type code of an entity (TopologyNode::GetType). A unit object's own type is its AudioControl
// descriptor subtype instead.
enum EntityType : LONG {
    ENTITY_INPUT_TERMINAL = 0,
    ENTITY_OUTPUT_TERMINAL = 1,
    ENTITY_MUTE = 2,
    ENTITY_VOLUME = 3,
    ENTITY_SELECTOR = 4,
    ENTITY_MIXER = 5,
    ENTITY_AGC = 6,
    ENTITY_LOUDNESS = 7,
    ENTITY_GAIN_PAD = 8,
    ENTITY_BASS = 9,
    ENTITY_MID = 10,
    ENTITY_TREBLE = 11,
    ENTITY_CLOCK = 12,
    ENTITY_MULTI_OUTPUT_TERMINAL = 13,
    ENTITY_VENDOR_SWITCH = 18,
    ENTITY_LED_SWITCH = 22,
    ENTITY_PROCESSING = 23,
};

// Kind of an endpoint or output; indexes the endpoint name-prefix table.
enum EndpointKind : ULONG {
    ENDPOINT_KIND_STREAM = 0,
    ENDPOINT_KIND_SPEAKER = 1,
    ENDPOINT_KIND_HEADPHONES = 2,
    ENDPOINT_KIND_SPDIF = 3,
    ENDPOINT_KIND_HDMI = 4,
    ENDPOINT_KIND_DISPLAYPORT = 5,
    ENDPOINT_KIND_LINE = 6,
    ENDPOINT_KIND_MICROPHONE = 7,
    ENDPOINT_KIND_AUX = 8,
    ENDPOINT_KIND_CD = 9,
    ENDPOINT_KIND_VIDEO = 10,
    ENDPOINT_KIND_FRONT_MICROPHONE = 11,
    ENDPOINT_KIND_TELEPHONE = 12,
    ENDPOINT_KIND_HANDSET = 13,
    ENDPOINT_KIND_HEADSET = 14,
    ENDPOINT_KIND_SPEAKERPHONE = 15,
    ENDPOINT_KIND_STEREO_MIX = 16,
    ENDPOINT_KIND_FRONT_HEADPHONES = 17,
    ENDPOINT_KIND_RECORDING = 18,  // a capture endpoint fed by two or more input terminals
};
constexpr ULONG ENDPOINT_KIND_COUNT = 19;

// Bytes of every buffer a name is kept or formatted in (endpoints, subdevices, callback objects):
// up to 50 characters and the terminator.
constexpr ULONG NAME_BUFFER_BYTES = 102;

// The format record exchanged between endpoint, stream, DSP and ASIO.
using WaveFormatRecord = WAVEFORMATEXTENSIBLE;
static_assert(sizeof(WaveFormatRecord) == 40, "WaveFormatRecord is 40 bytes");

// The subformat of a record that carries raw data (UAC2 devices); the ASIO client's raw I/O
// selects formats by it.
KVX_DEFINE_GUID(VendorRawSubformat, "{00000F3B-0000-0010-8000-00AA00389B71}");

// The capability block of one endpoint; returned to user mode unchanged, so its layout is fixed.
struct AudioCapabilities {
    ULONG ControlMask;
    UCHAR Zero1[12];
    ULONG Value;
    UCHAR Zero2[4];
    ULONG Flags;
    UCHAR Zero3[4];
};
static_assert(sizeof(AudioCapabilities) == 32, "AudioCapabilities is 32 bytes");
static_assert(offsetof(AudioCapabilities, Flags) == 24, "the flags sit at offset 24");
constexpr ULONG AUDIO_CAPABILITY_ASIO = 0x00000002;

// One jack of a terminal: nine 32-bit words; words 0 to 5 and 7 are the KS jack description.
struct JackRecord {
    ULONG ChannelMapping;
    ULONG Color;
    ULONG ConnectionType;
    ULONG GeoLocation;
    ULONG GenLocation;
    ULONG PortConnection;
    ULONG Word6;
    ULONG IsConnected;  // low byte non-zero: plugged in
    ULONG Word8;
};
static_assert(sizeof(JackRecord) == 36, "JackRecord is 36 bytes");

// Argument1 of a control-change notification on "\Callback\AudioHalAddr%p".
struct EntityChangeMessage {
    ULONG Field1;  // 1
    ULONG Field2;  // 1
    ULONG EntityId;
    PVOID Reserved;  // null
};

// Kind of an endpoint client; the larger kind heads the sorted client lists.
constexpr ULONG CLIENT_KIND_WAVE_STREAM = 3;
constexpr ULONG CLIENT_KIND_ASIO = 5;

// The record of one client of an endpoint, owned by the endpoint.
struct EndpointClient {
    ULONG ClientKind;
    PVOID Registration;  // the client's callback registration, also its handle
    ULONG MsPerTransfer;
    ULONG TransfersQueued;
    WaveFormatRecord Format;
    ULONG Capture;
    UCHAR Running;
};
static_assert(sizeof(EndpointClient) == 72, "EndpointClient is 72 bytes");
