// A small writer for the one shape describe prints; names are plain ASCII from the driver, still
// escaped so that the output always parses.
#include "tools/JsonPrinter.h"

#include <cstdio>
#include <functional>
#include <sstream>

namespace kvx {
namespace {

std::string Quote(const std::string& text)
{
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof(escaped), "\\u%04x", static_cast<unsigned>(c));
            out += escaped;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

class Writer {
public:
    // An object: `fields` is called with this writer and adds "key": value members.
    void Object(int depth, const std::function<void()>& fields)
    {
        m_out << "{";
        m_first.push_back(true);
        m_depth.push_back(depth + 1);
        fields();
        const bool empty = m_first.back();
        m_first.pop_back();
        m_depth.pop_back();
        if (!empty) m_out << "\n" << Indent(depth);
        m_out << "}";
    }

    template <typename T>
    void Array(int depth, const std::vector<T>& items, const std::function<void(const T&, int)>& item)
    {
        m_out << "[";
        for (size_t i = 0; i < items.size(); ++i) {
            m_out << (i == 0 ? "\n" : ",\n") << Indent(depth + 1);
            item(items[i], depth + 1);
        }
        if (!items.empty()) m_out << "\n" << Indent(depth);
        m_out << "]";
    }

    // Starts a member and leaves the value to the caller.
    void Key(const char* name)
    {
        m_out << (m_first.back() ? "\n" : ",\n") << Indent(m_depth.back()) << Quote(name) << ": ";
        m_first.back() = false;
    }
    void Member(const char* name, const std::string& value) { Key(name), m_out << Quote(value); }
    void Member(const char* name, bool value) { Key(name), m_out << (value ? "true" : "false"); }
    void Member(const char* name, int64_t value) { Key(name), m_out << value; }
    void Null(const char* name) { Key(name), m_out << "null"; }

    std::ostringstream& Out() { return m_out; }
    int Depth() const { return m_depth.back(); }

private:
    static std::string Indent(int depth) { return std::string(static_cast<size_t>(depth) * 2, ' '); }

    std::ostringstream m_out;
    std::vector<bool> m_first;
    std::vector<int> m_depth;
};

}  // namespace

std::string PrintJson(const Description& d)
{
    Writer w;
    w.Object(0, [&] {
        w.Key("device");
        w.Object(1, [&] {
            w.Member("vendorId", int64_t{d.VendorId});
            w.Member("productId", int64_t{d.ProductId});
            if (d.Function) {
                w.Member("function", *d.Function);
            } else {
                w.Null("function");
            }
            w.Member("started", d.Started);
            char status[16];
            std::snprintf(status, sizeof(status), "0x%08X", d.Status);
            w.Member("status", std::string(status));
            if (!d.Started) w.Member("reason", d.Reason);
        });
        w.Key("endpoints");
        w.Array<EndpointInfo>(1, d.Endpoints, [&](const EndpointInfo& e, int depth) {
            w.Object(depth, [&] {
                w.Member("name", e.Name);
                w.Member("capture", e.Capture);
                w.Member("kind", int64_t{e.Kind});
                w.Member("present", e.Present);
                w.Member("interface", int64_t{e.Interface});
                w.Key("capabilities");
                w.Object(depth + 1, [&] {
                    w.Member("controlMask", int64_t{e.ControlMask});
                    w.Member("value", int64_t{e.CapabilityValue});
                    w.Member("flags", int64_t{e.CapabilityFlags});
                });
                w.Member("processingNodes", int64_t{e.ProcessingNodes});
                w.Key("formats");
                w.Array<FormatInfo>(depth + 1, e.Formats, [&](const FormatInfo& f, int fdepth) {
                    w.Object(fdepth, [&] {
                        w.Member("subFormat", f.SubFormat);
                        w.Member("channels", int64_t{f.Channels});
                        w.Member("bitsPerSample", int64_t{f.BitsPerSample});
                        w.Member("validBitsPerSample", int64_t{f.ValidBitsPerSample});
                        w.Member("samplesPerSec", int64_t{f.SamplesPerSec});
                        w.Member("channelMask", int64_t{f.ChannelMask});
                        w.Member("alternateSetting", int64_t{f.AlternateSetting});
                    });
                });
                w.Key("nodes");
                w.Out() << "[";
                for (size_t i = 0; i < e.Nodes.size(); ++i) w.Out() << (i == 0 ? "" : ", ") << Quote(e.Nodes[i]);
                w.Out() << "]";
            });
        });
        w.Key("entities");
        w.Array<EntityInfo>(1, d.Entities, [&](const EntityInfo& e, int depth) {
            w.Object(depth, [&] {
                w.Member("id", int64_t{e.Id});
                w.Member("type", int64_t{e.Type});
                w.Member("unitId", int64_t{e.UnitId});
                w.Key("sources");
                w.Out() << "[";
                for (size_t i = 0; i < e.Sources.size(); ++i) w.Out() << (i == 0 ? "" : ", ") << e.Sources[i];
                w.Out() << "]";
                w.Key("controls");
                w.Array<ControlInfo>(depth + 1, e.Controls, [&](const ControlInfo& c, int cdepth) {
                    w.Object(cdepth, [&] {
                        w.Member("name", c.Name);
                        w.Member("channel", int64_t{c.Channel});
                        w.Member("minimum", c.Minimum);
                        w.Member("maximum", c.Maximum);
                        w.Member("step", c.Step);
                    });
                });
                if (e.NodeGuid) {
                    w.Member("nodeGuid", *e.NodeGuid);
                    w.Member("enable", int64_t{e.Enable});
                    w.Key("parameters");
                    w.Out() << "[";
                    for (size_t i = 0; i < e.Parameters.size(); ++i) {
                        w.Out() << (i == 0 ? "" : ", ") << e.Parameters[i];
                    }
                    w.Out() << "]";
                }
                if (e.Selected) w.Member("selected", int64_t{*e.Selected});
                if (!e.Jacks.empty()) {
                    w.Key("jacks");
                    w.Array<JackInfo>(depth + 1, e.Jacks, [&](const JackInfo& j, int jdepth) {
                        w.Object(jdepth, [&] {
                            w.Member("channelMapping", int64_t{j.ChannelMapping});
                            w.Member("connected", j.Connected);
                        });
                    });
                }
                if (!e.Rates.empty()) {
                    w.Key("rates");
                    w.Out() << "[";
                    for (size_t i = 0; i < e.Rates.size(); ++i) w.Out() << (i == 0 ? "" : ", ") << e.Rates[i];
                    w.Out() << "]";
                }
                if (!e.Kinds.empty()) {
                    w.Key("kinds");
                    w.Out() << "[";
                    for (size_t i = 0; i < e.Kinds.size(); ++i) w.Out() << (i == 0 ? "" : ", ") << e.Kinds[i];
                    w.Out() << "]";
                }
                if (e.ActiveKind) w.Member("activeKind", int64_t{*e.ActiveKind});
            });
        });
        if (d.V3) {
            w.Key("v3");
            w.Object(1, [&] {
                w.Key("switches");
                w.Object(2, [&] {
                    for (const auto& [name, value] : d.V3->Switches) w.Member(name.c_str(), int64_t{value});
                });
                w.Key("registers");
                w.Out() << "[";
                for (size_t i = 0; i < d.V3->Registers.size(); ++i) {
                    char text[48];
                    std::snprintf(text, sizeof(text), "%s{\"value\": %u, \"flags\": %u}", i == 0 ? "" : ", ",
                                  d.V3->Registers[i].first, d.V3->Registers[i].second);
                    w.Out() << text;
                }
                w.Out() << "]";
                w.Member("jackPolling", d.V3->JackPolling);
            });
        }
    });
    w.Out() << "\n";
    return w.Out().str();
}

}  // namespace kvx
