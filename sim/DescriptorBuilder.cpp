#include "sim/DescriptorBuilder.h"

#include <cstddef>

namespace sim {

void PutLe16(Bytes& b, uint16_t v)
{
    b.push_back(static_cast<uint8_t>(v));
    b.push_back(static_cast<uint8_t>(v >> 8));
}
void PutLe24(Bytes& b, uint32_t v)
{
    PutLe16(b, static_cast<uint16_t>(v));
    b.push_back(static_cast<uint8_t>(v >> 16));
}
void PutLe32(Bytes& b, uint32_t v)
{
    PutLe16(b, static_cast<uint16_t>(v));
    PutLe16(b, static_cast<uint16_t>(v >> 16));
}

namespace {
constexpr uint8_t CS_INTERFACE = 0x24;
constexpr uint8_t CS_ENDPOINT = 0x25;
}  // namespace

DescriptorBuilder& DescriptorBuilder::Add(Bytes d)
{
    d[0] = static_cast<uint8_t>(d.size());
    m_body.insert(m_body.end(), d.begin(), d.end());
    return *this;
}

DescriptorBuilder& DescriptorBuilder::Raw(const Bytes& descriptor)
{
    m_body.insert(m_body.end(), descriptor.begin(), descriptor.end());
    return *this;
}

DescriptorBuilder& DescriptorBuilder::Interface(uint8_t number, uint8_t alternate, uint8_t cls, uint8_t subclass,
                                                uint8_t protocol, uint8_t iInterface)
{
    return Add({0, 4, number, alternate, 0, cls, subclass, protocol, iInterface});
}

DescriptorBuilder& DescriptorBuilder::Endpoint(uint8_t address, uint8_t attributes, uint16_t maxPacket,
                                               uint8_t interval, bool audio, uint8_t synchAddress, uint8_t refresh)
{
    Bytes d = {0, 5, address, attributes};
    PutLe16(d, maxPacket);
    d.push_back(interval);
    if (audio) {
        d.push_back(refresh);
        d.push_back(synchAddress);
    }
    return Add(d);
}

DescriptorBuilder& DescriptorBuilder::AudioControl(uint8_t number, uint8_t protocol,
                                                   std::initializer_list<uint8_t> streaming, uint8_t category)
{
    Interface(number, 0, 1, 1, protocol);
    if (protocol == 0x20) {
        // bcdADC 2.00, bCategory, wTotalLength patched by Build, bmControls 0.
        return Add({0, CS_INTERFACE, 1, 0x00, 0x02, category, 0, 0, 0});
    }
    Bytes d = {0, CS_INTERFACE, 1, 0x00, 0x01, 0, 0, static_cast<uint8_t>(streaming.size())};
    d.insert(d.end(), streaming.begin(), streaming.end());
    return Add(d);
}

DescriptorBuilder& DescriptorBuilder::InterfaceAssociation(uint8_t first, uint8_t count, uint8_t protocol)
{
    return Add({0, 0x0B, first, count, 1, 0, protocol, 0});
}

DescriptorBuilder& DescriptorBuilder::AudioStreaming(uint8_t number, uint8_t alternate, uint8_t protocol)
{
    return Interface(number, alternate, 1, 2, protocol);
}

DescriptorBuilder& DescriptorBuilder::Uac1InputTerminal(uint8_t id, uint16_t type, uint8_t channels,
                                                        uint16_t channelConfig)
{
    Bytes d = {0, CS_INTERFACE, 2, id};
    PutLe16(d, type);
    d.push_back(0);  // bAssocTerminal
    d.push_back(channels);
    PutLe16(d, channelConfig);
    d.push_back(0);
    d.push_back(0);
    return Add(d);
}

DescriptorBuilder& DescriptorBuilder::Uac1OutputTerminal(uint8_t id, uint16_t type, uint8_t source)
{
    Bytes d = {0, CS_INTERFACE, 3, id};
    PutLe16(d, type);
    d.push_back(0);
    d.push_back(source);
    d.push_back(0);
    return Add(d);
}

DescriptorBuilder& DescriptorBuilder::Uac1FeatureUnit(uint8_t id, uint8_t source,
                                                      std::initializer_list<uint16_t> controls, uint8_t controlSize)
{
    Bytes d = {0, CS_INTERFACE, 6, id, source, controlSize};
    for (uint16_t c : controls) {
        d.push_back(static_cast<uint8_t>(c));
        if (controlSize > 1) {
            d.push_back(static_cast<uint8_t>(c >> 8));
        }
    }
    d.push_back(0);
    return Add(d);
}

DescriptorBuilder& DescriptorBuilder::Uac1SelectorUnit(uint8_t id, std::initializer_list<uint8_t> sources)
{
    Bytes d = {0, CS_INTERFACE, 5, id, static_cast<uint8_t>(sources.size())};
    d.insert(d.end(), sources.begin(), sources.end());
    d.push_back(0);
    return Add(d);
}

DescriptorBuilder& DescriptorBuilder::Uac1MixerUnit(uint8_t id, std::initializer_list<uint8_t> sources,
                                                    uint8_t channels, uint16_t channelConfig, uint8_t controlBytes)
{
    Bytes d = {0, CS_INTERFACE, 4, id, static_cast<uint8_t>(sources.size())};
    d.insert(d.end(), sources.begin(), sources.end());
    d.push_back(channels);
    PutLe16(d, channelConfig);
    d.push_back(0);  // iChannelNames
    d.insert(d.end(), controlBytes, 0);
    d.push_back(0);  // iMixer
    return Add(d);
}

DescriptorBuilder& DescriptorBuilder::Uac1AsGeneral(uint8_t terminalLink, uint16_t formatTag)
{
    Bytes d = {0, CS_INTERFACE, 1, terminalLink, 1};
    PutLe16(d, formatTag);
    return Add(d);
}

DescriptorBuilder& DescriptorBuilder::Uac1FormatTypeI(uint8_t channels, uint8_t subframeSize, uint8_t bits,
                                                      std::initializer_list<uint32_t> rates)
{
    Bytes d = {0, CS_INTERFACE, 2, 1, channels, subframeSize, bits, static_cast<uint8_t>(rates.size())};
    for (uint32_t r : rates) {
        PutLe24(d, r);
    }
    return Add(d);
}

DescriptorBuilder& DescriptorBuilder::Uac1FormatTypeRange(uint8_t channels, uint8_t subframeSize, uint8_t bits,
                                                          uint32_t lower, uint32_t upper)
{
    Bytes d = {0, CS_INTERFACE, 2, 1, channels, subframeSize, bits, 0};
    PutLe24(d, lower);
    PutLe24(d, upper);
    return Add(d);
}

DescriptorBuilder& DescriptorBuilder::Uac1AsEndpoint(uint8_t attributes)
{
    return Add({0, CS_ENDPOINT, 1, attributes, 0, 0, 0});
}

DescriptorBuilder& DescriptorBuilder::Uac2ClockSource(uint8_t id, uint8_t attributes, uint8_t controls)
{
    return Add({0, CS_INTERFACE, 0x0A, id, attributes, controls, 0, 0});
}

DescriptorBuilder& DescriptorBuilder::Uac2ClockSelector(uint8_t id, std::initializer_list<uint8_t> sources)
{
    Bytes d = {0, CS_INTERFACE, 0x0B, id, static_cast<uint8_t>(sources.size())};
    d.insert(d.end(), sources.begin(), sources.end());
    d.push_back(0x03);  // clock selector control readable and writable
    d.push_back(0);
    return Add(d);
}

DescriptorBuilder& DescriptorBuilder::Uac2ClockMultiplier(uint8_t id, uint8_t source)
{
    return Add({0, CS_INTERFACE, 0x0C, id, source, 0x05, 0});
}

DescriptorBuilder& DescriptorBuilder::Uac2InputTerminal(uint8_t id, uint16_t type, uint8_t clock, uint8_t channels,
                                                        uint32_t channelConfig, uint16_t controls)
{
    Bytes d = {0, CS_INTERFACE, 2, id};
    PutLe16(d, type);
    d.push_back(0);
    d.push_back(clock);
    d.push_back(channels);
    PutLe32(d, channelConfig);
    d.push_back(0);  // iChannelNames
    PutLe16(d, controls);
    d.push_back(0);
    return Add(d);
}

DescriptorBuilder& DescriptorBuilder::Uac2OutputTerminal(uint8_t id, uint16_t type, uint8_t source, uint8_t clock,
                                                         uint16_t controls)
{
    Bytes d = {0, CS_INTERFACE, 3, id};
    PutLe16(d, type);
    d.push_back(0);
    d.push_back(source);
    d.push_back(clock);
    PutLe16(d, controls);
    d.push_back(0);
    return Add(d);
}

DescriptorBuilder& DescriptorBuilder::Uac2FeatureUnit(uint8_t id, uint8_t source,
                                                      std::initializer_list<uint32_t> controls)
{
    Bytes d = {0, CS_INTERFACE, 6, id, source};
    for (uint32_t c : controls) {
        PutLe32(d, c);
    }
    d.push_back(0);
    return Add(d);
}

DescriptorBuilder& DescriptorBuilder::Uac2SelectorUnit(uint8_t id, std::initializer_list<uint8_t> sources)
{
    Bytes d = {0, CS_INTERFACE, 5, id, static_cast<uint8_t>(sources.size())};
    d.insert(d.end(), sources.begin(), sources.end());
    d.push_back(0x03);  // selector control readable and writable
    d.push_back(0);
    return Add(d);
}

DescriptorBuilder& DescriptorBuilder::Uac2AsGeneral(uint8_t terminalLink, uint8_t channels, uint32_t channelConfig,
                                                   uint32_t formats)
{
    Bytes d = {0, CS_INTERFACE, 1, terminalLink, 0, 1};
    PutLe32(d, formats);
    d.push_back(channels);
    PutLe32(d, channelConfig);
    d.push_back(0);
    return Add(d);
}

DescriptorBuilder& DescriptorBuilder::Uac2FormatTypeI(uint8_t subslotSize, uint8_t bits)
{
    return Add({0, CS_INTERFACE, 2, 1, subslotSize, bits});
}

DescriptorBuilder& DescriptorBuilder::Uac2AsEndpoint()
{
    return Add({0, CS_ENDPOINT, 1, 0, 0, 0, 0, 0});
}

Bytes DescriptorBuilder::DeviceDescriptor() const
{
    Bytes d = {18, 1};
    PutLe16(d, m_identity.BcdUsb);
    d.push_back(0);
    d.push_back(0);
    d.push_back(0);
    d.push_back(64);
    PutLe16(d, m_identity.VendorId);
    PutLe16(d, m_identity.ProductId);
    PutLe16(d, m_identity.BcdDevice);
    d.push_back(m_identity.Manufacturer);
    d.push_back(m_identity.Product);
    d.push_back(m_identity.Serial);
    d.push_back(1);
    return d;
}

Bytes DescriptorBuilder::Configuration() const
{
    Bytes out = {9, 2, 0, 0, 0, 1, 0, 0x80, 50};
    Bytes body = m_body;
    // Counts: interfaces (alternate setting 0), endpoints per interface, the AC header's length.
    uint8_t interfaces = 0;
    size_t lastInterface = SIZE_MAX;
    for (size_t p = 0; p + 2 <= body.size() && body[p] >= 2; p += body[p]) {
        const uint8_t type = body[p + 1];
        if (type == 4 && body[p] >= 9) {
            lastInterface = p;
            interfaces += body[p + 3] == 0 ? 1 : 0;
        } else if (type == 5 && lastInterface != SIZE_MAX) {
            body[lastInterface + 4]++;
        }
    }
    // Each AudioControl header counts itself and the class descriptors that follow it.
    for (size_t p = 0; p + 2 <= body.size() && body[p] >= 2; p += body[p]) {
        if (body[p + 1] == 4 && body[p] >= 9 && body[p + 5] == 1 && body[p + 6] == 1) {
            const size_t header = p + body[p];
            const bool uac2 = body[p + 7] == 0x20;
            size_t q = header;
            while (q + 2 <= body.size() && body[q] >= 2 && body[q + 1] == 0x24) {
                q += body[q];
            }
            const auto total = static_cast<uint16_t>(q - header);
            const size_t at = header + (uac2 ? 6 : 5);
            if (header + 8 <= body.size()) {
                body[at] = static_cast<uint8_t>(total);
                body[at + 1] = static_cast<uint8_t>(total >> 8);
            }
        }
    }
    out.insert(out.end(), body.begin(), body.end());
    const auto total = static_cast<uint16_t>(out.size());
    out[2] = static_cast<uint8_t>(total);
    out[3] = static_cast<uint8_t>(total >> 8);
    out[4] = interfaces;
    return out;
}

}  // namespace sim
