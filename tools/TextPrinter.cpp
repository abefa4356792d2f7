// Text tables in the manner of the stream files and mixer readouts of Linux's sound cards:
// per endpoint its formats grouped by alternate setting with their rates, per entity its
// controls with ranges in dB (levels come in 1/65536 dB).
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

    for (const EndpointInfo& e : d.Endpoints) {
        out << "\n" << e.Name << ": " << (e.Capture ? "Capture" : "Playback") << ", kind " << e.Kind << ", "
            << (e.Present ? "present" : "absent") << ", interface " << e.Interface << "\n";
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
            out << "  Altset " << f.AlternateSetting << "\n"
                << "    Format: " << f.SubFormat << " " << f.BitsPerSample << "-bit (" << f.ValidBitsPerSample
                << " valid)\n"
                << "    Channels: " << f.Channels << " (mask " << mask << ")\n"
                << "    Rates: " << rates << "\n";
            i = j;
        }
        char capabilities[64];
        std::snprintf(capabilities, sizeof(capabilities), "mask 0x%X, value %u, flags 0x%X", e.ControlMask,
                      e.CapabilityValue, e.CapabilityFlags);
        out << "  Capabilities: " << capabilities << "\n";
        out << "  Nodes: ";
        for (size_t n = 0; n < e.Nodes.size(); ++n) out << (n == 0 ? "" : ", ") << e.Nodes[n];
        out << (e.Nodes.empty() ? "none\n" : "\n");
    }

    for (const EntityInfo& e : d.Entities) {
        out << "\nEntity " << e.Id << ": type " << e.Type << ", unit " << e.UnitId << ", sources [";
        for (size_t i = 0; i < e.Sources.size(); ++i) out << (i == 0 ? "" : ", ") << e.Sources[i];
        out << "]\n";
        if (!e.Rates.empty()) {
            out << "  rates: ";
            for (size_t i = 0; i < e.Rates.size(); ++i) out << (i == 0 ? "" : ", ") << e.Rates[i];
            out << "\n";
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
                out << "switch 0..1\n";
            } else {
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
