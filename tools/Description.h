// What `kvx describe` reports: the driver's view of one device after its start, as plain data
// that the printers turn into JSON or text.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kvx {

struct FormatInfo {
    std::string SubFormat;  // PCM, IEEE_FLOAT, IEC61937_DOLBY_DIGITAL, IEC61937_WMA_PRO, VENDOR_RAW
    uint32_t Channels = 0;
    uint32_t BitsPerSample = 0;
    uint32_t ValidBitsPerSample = 0;
    uint32_t SamplesPerSec = 0;
    uint32_t ChannelMask = 0;
    uint32_t AlternateSetting = 0;
};

struct EndpointInfo {
    std::string Name;
    bool Capture = false;
    uint32_t Kind = 0;
    bool Present = false;
    uint32_t Interface = 0;
    std::vector<FormatInfo> Formats;
    // The endpoint's capability block and the processing nodes its stream runs, in order:
    // "entity N", "channel swap", "jack mute" or "node".
    uint32_t ControlMask = 0;
    uint32_t CapabilityValue = 0;
    uint32_t CapabilityFlags = 0;
    uint32_t ProcessingNodes = 0;
    std::vector<std::string> Nodes;
};

struct ControlInfo {
    std::string Name;  // mute, agc, loudness, vendorSwitch, ledSwitch, volume, gainPad, bass, mid, treble
    uint32_t Channel = 0;
    int64_t Minimum = 0;
    int64_t Maximum = 0;
    int64_t Step = 0;
    std::optional<int64_t> Current;  // the value the driver holds now, where it gave one
};

// One jack of a terminal entity: the channels it carries and whether something is plugged in.
struct JackInfo {
    uint32_t ChannelMapping = 0;
    bool Connected = false;
};

struct EntityInfo {
    uint32_t Id = 0;
    int32_t Type = 0;
    uint32_t UnitId = 0;
    std::vector<uint32_t> Sources;
    std::vector<ControlInfo> Controls;
    std::vector<uint32_t> Rates;  // a clock entity's rates, in its order
    // A selector entity's current input, 1-based into Sources.
    std::optional<uint32_t> Selected;
    // A terminal entity's jacks with their states as the driver holds them now.
    std::vector<JackInfo> Jacks;
    // A processing entity's node GUID, enable byte and parameters.
    std::optional<std::string> NodeGuid;
    uint32_t Enable = 0;
    std::vector<int32_t> Parameters;
    // A multi-output terminal entity's kinds and the one it serves now.
    std::vector<uint32_t> Kinds;
    std::optional<uint32_t> ActiveKind;
};

// The V3 chip's state after its start.
struct V3Info {
    std::vector<std::pair<std::string, uint32_t>> Switches;  // after the rules and implications
    std::vector<std::pair<uint32_t, uint32_t>> Registers;    // value, flags of registers 0 to 5
    bool JackPolling = false;
};

// An isochronous endpoint of one alternate setting, from the configuration descriptor.
struct AlternateEndpoint {
    uint32_t Interface = 0;
    uint32_t AlternateSetting = 0;
    uint32_t Address = 0;     // bEndpointAddress
    uint32_t Attributes = 0;  // bmAttributes (transfer, sync and usage types)
    uint32_t Interval = 0;    // bInterval
};

struct Description {
    uint16_t VendorId = 0;
    uint16_t ProductId = 0;
    std::optional<std::string> Function;  // the class CreateFunction made; none when it made none
    bool Started = false;
    uint32_t Status = 0;
    std::string Reason;  // a failed start: why, in the driver's own words where it said so
    std::string Manufacturer;  // the device's strings (empty when it has none)
    std::string Product;
    bool HighSpeed = false;
    std::vector<AlternateEndpoint> AlternateEndpoints;
    std::vector<EndpointInfo> Endpoints;
    std::vector<EntityInfo> Entities;
    std::optional<V3Info> V3;
};

}  // namespace kvx
