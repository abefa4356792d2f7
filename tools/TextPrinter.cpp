// Text in the class vocabulary: each endpoint by direction and kind, each alternate setting once
// with its formats and rates; each entity by type with its USB unit, the entities it takes audio
// from, a selector's current input, a terminal's jacks (connected or not) and its controls with the
// values the driver holds and their ranges in dB (levels come in 1/65536 dB).
#include "tools/TextPrinter.h"

#include <cstdio>
#include <sstream>

#include "tools/StatusText.h"

namespace kvx {
namespace {

std::string Db(int64_t level)
{
    char text[32];
    std::snprintf(text, sizeof(text), "%.2fdB", static_cast<double>(level) / 65536.0);
    return text;
}

// The driver's endpoint kinds and entity types by name.
std::string KindName(uint32_t kind)
{
    static const char* const NAMES[] = {"stream", "speaker", "headphones", "S/PDIF", "HDMI", "DisplayPort", "line",
                                        "microphone", "aux", "CD", "video", "front microphone", "telephone", "handset",
                                        "headset", "speakerphone", "stereo mix", "front headphones", "recording"};
    return kind < sizeof NAMES / sizeof NAMES[0] ? NAMES[kind] : "kind " + std::to_string(kind);
}

std::string TypeName(int32_t type)
{
    switch (type) {
    case 0: return "input terminal";
    case 1: return "output terminal";
    case 2: return "mute";
    case 3: return "volume";
    case 4: return "selector";
    case 5: return "mixer";
    case 6: return "AGC";
    case 7: return "loudness";
    case 8: return "gain pad";
    case 9: return "bass";
    case 10: return "mid";
    case 11: return "treble";
    case 12: return "clock";
    case 13: return "multi-output terminal";
    case 18: return "vendor switch";
    case 22: return "LED switch";
    case 23: return "processing";
    default: return "type " + std::to_string(type);
    }
}

// "endpoint 0x01 OUT, asynchronous, every 1 ms" (a feedback endpoint says so).
std::string EndpointText(const AlternateEndpoint& e, bool highSpeed)
{
    static const char* const SYNC[] = {"no synchronization", "asynchronous", "adaptive", "synchronous"};
    char address[8];
    std::snprintf(address, sizeof address, "0x%02X", e.Address);
    const double ms = e.Interval >= 1 && e.Interval <= 16 ? (1u << (e.Interval - 1)) / (highSpeed ? 8.0 : 1.0) : 0;
    char every[32];
    std::snprintf(every, sizeof every, "%g ms", ms);
    std::string text = std::string("endpoint ") + address + ((e.Address & 0x80) != 0 ? " IN" : " OUT");
    text += (e.Attributes & 0x30) == 0x10 ? ", feedback" : std::string(", ") + SYNC[(e.Attributes >> 2) & 3];
    return text + ", every " + every;
}

bool OnOff(const std::string& name)
{
    return name == "mute" || name == "agc" || name == "loudness" || name == "vendorSwitch" || name == "ledSwitch";
}

}  // namespace

std::string PrintText(const Description& d)
{
    std::ostringstream out;
    char ids[32];
    std::snprintf(ids, sizeof(ids), "%04x:%04x", d.VendorId, d.ProductId);
    char status[16];
    std::snprintf(status, sizeof(status), "0x%08X", d.Status);
    out << "Device " << ids << ": " << (d.Function ? *d.Function : "no function") << ", ";
    if (d.Started) {
        out << "started (status " << status << ")\n";
    } else {
        out << "not started: " << StatusText(static_cast<NTSTATUS>(d.Status)) << "\n  reason: " << d.Reason << "\n";
    }
    out << "  " << (d.Manufacturer.empty() ? "no manufacturer string" : "manufacturer \"" + d.Manufacturer + "\"") << ", "
        << (d.Product.empty() ? "no product string" : "product \"" + d.Product + "\"") << ", "
        << (d.HighSpeed ? "high" : "full") << " speed\n";

    for (const EndpointInfo& e : d.Endpoints) {
        out << "\n" << e.Name << ": " << (e.Capture ? "capture" : "playback") << " endpoint, " << KindName(e.Kind) << ", "
            << (e.Present ? "present" : "absent") << ", interface " << e.Interface << "\n";
        char capabilities[64];
        std::snprintf(capabilities, sizeof(capabilities), "mask 0x%X, value %u, flags 0x%X", e.ControlMask,
                      e.CapabilityValue, e.CapabilityFlags);
        out << "  capabilities: " << capabilities << "\n";
        if (e.ProcessingNodes != 0) {
            out << "  processing nodes: " << e.ProcessingNodes;
            for (size_t n = 0; n < e.Nodes.size(); ++n) out << (n == 0 ? " (" : ", ") << e.Nodes[n];
            out << (e.Nodes.empty() ? "\n" : ")\n");
        }
        uint32_t shownAlternate = ~0u;
        // Consecutive records of one alternate setting and one shape share a block; their rates
        // are listed together.
        size_t i = 0;
        while (i < e.Formats.size()) {
            const FormatInfo& f = e.Formats[i];
            std::string rates;
            size_t j = i;
            for (; j < e.Formats.size(); ++j) {
                const FormatInfo& g = e.Formats[j];
                if (g.AlternateSetting != f.AlternateSetting || g.SubFormat != f.SubFormat ||
                    g.Channels != f.Channels || g.BitsPerSample != f.BitsPerSample ||
                    g.ValidBitsPerSample != f.ValidBitsPerSample || g.ChannelMask != f.ChannelMask) {
                    break;
                }
                rates += (j == i ? "" : ", ") + std::to_string(g.SamplesPerSec);
            }
            char mask[16];
            std::snprintf(mask, sizeof(mask), "0x%X", f.ChannelMask);
            // Each alternate setting once, its formats below it.
            if (f.AlternateSetting != shownAlternate) {
                out << "  alternate setting " << f.AlternateSetting;
                for (const AlternateEndpoint& a : d.AlternateEndpoints) {
                    if (a.Interface == e.Interface && a.AlternateSetting == f.AlternateSetting) {
                        out << "; " << EndpointText(a, d.HighSpeed);
                    }
                }
                out << "\n";
            }
            shownAlternate = f.AlternateSetting;
            out << "    Format: " << f.SubFormat << " " << f.BitsPerSample << "-bit (" << f.ValidBitsPerSample
                << " valid)\n"
                << "    Channels: " << f.Channels << " (mask " << mask << ")\n"
                << "    Rates: " << rates << "\n";
            i = j;
        }
    }

    // What `kvx play` and `kvx record` take: the first present endpoint of the direction; record
    // in its first PCM format.
    if (d.Started) {
        const EndpointInfo* play = nullptr;
        const EndpointInfo* record = nullptr;
        for (const EndpointInfo& e : d.Endpoints) {
            if (!e.Present) continue;
            if (!e.Capture && play == nullptr) play = &e;
            if (e.Capture && record == nullptr) record = &e;
        }
        out << "\nkvx play takes " << (play != nullptr ? play->Name + ": a file in one of its formats, or converted by the driver" : "nothing: no playback endpoint") << "\n";
        out << "kvx record takes ";
        const FormatInfo* first = nullptr;
        if (record != nullptr) {
            for (const FormatInfo& f : record->Formats) {
                if (f.SubFormat == "PCM") {
                    first = &f;
                    break;
                }
            }
        }
        if (first != nullptr) {
            out << record->Name << ": " << first->SamplesPerSec << " Hz " << first->ValidBitsPerSample << "-bit "
                << first->Channels << " ch (unless --format names another)\n";
        } else {
            out << "nothing: no capture endpoint with a PCM format\n";
        }
    }

    for (const EntityInfo& e : d.Entities) {
        out << "\nEntity " << e.Id << " (" << TypeName(e.Type) << ") of USB unit " << e.UnitId;
        if (!e.Sources.empty()) {
            out << ", from entit" << (e.Sources.size() == 1 ? "y " : "ies ");
            for (size_t i = 0; i < e.Sources.size(); ++i) out << (i == 0 ? "" : ", ") << e.Sources[i];
        }
        out << "\n";
        if (e.NodeGuid) {
            out << "  node {" << *e.NodeGuid << "}, enable " << e.Enable << ", parameters [";
            for (size_t i = 0; i < e.Parameters.size(); ++i) out << (i == 0 ? "" : ", ") << e.Parameters[i];
            out << "]\n";
        }
        if (!e.Rates.empty()) {
            out << "  rates: ";
            for (size_t i = 0; i < e.Rates.size(); ++i) out << (i == 0 ? "" : ", ") << e.Rates[i];
            out << "\n";
        }
        if (e.Selected) {
            out << "  selected: input " << *e.Selected << " of " << e.Sources.size();
            if (*e.Selected >= 1 && *e.Selected <= e.Sources.size()) out << " (entity " << e.Sources[*e.Selected - 1] << ")";
            out << "\n";
        }
        for (size_t i = 0; i < e.Jacks.size(); ++i) {
            char mapping[16];
            std::snprintf(mapping, sizeof(mapping), "0x%X", e.Jacks[i].ChannelMapping);
            out << "  jack " << i << ": " << (e.Jacks[i].Connected ? "connected" : "not connected") << ", channel mapping "
                << mapping << "\n";
        }
        if (!e.Kinds.empty()) {
            out << "  kinds: ";
            for (size_t i = 0; i < e.Kinds.size(); ++i) out << (i == 0 ? "" : ", ") << e.Kinds[i];
            if (e.ActiveKind) out << " (active " << *e.ActiveKind << ")";
            out << "\n";
        }
        for (const ControlInfo& c : e.Controls) {
            out << "  " << c.Name << " ch" << c.Channel << ": ";
            if (OnOff(c.Name)) {
                if (c.Current) out << (*c.Current != 0 ? "on" : "off") << ", ";
                out << "switch 0..1\n";
            } else {
                if (c.Current) out << Db(*c.Current) << " in ";
                out << "range " << Db(c.Minimum) << " .. " << Db(c.Maximum) << ", step " << Db(c.Step) << "\n";
            }
        }
    }
    if (d.V3) {
        out << "\nV3 chip: jack polling " << (d.V3->JackPolling ? "on" : "off") << "\n  switches:";
        for (const auto& [name, value] : d.V3->Switches) out << " " << name << "=" << value;
        out << "\n  registers:";
        for (size_t i = 0; i < d.V3->Registers.size(); ++i) {
            char text[32];
            std::snprintf(text, sizeof(text), " %zu=0x%04X/%u", i, d.V3->Registers[i].first, d.V3->Registers[i].second);
            out << text;
        }
        out << "\n";
    }
    return out.str();
}

}  // namespace kvx
