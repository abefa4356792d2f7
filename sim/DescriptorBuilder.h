// Simulator-only (not driver code): builds the descriptor bytes of a simulated USB audio device,
// a device descriptor and one configuration with standard and UAC1 / UAC2 class descriptors.
// Lengths and counts that follow from the layout (wTotalLength, bNumInterfaces, bNumEndpoints,
// the AudioControl header's wTotalLength) are filled in by Build.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <vector>

namespace sim {

using Bytes = std::vector<uint8_t>;

struct DeviceIdentity {
    uint16_t VendorId = 0x1234;
    uint16_t ProductId = 0x5678;
    uint16_t BcdDevice = 0x0100;
    uint16_t BcdUsb = 0x0200;
    uint8_t Manufacturer = 1;  // string indexes
    uint8_t Product = 2;
    uint8_t Serial = 0;
};

class DescriptorBuilder {
public:
    explicit DescriptorBuilder(DeviceIdentity identity = {}) : m_identity(identity) {}

    // Standard descriptors.
    DescriptorBuilder& Interface(uint8_t number, uint8_t alternate, uint8_t cls, uint8_t subclass, uint8_t protocol = 0,
                                 uint8_t iInterface = 0);
    // 9-byte audio endpoint when `audio`, else the 7-byte standard one.
    DescriptorBuilder& Endpoint(uint8_t address, uint8_t attributes, uint16_t maxPacket, uint8_t interval,
                                bool audio = true, uint8_t synchAddress = 0, uint8_t refresh = 0);
    DescriptorBuilder& Raw(const Bytes& descriptor);

    // AudioControl interface (class 1, subclass 1) with its header; protocol 0 (UAC1) or 0x20 (UAC2).
    // `category` is the UAC2 header's bCategory (8: I/O box, 4: headset).
    DescriptorBuilder& AudioControl(uint8_t number, uint8_t protocol, std::initializer_list<uint8_t> streaming,
                                    uint8_t category = 0x08);
    // Interface association of `count` interfaces from `first` (audio function, protocol 0x20).
    DescriptorBuilder& InterfaceAssociation(uint8_t first, uint8_t count, uint8_t protocol = 0x20);
    // AudioStreaming interface alternate setting (class 1, subclass 2).
    DescriptorBuilder& AudioStreaming(uint8_t number, uint8_t alternate, uint8_t protocol);

    // UAC1 entities.
    DescriptorBuilder& Uac1InputTerminal(uint8_t id, uint16_t type, uint8_t channels, uint16_t channelConfig = 0x3);
    DescriptorBuilder& Uac1OutputTerminal(uint8_t id, uint16_t type, uint8_t source);
    // One bitmap per channel, master first; bit k is control selector k + 1.
    DescriptorBuilder& Uac1FeatureUnit(uint8_t id, uint8_t source, std::initializer_list<uint16_t> controls,
                                       uint8_t controlSize = 2);
    DescriptorBuilder& Uac1SelectorUnit(uint8_t id, std::initializer_list<uint8_t> sources);
    // bmControls of `controlBytes` bytes, all zero (no programmable mixing control).
    DescriptorBuilder& Uac1MixerUnit(uint8_t id, std::initializer_list<uint8_t> sources, uint8_t channels,
                                     uint16_t channelConfig = 0x3, uint8_t controlBytes = 1);
    DescriptorBuilder& Uac1AsGeneral(uint8_t terminalLink, uint16_t formatTag = 1);
    DescriptorBuilder& Uac1FormatTypeI(uint8_t channels, uint8_t subframeSize, uint8_t bits,
                                       std::initializer_list<uint32_t> rates);
    // A continuous range of rates (bSamFreqType 0) from `lower` to `upper`.
    DescriptorBuilder& Uac1FormatTypeRange(uint8_t channels, uint8_t subframeSize, uint8_t bits, uint32_t lower,
                                           uint32_t upper);
    DescriptorBuilder& Uac1AsEndpoint(uint8_t attributes = 1);

    // UAC2 entities.
    DescriptorBuilder& Uac2ClockSource(uint8_t id, uint8_t attributes = 1, uint8_t controls = 0x07);
    // Clock selector over `sources` (selector control readable and writable).
    DescriptorBuilder& Uac2ClockSelector(uint8_t id, std::initializer_list<uint8_t> sources);
    // Clock multiplier of `source` (numerator and denominator readable).
    DescriptorBuilder& Uac2ClockMultiplier(uint8_t id, uint8_t source);
    // `controls` is the terminal's bmControls, two bits per control (0x0004: Connectors readable).
    DescriptorBuilder& Uac2InputTerminal(uint8_t id, uint16_t type, uint8_t clock, uint8_t channels,
                                         uint32_t channelConfig = 0x3, uint16_t controls = 0);
    DescriptorBuilder& Uac2OutputTerminal(uint8_t id, uint16_t type, uint8_t source, uint8_t clock,
                                          uint16_t controls = 0);
    // One 32-bit bitmap per channel, master first; two bits per control, selector k + 1 at bit 2k.
    DescriptorBuilder& Uac2FeatureUnit(uint8_t id, uint8_t source, std::initializer_list<uint32_t> controls);
    DescriptorBuilder& Uac2SelectorUnit(uint8_t id, std::initializer_list<uint8_t> sources);
    // bmFormats bit 0 is PCM.
    DescriptorBuilder& Uac2AsGeneral(uint8_t terminalLink, uint8_t channels, uint32_t channelConfig = 0x3,
                                     uint32_t formats = 1);
    DescriptorBuilder& Uac2FormatTypeI(uint8_t subslotSize, uint8_t bits);
    DescriptorBuilder& Uac2AsEndpoint();

    // The 18-byte device descriptor.
    Bytes DeviceDescriptor() const;
    // The whole configuration descriptor.
    Bytes Configuration() const;

private:
    DescriptorBuilder& Add(Bytes d);

    DeviceIdentity m_identity;
    Bytes m_body;
};

void PutLe16(Bytes& b, uint16_t v);
void PutLe24(Bytes& b, uint32_t v);
void PutLe32(Bytes& b, uint32_t v);

}  // namespace sim
