// Reads the started adapter's endpoints and entities. Pointers from the registry getters carry no
// reference: they stay valid while the device lives, which the caller guarantees.
#include "tools/DriverReader.h"

#include <cstdio>
#include <algorithm>
#include <map>
#include <vector>

#include "adapter/EntityInterfaces.h"
#include "adapter/StreamEngine.h"
#include "adapter/StreamEngineHost.h"
#include "stream/UsbStreamEndpoint.h"
#include "usb/Uac1FunctionV3.h"
#include "usb/UsbAudioDevice.h"
#include "usb/UsbAudioFunction.h"

namespace kvx {
namespace {

std::string SubFormatName(const WaveFormatRecord& f)
{
    const uint32_t code = f.Format.wFormatTag == WAVE_FORMAT_EXTENSIBLE ? f.SubFormat.Data1 : f.Format.wFormatTag;
    switch (code) {
    case 0x0001: return "PCM";
    case 0x0003: return "IEEE_FLOAT";
    case 0x0092: return "IEC61937_DOLBY_DIGITAL";
    case 0x0164: return "IEC61937_WMA_PRO";
    case 0x0F3B: return "VENDOR_RAW";
    default: {
        char text[16];
        std::snprintf(text, sizeof(text), "0x%04X", code);
        return text;
    }
    }
}

std::string NarrowName(const WCHAR* name)
{
    std::string out;
    for (; *name != 0; ++name) out.push_back(*name < 0x80 ? static_cast<char>(*name) : '?');
    return out;
}

// The function behind the device, where the units live; null for a device of another kind.
UsbAudioFunction* FunctionOf(IAudioHal* device)
{
    auto* usb = static_cast<UsbAudioDevice*>(static_cast<AudioHal*>(device));
    IAudioHal* function = usb->FunctionAudioHal();
    return function != nullptr ? static_cast<UsbAudioFunction*>(static_cast<AudioHal*>(function)) : nullptr;
}

// Entity id -> the descriptor id of the unit that made it.
std::map<ULONG, ULONG> UnitIdsByEntity(IAudioHal* device)
{
    std::map<ULONG, ULONG> units;
    UsbAudioFunction* function = FunctionOf(device);
    if (function == nullptr) return units;
    for (ULONG u = 0; u < function->GetUnitCount(); ++u) {
        UsbAudioUnit* unit = nullptr;
        ULONG count = 0;
        if (!NT_SUCCESS(function->GetUnit(u, &unit)) || !NT_SUCCESS(unit->GetEntityCount(&count))) continue;
        for (ULONG e = 0; e < count; ++e) {
            TopologyNode* entity = nullptr;
            if (NT_SUCCESS(unit->GetEntity(e, &entity)) && entity != nullptr) units[entity->GetId()] = unit->GetId();
        }
    }
    return units;
}

const char* OnOffName(LONG type)
{
    switch (type) {
    case ENTITY_MUTE: return "mute";
    case ENTITY_AGC: return "agc";
    case ENTITY_LOUDNESS: return "loudness";
    case ENTITY_VENDOR_SWITCH: return "vendorSwitch";
    case ENTITY_LED_SWITCH: return "ledSwitch";
    default: return nullptr;
    }
}

const char* LevelName(LONG type)
{
    switch (type) {
    case ENTITY_VOLUME: return "volume";
    case ENTITY_GAIN_PAD: return "gainPad";
    case ENTITY_BASS: return "bass";
    case ENTITY_MID: return "mid";
    case ENTITY_TREBLE: return "treble";
    default: return nullptr;
    }
}

void ReadControls(TopologyNode* entity, EntityInfo* info)
{
    const LONG type = entity->GetType();
    if (const char* name = OnOffName(type)) {
        PVOID raw = nullptr;
        if (!NT_SUCCESS(entity->QueryInterface(IID_IEntityOnOff, &raw))) return;
        auto* onOff = static_cast<IEntityOnOff*>(raw);
        ULONG channels = 0;
        if (NT_SUCCESS(onOff->GetChannelCount(&channels))) {
            for (ULONG c = 0; c < channels; ++c) {
                ControlInfo control{name, c, 0, 1, 1, std::nullopt};
                UCHAR value = 0;
                if (NT_SUCCESS(onOff->GetValue(c, &value))) control.Current = value;
                info->Controls.push_back(control);
            }
        }
        onOff->Release();
    } else if (const char* name = LevelName(type)) {
        PVOID raw = nullptr;
        if (!NT_SUCCESS(entity->QueryInterface(IID_IEntityLevel, &raw))) return;
        auto* level = static_cast<IEntityLevel*>(raw);
        ULONG channels = 0;
        LONG maximum = 0, minimum = 0, step = 0;
        if (NT_SUCCESS(level->GetChannelCount(&channels)) && NT_SUCCESS(level->GetRange(&maximum, &minimum, &step))) {
            for (ULONG c = 0; c < channels; ++c) {
                ControlInfo control{name, c, minimum, maximum, step, std::nullopt};
                LONG value = 0;
                if (NT_SUCCESS(level->GetLevel(c, &value))) control.Current = value;
                info->Controls.push_back(control);
            }
        }
        level->Release();
    }
}

// A processing entity's GUID, enable byte and parameters, as it holds them (no device request).
void ReadProcessing(TopologyNode* entity, EntityInfo* info)
{
    if (entity->GetType() != ENTITY_PROCESSING) return;
    PVOID raw = nullptr;
    if (!NT_SUCCESS(entity->QueryInterface(IID_IProcessingEntity, &raw))) return;
    auto* processing = static_cast<IProcessingEntity*>(raw);
    GUID guid{};
    if (NT_SUCCESS(processing->GetNodeGuid(&guid))) {
        char text[40];
        std::snprintf(text, sizeof(text), "%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X",
                      static_cast<unsigned>(guid.Data1), guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1],
                      guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
        info->NodeGuid = text;
    }
    UCHAR enable = 0;
    if (NT_SUCCESS(processing->GetEnable(&enable))) info->Enable = enable;
    ULONG count = 0;
    if (NT_SUCCESS(processing->GetParameterCount(&count)) && count != 0 && count <= 64) {
        std::vector<LONG> values(count);
        if (NT_SUCCESS(processing->GetParameters(0, count, values.data()))) {
            info->Parameters.assign(values.begin(), values.end());
        }
    }
    processing->Release();
}

// The rates a clock entity holds (no device request).
void ReadRates(TopologyNode* entity, EntityInfo* info)
{
    if (entity->GetType() != ENTITY_CLOCK) return;
    PVOID raw = nullptr;
    if (!NT_SUCCESS(entity->QueryInterface(IID_IClockControl, &raw))) return;
    auto* clock = static_cast<IClockControl*>(raw);
    ULONG count = 0;
    if (NT_SUCCESS(clock->GetRateCount(&count)) && count != 0) {
        std::vector<ULONG> rates(count);
        if (NT_SUCCESS(clock->GetRates(&count, rates.data()))) {
            info->Rates.assign(rates.begin(), rates.begin() + std::min<size_t>(count, rates.size()));
        }
    }
    clock->Release();
}

// A selector's current input (no device request: the value the entity holds).
void ReadSelector(TopologyNode* entity, EntityInfo* info)
{
    if (entity->GetType() != ENTITY_SELECTOR) return;
    PVOID raw = nullptr;
    if (!NT_SUCCESS(entity->QueryInterface(IID_ISelectorControl, &raw))) return;
    auto* selector = static_cast<ISelectorControl*>(raw);
    ULONG input = 0;
    if (NT_SUCCESS(selector->GetSelected(&input))) info->Selected = input;
    selector->Release();
}

// A terminal's jacks and whether each is connected, as the entity last read them.
void ReadJacks(TopologyNode* entity, EntityInfo* info)
{
    PVOID raw = nullptr;
    if (!NT_SUCCESS(entity->QueryInterface(IID_ITerminalControl, &raw))) return;
    auto* terminal = static_cast<ITerminalControl*>(raw);
    ULONG count = 0;
    if (NT_SUCCESS(terminal->GetJackCount(&count, 0)) && count != 0 && count <= 64) {
        std::vector<JackRecord> jacks(count);
        if (NT_SUCCESS(terminal->GetJackDescriptions(static_cast<ULONG>(count * sizeof(JackRecord)), jacks.data(), 0))) {
            for (const JackRecord& jack : jacks) {
                info->Jacks.push_back({jack.ChannelMapping, (jack.IsConnected & 0xFF) != 0});
            }
        }
    }
    terminal->Release();
}

}  // namespace

namespace {

// What a processing node is: an entity, the V3 jack node, a channel swap (it trades pointers 4/6
// and 5/7 of an 8-channel PCM chunk of no frames), or some other node.
std::string NodeName(IProcessingNode* node, IAudioHal* device)
{
    PVOID raw = nullptr;
    if (NT_SUCCESS(node->QueryInterface(IID_ITopologyNode, &raw))) {
        auto* entity = static_cast<ITopologyNode*>(raw);
        const std::string name = "entity " + std::to_string(entity->GetId());
        entity->Release();
        return name;
    }
    auto* usb = static_cast<UsbAudioDevice*>(device);
    if (usb->FunctionVariant() == UsbFunctionVariant::V3) {
        auto* function = static_cast<Uac1FunctionV3*>(usb->FunctionAudioHal());
        if (function->GetJackNode() != nullptr && static_cast<IProcessingNode*>(function->GetJackNode()) == node) {
            return "jack mute";
        }
    }
    WaveFormatRecord format = {};
    format.Format.wFormatTag = WAVE_FORMAT_PCM;
    format.Format.nChannels = 8;
    float samples[8] = {};
    float* channels[8];
    for (int c = 0; c < 8; ++c) channels[c] = &samples[c];
    node->Process(&format, channels, 0);
    if (channels[4] == &samples[6] && channels[6] == &samples[4] && channels[5] == &samples[7] &&
        channels[7] == &samples[5]) {
        return "channel swap";
    }
    return "node";
}

}  // namespace

void ReadEndpoints(IAudioHal* device, Description* description)
{
    for (ULONG i = 0; i < device->GetEndpointCount(); ++i) {
        StreamEngine* engine = nullptr;
        if (!NT_SUCCESS(device->GetEndpoint(i, &engine)) || engine == nullptr) break;
        EndpointInfo info;
        WCHAR name[NAME_BUFFER_BYTES / sizeof(WCHAR) + 50] = {};
        if (NT_SUCCESS(engine->GetName(name))) info.Name = NarrowName(name);
        info.Capture = engine->IsCapture() != FALSE;
        info.Kind = engine->GetKind();
        info.Present = engine->IsPresent() != FALSE;
        info.Interface = engine->GetInterfaceNumber();
        AudioCapabilities capabilities{};
        if (NT_SUCCESS(device->GetEndpointCapabilities(i, &capabilities))) {
            info.ControlMask = capabilities.ControlMask;
            info.CapabilityValue = capabilities.Value;
            info.CapabilityFlags = capabilities.Flags;
        }
        // Every endpoint is a USB streaming endpoint: its format entries carry the alternate settings.
        auto* endpoint = static_cast<UsbStreamEndpoint*>(engine);
        info.ProcessingNodes = endpoint->GetNodeCount();
        for (ULONG f = 0;; ++f) {
            WaveFormatRecord record = {};
            UCHAR alternateSetting = 0;
            if (!NT_SUCCESS(endpoint->GetFormatEntry(f, &alternateSetting, &record))) break;
            FormatInfo format;
            format.SubFormat = SubFormatName(record);
            format.Channels = record.Format.nChannels;
            format.BitsPerSample = record.Format.wBitsPerSample;
            format.ValidBitsPerSample = record.Format.wFormatTag == WAVE_FORMAT_EXTENSIBLE
                                            ? record.Samples.wValidBitsPerSample
                                            : record.Format.wBitsPerSample;
            format.SamplesPerSec = record.Format.nSamplesPerSec;
            format.ChannelMask = record.Format.wFormatTag == WAVE_FORMAT_EXTENSIBLE ? record.dwChannelMask : 0;
            format.AlternateSetting = alternateSetting;
            info.Formats.push_back(format);
        }
        for (ULONG n = 0; IProcessingNode* node = StreamEngineNodeForHost(engine, n); ++n) {
            info.Nodes.push_back(NodeName(node, device));
        }
        description->Endpoints.push_back(std::move(info));
    }
}

void ReadEntities(IAudioHal* device, Description* description)
{
    const std::map<ULONG, ULONG> units = UnitIdsByEntity(device);
    for (ULONG i = 0; i < device->GetEntityCount(); ++i) {
        TopologyNode* entity = nullptr;
        if (!NT_SUCCESS(device->GetEntity(i, &entity)) || entity == nullptr) break;
        EntityInfo info;
        info.Id = entity->GetId();
        info.Type = entity->GetType();
        // Entities no unit made (the software mute node) report unit 0.
        const auto unit = units.find(info.Id);
        info.UnitId = unit != units.end() ? unit->second : 0;
        ULONG count = entity->GetSourceCount();
        std::vector<ULONG> sources(count);
        if (count != 0 && NT_SUCCESS(entity->GetSources(&count, sources.data()))) {
            info.Sources.assign(sources.begin(), sources.begin() + count);
        }
        ReadControls(entity, &info);
        ReadRates(entity, &info);
        ReadProcessing(entity, &info);
        ReadSelector(entity, &info);
        ReadJacks(entity, &info);
        PVOID raw = nullptr;
        if (entity->GetType() == ENTITY_MULTI_OUTPUT_TERMINAL &&
            NT_SUCCESS(entity->QueryInterface(IID_IMultiOutputTerminal, &raw))) {
            auto* terminal = static_cast<IMultiOutputTerminal*>(raw);
            ULONG kinds = 0;
            ULONG active = 0;
            if (NT_SUCCESS(terminal->GetKindCount(&kinds)) && kinds != 0 && kinds < 64) {
                std::vector<ULONG> list(kinds);
                if (NT_SUCCESS(terminal->GetKinds(list.data()))) info.Kinds.assign(list.begin(), list.end());
            }
            if (NT_SUCCESS(terminal->GetKind(&active))) info.ActiveKind = active;
            terminal->Release();
        }
        description->Entities.push_back(std::move(info));
    }
}

void ReadV3(IAudioHal* device, Description* description)
{
    auto* usb = static_cast<UsbAudioDevice*>(device);
    if (usb->FunctionVariant() != UsbFunctionVariant::V3 || usb->FunctionAudioHal() == nullptr) return;
    auto* function = static_cast<Uac1FunctionV3*>(usb->FunctionAudioHal());
    V3Info info;
    for (ULONG s = 0; s < V3_SWITCH_COUNT; ++s) {
        info.Switches.emplace_back(NarrowName(V3SwitchNames[s]), function->Switch(static_cast<V3Switch>(s)));
    }
    for (ULONG r = 0; r < V3_REGISTER_COUNT; ++r) {
        const V3RegisterEntry entry = function->Register(r);
        info.Registers.emplace_back(entry.Value, entry.Flags);
    }
    info.JackPolling = function->JackPollingEnabled() != FALSE;
    description->V3 = std::move(info);
}

}  // namespace kvx
