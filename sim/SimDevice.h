// Simulator-only (not driver code): a simulated USB audio device on the stand-in's bus. It is
// its descriptors plus behaviour: standard requests, UAC1 / UAC2 class controls with their
// values and ranges, raw answers by setup packet (vendor requests, HID reports, memory reads),
// interrupt and bulk IN data the test posts, isochronous OUT sinks that keep every packet with its
// frame, IN sources of known audio on a device clock with a ppm offset, feedback endpoints, and
// faults on demand. Every request is logged with its virtual time.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/usb/UsbBus.h"
#include "sim/DescriptorBuilder.h"

namespace sim {

// One class control's values, in the device's own wire units (little endian, `Size` bytes).
struct ControlValues {
    int64_t Cur = 0;
    int64_t Min = 0;
    int64_t Max = 0;
    int64_t Res = 0;
    uint8_t Size = 2;
};

// A raw answer by setup packet: bmRequestType, bRequest, wValue and wIndex must match; the reply
// is cut to wLength.
struct RawRequest {
    uint8_t Setup[8] = {};
    Bytes Reply;
    bool Stall = false;
};

struct RequestLogEntry {
    int64_t Time;         // machine time, 100 ns
    enum class Kind { Control, BulkOrInterrupt, IsochronousOut, IsochronousIn, Port } What;
    USB_DEFAULT_PIPE_SETUP_PACKET Setup;  // control requests
    uint8_t Endpoint;
    uint32_t Length;      // bytes asked for or sent
    std::string Outcome;  // "ok", "stall", "pending", "error"
};

// One line of a trace: "  12.345 ms  control  a1 81 0201 0200 0002  ok".
std::string FormatLogEntry(const RequestLogEntry& entry);

// One packet seen on an isochronous OUT endpoint.
struct WirePacket {
    uint8_t Endpoint;
    uint32_t Frame;
    uint32_t Microframe;
    Bytes Data;
};

// Which control requests a fault applies to (unset fields match anything).
struct RequestMatch {
    std::optional<uint8_t> RequestType;
    std::optional<uint8_t> Request;
    std::optional<uint16_t> Value;
    std::optional<uint16_t> Index;
    bool Matches(const USB_DEFAULT_PIPE_SETUP_PACKET& s) const;
};

struct ControlEntry {
    uint8_t Entity;
    uint8_t Selector;
    uint8_t Channel;  // 0xFF: every channel
    ControlValues Values;
};

struct AudioSource {
    uint32_t Rate = 48000;
    uint32_t Channels = 2;
    uint32_t BytesPerSample = 2;
};

class SimDevice : public platform::usb::UsbDeviceModel {
public:
    SimDevice(Bytes deviceDescriptor, Bytes configuration, std::optional<bool> highSpeed = std::nullopt);

    // The bus the device is plugged into (for unplugging and IN data); null detaches.
    void AttachBus(platform::usb::UsbBus* bus);

    // ---- behaviour ----
    void SetString(uint8_t index, const std::u16string& text);
    // Overrides or adds a control (entity id, selector, channel; channel -1 for every channel).
    void SetControl(uint8_t entity, uint8_t selector, int channel, ControlValues values);
    std::optional<ControlValues> Control(uint8_t entity, uint8_t selector, uint8_t channel);
    // UAC2 clock source rates, answered as discrete subranges; CUR is settable within them.
    void SetClockRates(uint8_t clock, std::vector<uint32_t> rates);
    void AddRaw(const RawRequest& request);
    // Interrupt or bulk IN data, delivered to the next transfer on the endpoint.
    void PostIn(uint8_t endpoint, Bytes data);
    void SetSource(uint8_t endpoint, AudioSource source);
    // Moves the device clock (sources and feedback) by a ppm offset.
    void SetClockPpm(double ppm);

    // ---- faults ----
    enum class FaultKind { Stall, Never, Error, Short };
    // The next `times` control requests that match get the fault (Short: `length` bytes of the reply).
    void AddFault(RequestMatch match, FaultKind kind, int times = 1, USBD_STATUS status = USBD_STATUS_DEV_NOT_RESPONDING,
                  uint32_t length = 0);
    // The next `count` isochronous packets on the endpoint fail with the status.
    void FailPackets(uint8_t endpoint, int count, USBD_STATUS status = USBD_STATUS_ISO_TD_ERROR);
    // The next `times` bulk or interrupt transfers on the endpoint fail (stall when status is 0).
    void FailTransfers(uint8_t endpoint, int times, USBD_STATUS status = 0);
    void Unplug();
    // The port status request fails with STATUS_NO_SUCH_DEVICE `times` times.
    void NoSuchDevice(int times);
    void FailSelectInterface(uint8_t interfaceNumber, int times = 1);
    // STATUS_SUCCESS accepts idle notifications; anything else refuses them with that status.
    void SetIdleAnswer(NTSTATUS status);
    // The bus-interface query is not answered; QueryBusTime fails with the status (success restores).
    void FailBusInterface(bool fail);
    void FailBusTime(NTSTATUS status);

    // ---- what happened ----
    std::vector<RequestLogEntry> Log();
    std::vector<WirePacket> Wire(uint8_t endpoint);
    std::vector<Bytes> BulkOut(uint8_t endpoint);
    uint8_t Configuration();
    uint8_t AlternateSetting(uint8_t interfaceNumber);
    // The feedback value the device sends now (10.14 in 3 bytes at full speed, 16.16 in 4 at high).
    Bytes FeedbackValue(uint32_t nominalRate);
    // The known audio: sample `n` of channel `c` of an IN source (16-bit range, scaled up for more bytes).
    static int32_t SourceSample(uint64_t n, uint32_t channel, uint32_t bytesPerSample);

    // What the device was built from (a profile saves these).
    const Bytes& DeviceBytes() const { return m_device; }
    const Bytes& ConfigurationBytes() const { return m_configuration; }
    std::map<uint8_t, std::u16string> Strings();
    std::vector<ControlEntry> Controls();
    // Configurations after the first, answered to GET_DESCRIPTOR by their index (never selected).
    void SetOtherConfigurations(std::vector<Bytes> configurations);
    std::vector<Bytes> OtherConfigurations();
    std::vector<RawRequest> RawRequests();
    std::map<uint8_t, std::vector<uint32_t>> ClockRates();
    bool HighSpeedFlag() const { return m_highSpeed; }
    bool IsUac2() const { return m_uac2; }

    // ---- platform::usb::UsbDeviceModel ----
    bool IsHighSpeed() override { return m_highSpeed; }
    std::vector<UCHAR> DeviceDescriptor() override { return m_device; }
    std::vector<UCHAR> ConfigurationDescriptor(UCHAR index) override;
    platform::usb::UsbTransferResult Control(const USB_DEFAULT_PIPE_SETUP_PACKET& setup, UCHAR* data,
                                             ULONG length) override;
    platform::usb::UsbTransferResult BulkOrInterrupt(UCHAR endpoint, UCHAR* data, ULONG length) override;
    USBD_STATUS IsochronousOut(UCHAR endpoint, ULONG frame, ULONG microframe, const UCHAR* data, ULONG length) override;
    USBD_STATUS IsochronousIn(UCHAR endpoint, ULONG frame, ULONG microframe, UCHAR* data, ULONG length,
                              ULONG* actual) override;
    bool SelectInterface(UCHAR interfaceNumber, UCHAR alternateSetting) override;
    bool SelectConfiguration(UCHAR configurationValue) override;
    void ClearStall(UCHAR endpoint) override;
    NTSTATUS PortStatusOverride() override;
    NTSTATUS IdleNotificationStatus() override;
    bool BusInterfaceAvailable() override;
    NTSTATUS QueryBusTimeStatus() override;

private:
    struct Key {
        uint8_t Entity, Selector, Channel;
        bool operator<(const Key& o) const
        {
            return Entity != o.Entity ? Entity < o.Entity : Selector != o.Selector ? Selector < o.Selector : Channel < o.Channel;
        }
    };
    struct Fault {
        RequestMatch Match;
        FaultKind Kind;
        int Times;
        USBD_STATUS Status;
        uint32_t Length;
    };
    struct EndpointInfo {
        uint8_t Attributes = 0;
        uint16_t MaxPacket = 0;
        uint8_t Interval = 1;
        bool Feedback = false;
    };
    struct SourceState {
        AudioSource Format;
        uint64_t Sample = 0;       // samples produced
        uint64_t Packets = 0;      // packet intervals since the base
        uint64_t BaseSample = 0;   // samples produced when the clock last changed
    };

    void LearnDescriptors();
    platform::usb::UsbTransferResult Standard(const USB_DEFAULT_PIPE_SETUP_PACKET& s, UCHAR* data, ULONG length);
    platform::usb::UsbTransferResult ClassRequest(const USB_DEFAULT_PIPE_SETUP_PACKET& s, UCHAR* data, ULONG length);
    platform::usb::UsbTransferResult Reply(const Bytes& bytes, UCHAR* data, ULONG length);
    void Record(RequestLogEntry::Kind kind, const USB_DEFAULT_PIPE_SETUP_PACKET* setup, uint8_t endpoint,
                uint32_t length, const char* outcome);
    double ClockRatio() const { return 1.0 + m_ppm * 1e-6; }

    std::mutex m_lock;
    platform::usb::UsbBus* m_bus = nullptr;
    Bytes m_device;
    Bytes m_configuration;
    std::vector<Bytes> m_otherConfigurations;
    bool m_highSpeed = false;
    bool m_uac2 = false;
    uint8_t m_acInterface = 0;
    std::map<uint8_t, std::u16string> m_strings;
    std::map<Key, ControlValues> m_controls;
    std::map<uint8_t, std::vector<uint32_t>> m_clockRates;
    std::map<uint8_t, uint32_t> m_clockCur;
    std::map<uint8_t, uint32_t> m_endpointRate;  // UAC1 sampling frequency per endpoint
    std::vector<RawRequest> m_raw;
    std::vector<Fault> m_faults;
    std::map<uint8_t, std::deque<Bytes>> m_inData;
    std::map<uint8_t, std::vector<Bytes>> m_bulkOut;
    std::map<uint8_t, std::pair<int, USBD_STATUS>> m_transferFaults;
    std::map<uint8_t, std::pair<int, USBD_STATUS>> m_packetFaults;
    std::map<uint8_t, SourceState> m_sources;
    std::map<uint8_t, EndpointInfo> m_endpoints;
    std::map<uint8_t, int> m_selectFaults;
    std::map<uint8_t, uint8_t> m_alternate;
    std::vector<WirePacket> m_wire;
    std::vector<RequestLogEntry> m_log;
    uint8_t m_configurationValue = 0;
    double m_ppm = 0;
    int m_noSuchDevice = 0;
    NTSTATUS m_idleAnswer = STATUS_SUCCESS;
    bool m_noBusInterface = false;
    NTSTATUS m_busTimeStatus = STATUS_SUCCESS;
};

}  // namespace sim
