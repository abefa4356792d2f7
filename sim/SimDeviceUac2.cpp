// Simulator-only (not driver code): the UAC2 class model of SimDevice beyond plain CUR/RANGE
// controls: terminals' Connectors, vendor jack lists and output-type control, the valid
// alternate settings of streaming interfaces per clock rate, entity memory (MEM), clock
// selectors and multipliers, and the 6-byte interrupt messages.
#include <algorithm>
#include <cstring>

#include "sim/SimDevice.h"

namespace sim {

using platform::usb::UsbTransferResult;

namespace {

constexpr uint8_t kCur = 0x01;
constexpr uint8_t kRange = 0x02;
constexpr uint8_t kMem = 0x03;
constexpr uint8_t kConnectors = 0x02;      // terminal control
constexpr uint8_t kOutputType = 0x08;      // output terminal control
constexpr uint8_t kActiveAlternate = 0x01;  // AudioStreaming interface controls
constexpr uint8_t kValidAlternates = 0x02;

uint32_t Le32At(const Bytes& b, size_t at)
{
    return static_cast<uint32_t>(b[at] | (b[at + 1] << 8) | (b[at + 2] << 16)) | (static_cast<uint32_t>(b[at + 3]) << 24);
}

// Connectors declared by a terminal's bmControls (bits 2-3).
bool DeclaresConnectors(const Bytes& d)
{
    if (d.size() >= 17 && d[2] == 0x02) {
        return (d[14] & 0x0C) != 0;
    }
    if (d.size() >= 12 && d[2] == 0x03) {
        return (d[9] & 0x0C) != 0;
    }
    return false;
}

}  // namespace

void SimDevice::LearnUac2(size_t at, uint8_t interfaceNumber, bool inAudioControl)
{
    if (!m_uac2) {
        return;
    }
    // Every read stays within the descriptor's own bLength, which the walk bounds by the
    // configuration: a short last descriptor is read no further than its bytes.
    const Bytes& c = m_configuration;
    const uint8_t len = c[at];
    const uint8_t type = c[at + 1];
    if (type == 4) {
        if (len >= 4) {
            uint8_t& top = m_maxAlternate[interfaceNumber];
            top = std::max(top, c[at + 3]);
        }
        return;
    }
    if (type == 5) {
        if (len >= 4 && inAudioControl && (c[at + 3] & 3) == 3 && (c[at + 2] & 0x80) != 0 && m_statusEndpoint == 0) {
            m_statusEndpoint = c[at + 2];
        }
        return;
    }
    if (type != 0x24 || len < 4) {
        return;
    }
    const uint8_t subtype = c[at + 2];
    if (!inAudioControl) {
        if (subtype == 1) {  // AS_GENERAL: the terminal the interface streams to or from
            m_terminalLink[interfaceNumber] = c[at + 3];
        }
        return;
    }
    if (subtype < 2) {
        return;
    }
    const uint8_t id = c[at + 3];
    m_entities[id].assign(c.begin() + static_cast<ptrdiff_t>(at), c.begin() + static_cast<ptrdiff_t>(at + len));
    if (subtype == 0x0B && len >= 5) {  // clock selector: CUR 1 of its inputs
        m_controls[{id, 1, 0}] = {1, 1, std::max<int64_t>(c[at + 4], 1), 1, 1};
    } else if (subtype == 0x0C) {  // clock multiplier: 1/1
        m_controls[{id, 1, 0}] = {1, 1, 1, 1, 2};
        m_controls[{id, 2, 0}] = {1, 1, 1, 1, 2};
    }
}

// The cluster a terminal carries: its own for an input terminal, its source's for an output
// terminal (through feature and selector units). Without channel positions, one bit per channel.
uint32_t SimDevice::DefaultConnectors(uint8_t entity, int depth) const
{
    const auto it = m_entities.find(entity);
    if (it == m_entities.end() || depth > 16) {
        return 0x3;
    }
    const Bytes& d = it->second;
    switch (d[2]) {
    case 0x02:
        if (d.size() >= 13) {
            const uint32_t config = Le32At(d, 9);
            const uint8_t channels = d[8];
            return config != 0 ? config : static_cast<uint32_t>((uint64_t{1} << std::min<uint8_t>(channels, 32)) - 1);
        }
        return 0x3;
    case 0x03: return d.size() >= 8 ? DefaultConnectors(d[7], depth + 1) : 0x3;
    case 0x05: return d.size() >= 6 && d[4] > 0 ? DefaultConnectors(d[5], depth + 1) : 0x3;
    case 0x06: return d.size() >= 5 ? DefaultConnectors(d[4], depth + 1) : 0x3;
    default: return 0x3;
    }
}

uint8_t SimDevice::ClockOfInterface(uint8_t interfaceNumber) const
{
    const auto link = m_terminalLink.find(interfaceNumber);
    if (link == m_terminalLink.end()) {
        return 0;
    }
    const auto t = m_entities.find(link->second);
    if (t == m_entities.end()) {
        return 0;
    }
    const Bytes& d = t->second;
    if (d[2] == 0x02 && d.size() >= 8) {
        return d[7];
    }
    if (d[2] == 0x03 && d.size() >= 9) {
        return d[8];
    }
    return 0;
}

void SimDevice::SetConnectors(uint8_t terminal, uint32_t channelConfig, bool notify)
{
    {
        std::lock_guard<std::mutex> guard(m_lock);
        Connectors& c = m_connectors[terminal];
        c.Config = channelConfig;
        c.Channels = static_cast<uint8_t>(__builtin_popcount(channelConfig));
    }
    if (notify) {
        PostStatus(terminal, kConnectors, 0);
    }
}

void SimDevice::SetJackList(uint8_t terminal, uint16_t outputType, std::vector<Jack> jacks)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_jacks[{terminal, outputType}] = std::move(jacks);
}

void SimDevice::SetOutputTypes(uint8_t terminal, std::vector<uint16_t> types)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_outputCur[terminal] = types.empty() ? 0 : types.front();
    m_outputTypes[terminal] = std::move(types);
}

uint16_t SimDevice::OutputType(uint8_t terminal)
{
    std::lock_guard<std::mutex> guard(m_lock);
    const auto it = m_outputCur.find(terminal);
    return it == m_outputCur.end() ? 0 : it->second;
}

void SimDevice::SetValidAlternates(uint8_t interfaceNumber, uint32_t rate, uint32_t bitmap)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_validAlternates[{interfaceNumber, rate}] = bitmap;
}

void SimDevice::ScriptFeedback(uint8_t endpoint, std::vector<ScriptedFeedback> packets)
{
    std::lock_guard<std::mutex> guard(m_lock);
    auto& script = m_feedbackScript[endpoint];
    for (ScriptedFeedback& p : packets) {
        if (p.What == ScriptedFeedback::Kind::Empty) {
            p.Data.clear();
        }
        script.push_back(std::move(p));
    }
}

void SimDevice::SetMemory(uint8_t entity, Bytes memory)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_memory[entity] = std::move(memory);
}

Bytes SimDevice::Memory(uint8_t entity)
{
    std::lock_guard<std::mutex> guard(m_lock);
    const auto it = m_memory.find(entity);
    return it == m_memory.end() ? Bytes{} : it->second;
}

bool SimDevice::PostStatus(uint8_t entity, uint8_t selector, uint8_t channel)
{
    uint8_t endpoint;
    uint8_t acInterface;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        endpoint = m_statusEndpoint;
        acInterface = m_acInterface;
    }
    if (endpoint == 0) {
        return false;
    }
    // bInfo 0 (class-specific, interface), bAttribute CUR, wValue (channel, selector), wIndex
    // (interface, entity).
    PostIn(endpoint, {0x00, kCur, channel, selector, acInterface, entity});
    return true;
}

std::optional<UsbTransferResult> SimDevice::Uac2Request(const USB_DEFAULT_PIPE_SETUP_PACKET& s, UCHAR* data,
                                                        ULONG length)
{
    const bool in = (s.bmRequestType & 0x80) != 0;
    if ((s.bmRequestType & 0x1F) != BMREQUEST_TO_INTERFACE) {
        return std::nullopt;
    }
    const uint8_t interfaceNumber = static_cast<uint8_t>(s.wIndex);
    const uint8_t entity = static_cast<uint8_t>(s.wIndex >> 8);
    const uint8_t selector = static_cast<uint8_t>(s.wValue >> 8);
    const uint8_t channel = static_cast<uint8_t>(s.wValue);

    // AudioStreaming interface controls: wIndex names the interface, entity 0.
    if (interfaceNumber != m_acInterface) {
        if (entity != 0 || !in || s.bRequest != kCur || m_maxAlternate.count(interfaceNumber) == 0) {
            return UsbTransferResult::Stall();
        }
        if (selector == kActiveAlternate) {
            const auto alt = m_alternate.find(interfaceNumber);
            return Reply({alt == m_alternate.end() ? uint8_t{0} : alt->second}, data, length);
        }
        if (selector != kValidAlternates) {
            return UsbTransferResult::Stall();
        }
        uint32_t rate = 0;
        const auto clock = m_clockCur.find(ClockOfInterface(interfaceNumber));
        if (clock != m_clockCur.end()) {
            rate = clock->second;
        }
        auto valid = m_validAlternates.find({interfaceNumber, rate});
        if (valid == m_validAlternates.end()) {
            valid = m_validAlternates.find({interfaceNumber, 0});
        }
        const uint8_t top = std::min<uint8_t>(m_maxAlternate[interfaceNumber], 31);
        const uint32_t bitmap =
            valid != m_validAlternates.end() ? valid->second : static_cast<uint32_t>((uint64_t{2} << top) - 1);
        Bytes reply = {1};
        for (uint32_t rest = bitmap >> 8; rest != 0; rest >>= 8) {
            reply[0]++;
        }
        for (uint8_t i = 0; i < reply[0]; ++i) {
            reply.push_back(static_cast<uint8_t>(bitmap >> (8 * i)));
        }
        return Reply(reply, data, length);
    }

    if (s.bRequest == kMem) {
        const auto mem = m_memory.find(entity);
        if (mem == m_memory.end() || s.wValue > mem->second.size()) {
            return UsbTransferResult::Stall();
        }
        Bytes& space = mem->second;
        if (in) {
            return Reply(Bytes(space.begin() + s.wValue, space.end()), data, length);
        }
        if (data == nullptr || length > space.size() - s.wValue) {
            return UsbTransferResult::Stall();
        }
        std::memcpy(space.data() + s.wValue, data, length);
        return UsbTransferResult::Done(length);
    }

    const auto e = m_entities.find(entity);
    if (e == m_entities.end() || (e->second[2] != 0x02 && e->second[2] != 0x03)) {
        return std::nullopt;
    }
    const bool output = e->second[2] == 0x03;

    if (selector == kConnectors && channel == 0xFF && in && s.bRequest == kCur) {  // vendor jack list
        const auto cur = m_outputCur.find(entity);
        auto jacks = m_jacks.find({entity, cur == m_outputCur.end() ? uint16_t{0} : cur->second});
        if (jacks == m_jacks.end()) {
            jacks = m_jacks.find({entity, uint16_t{0}});
        }
        if (jacks == m_jacks.end()) {
            return std::nullopt;  // a listed control or a stall
        }
        Bytes reply = {static_cast<uint8_t>(jacks->second.size())};
        for (const Jack& j : jacks->second) {
            PutLe32(reply, j.ChannelMapping);
            PutLe32(reply, j.PinConfig);
        }
        return Reply(reply, data, length);
    }

    if (selector == kConnectors && channel == 0) {
        auto c = m_connectors.find(entity);
        if (c == m_connectors.end()) {
            if (!DeclaresConnectors(e->second)) {
                return std::nullopt;  // a listed control or a stall
            }
            const uint32_t config = DefaultConnectors(entity, 0);
            c = m_connectors.emplace(entity, Connectors{static_cast<uint8_t>(__builtin_popcount(config)), config}).first;
        }
        if (!in || s.bRequest != kCur) {
            return UsbTransferResult::Stall();
        }
        Bytes reply = {c->second.Channels};
        PutLe32(reply, c->second.Config);
        reply.push_back(0);  // iChannelNames
        return Reply(reply, data, length);
    }

    if (output && selector == kOutputType && channel == 0) {
        const auto types = m_outputTypes.find(entity);
        if (types == m_outputTypes.end()) {
            return std::nullopt;  // a listed control or a stall
        }
        if (in && s.bRequest == kCur) {
            Bytes reply;
            PutLe16(reply, m_outputCur[entity]);
            return Reply(reply, data, length);
        }
        if (in && s.bRequest == kRange) {
            Bytes reply;
            PutLe16(reply, static_cast<uint16_t>(types->second.size()));
            for (uint16_t t : types->second) {
                PutLe16(reply, t);
                PutLe16(reply, t);
                PutLe16(reply, 0);
            }
            return Reply(reply, data, length);
        }
        if (!in && s.bRequest == kCur && data != nullptr && length >= 2) {
            const auto type = static_cast<uint16_t>(data[0] | (data[1] << 8));
            if (std::find(types->second.begin(), types->second.end(), type) == types->second.end()) {
                return UsbTransferResult::Stall();
            }
            m_outputCur[entity] = type;
            return UsbTransferResult::Done(length);
        }
        return UsbTransferResult::Stall();
    }
    return std::nullopt;
}

}  // namespace sim
