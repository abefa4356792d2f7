// Simulator-only (not driver code): a simulated USB audio device on the stand-in's bus. It is
// its descriptors plus behaviour: standard requests, UAC1 / UAC2 class controls with their
// values and ranges, raw answers by setup packet (vendor requests, HID reports, memory reads),
// interrupt and bulk IN data the test posts, isochronous OUT sinks that keep every packet with its
// frame, IN sources of known audio on a device clock with a ppm offset, feedback endpoints, and
// faults on demand. Every request is logged with its virtual time, except isochronous packets:
// the wire and the sources count those.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/usb/UsbBus.h"
#include "sim/DescriptorBuilder.h"
#include "sim/IsoStream.h"
#include "sim/Loopback.h"

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

// One jack of a UAC2 terminal's vendor jack list: the channels it carries and its pin
// configuration word (colour in bits 12-15, connection type 16-23, location 24-31).
struct Jack {
    uint32_t ChannelMapping = 0;
    uint32_t PinConfig = 0;
};

// One scripted answer of a feedback endpoint, used in turn before the device clock's value.
struct ScriptedFeedback {
    enum class Kind {
        Value,  // `Data` as the packet (any length: short or long values too)
        Empty,  // a packet of no bytes
        Fail,   // the packet fails with `Status`
    };
    Kind What = Kind::Value;
    Bytes Data;
    USBD_STATUS Status = USBD_STATUS_ISO_TD_ERROR;
};

struct ControlEntry {
    uint8_t Entity;
    uint8_t Selector;
    uint8_t Channel;  // 0xFF: every channel
    ControlValues Values;
};

// A failure of isochronous transfers on an endpoint, by packet, URB or IRP.
struct IsoFault {
    enum class Scope {
        Packet,  // packets fail with Status (their URB succeeds unless all of its packets failed)
        Urb,     // whole URBs fail with Status: nothing reaches the device, every packet fails
        Irp,     // the IRP completes with IrpStatus while the URB and its packets report success
        Stall,   // the endpoint stalls at the URB (as StallEndpoint); Count and Status do not apply
        Unplug,  // the device is unplugged at the URB: it and everything pending fail, 0xC000009D
    };
    Scope What = Scope::Packet;
    uint8_t Endpoint = 0;
    // From this frame on (wrap-aware): packets in it or later; URBs ending after its start.
    // Unset: the next ones.
    std::optional<uint32_t> FromFrame;
    uint32_t Count = 1;  // packets or URBs in a row: more than one is a burst
    USBD_STATUS Status = USBD_STATUS_ISO_TD_ERROR;
    NTSTATUS IrpStatus = STATUS_UNSUCCESSFUL;
};

class SimDevice;
class HidReports;

// Behaviour a chip family adds to the class model (vendor requests, HID reports, vendor status
// on its own endpoints), plugged into a SimDevice with AddChip. Raw answers and faults come
// before it; whatever it leaves to the device (nullopt) the class model answers. Called
// without the device lock, so a chip may use the device's public calls (PostIn, SetControl, ...).
class ChipBehaviour {
public:
    virtual ~ChipBehaviour() = default;
    // A control request on the default pipe (IN: at most `length` bytes into `data`).
    virtual std::optional<platform::usb::UsbTransferResult> Control(SimDevice& /*device*/,
                                                                    const USB_DEFAULT_PIPE_SETUP_PACKET& /*setup*/,
                                                                    UCHAR* /*data*/, ULONG /*length*/)
    {
        return std::nullopt;
    }
    // A bulk or interrupt transfer on a non-default endpoint (a HID report, a vendor pipe).
    virtual std::optional<platform::usb::UsbTransferResult> Transfer(SimDevice& /*device*/, UCHAR /*endpoint*/,
                                                                     UCHAR* /*data*/, ULONG /*length*/)
    {
        return std::nullopt;
    }
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
    // Plugs in a chip's behaviour; chips are asked in the order they were added.
    void AddChip(std::shared_ptr<ChipBehaviour> chip);
    // The HID report plug-in a configuration with HID interfaces (class 3) gets first; null
    // without one.
    HidReports* Hid() const { return m_hid.get(); }

    // ---- UAC2 class model ----
    // A terminal's Connectors control (selector 2, channel 0): the channels connected now. A
    // terminal that declares the control starts with its whole cluster connected. With `notify`
    // the change is posted as an interrupt message (PostStatus).
    void SetConnectors(uint8_t terminal, uint32_t channelConfig, bool notify = true);
    // The vendor jack list a terminal answers to CUR of selector 2 on channel 0xFF. An output
    // terminal answers the list of the output its output-type control selects (0: any output).
    void SetJackList(uint8_t terminal, uint16_t outputType, std::vector<Jack> jacks);
    // An output terminal's output-type control (selector 8, channel 0): the selectable outputs'
    // terminal types, the first selected. CUR writes select among them; RANGE lists them.
    void SetOutputTypes(uint8_t terminal, std::vector<uint16_t> types);
    uint16_t OutputType(uint8_t terminal);
    // Valid alternate settings of an AudioStreaming interface (bit n: setting n) while its clock
    // runs at `rate` (0: at any rate without its own bitmap). Unset: every setting is valid.
    void SetValidAlternates(uint8_t interfaceNumber, uint32_t rate, uint32_t bitmap);
    // An entity's memory space, read and written with MEM requests at the offset in wValue.
    void SetMemory(uint8_t entity, Bytes memory);
    Bytes Memory(uint8_t entity);
    // Posts the 6-byte interrupt message of a CUR change (entity, selector, channel) to the
    // AudioControl interface's interrupt endpoint; false when it has none.
    bool PostStatus(uint8_t entity, uint8_t selector, uint8_t channel);
    // Interrupt or bulk IN data, delivered to the next transfer on the endpoint.
    void PostIn(uint8_t endpoint, Bytes data);
    // An IN endpoint's audio (IsoSource: the device clock, a count per channel). An IN endpoint
    // without one sends 48 kHz 16-bit stereo. A source set here replaces a loopback into the endpoint.
    void SetSource(uint8_t endpoint, AudioSource source);
    // Loops an OUT endpoint back into an IN endpoint (Loopback): while the OUT endpoint's interface
    // streams (a non-zero alternate setting), the IN endpoint sends what it played, `Delay` frames
    // later; otherwise the IN endpoint's source. One loop per IN endpoint (a new one replaces it).
    // False (nothing changes) unless `Out` and `In` are isochronous data endpoints of that direction.
    bool SetLoopback(LoopbackConfig config);
    std::vector<LoopbackConfig> Loopbacks();
    // Packets of the endpoint's source made empty, short, odd-length or oversize by index.
    void ScriptSource(uint8_t endpoint, std::vector<ScriptedPacket> packets);
    // Bytes the endpoint's source has put into IN packets so far (IsoSource::StreamBytes from 0).
    uint64_t SourceBytes(uint8_t endpoint);
    // An OUT endpoint plays what arrives from a FIFO (IsoSink); without one it only keeps the wire.
    void SetSink(uint8_t endpoint, SinkConfig config);
    SinkState Sink(uint8_t endpoint);
    // The next packets of a feedback endpoint, in order; then the device clock's value again.
    void ScriptFeedback(uint8_t endpoint, std::vector<ScriptedFeedback> packets);
    // Moves the device clock (sources and feedback) by a ppm offset.
    void SetClockPpm(double ppm);

    // ---- faults ----
    enum class FaultKind { Stall, Never, Error, Short };
    // The next `times` control requests that match get the fault (Short: `length` bytes of the reply).
    void AddFault(RequestMatch match, FaultKind kind, int times = 1, USBD_STATUS status = USBD_STATUS_DEV_NOT_RESPONDING,
                  uint32_t length = 0);
    // The next `count` isochronous packets on the endpoint fail with the status.
    void FailPackets(uint8_t endpoint, int count, USBD_STATUS status = USBD_STATUS_ISO_TD_ERROR);
    // Isochronous failures by packet, URB or IRP; each served in turn until its count is used.
    void AddIsoFault(const IsoFault& fault);
    // The endpoint stalls: its packets fail with USBD_STATUS_STALL_PID (the bus halts the pipe)
    // until SYNC_RESET_PIPE_AND_CLEAR_STALL or a new selection of its interface.
    void StallEndpoint(uint8_t endpoint);
    // The next `times` bulk or interrupt transfers on the endpoint fail (stall when status is 0).
    void FailTransfers(uint8_t endpoint, int times, USBD_STATUS status = 0);
    void Unplug();
    // The port status request fails with STATUS_NO_SUCH_DEVICE `times` times.
    void NoSuchDevice(int times);
    void FailSelectInterface(uint8_t interfaceNumber, int times = 1);
    // Only selections of that alternate setting fail (e.g. 0 to fail the zero-bandwidth one).
    void FailSelectAlternate(uint8_t interfaceNumber, uint8_t alternateSetting, int times = 1);
    // STATUS_SUCCESS accepts idle notifications; STATUS_PENDING accepts them but never calls back;
    // anything else refuses them with that status.
    void SetIdleAnswer(NTSTATUS status);
    // A device that loses its class controls in suspend: while the hub suspends its port, every
    // control a SET_CUR changed returns to its default (as a reset at resume leaves it), so the
    // driver must write its stored values again at D0. Off by default.
    void SetLosesControlsOnSuspend(bool loses);
    bool LosesControlsOnSuspend();
    // Whether the port is suspended now, and how often it was.
    bool PortIsSuspended();
    uint32_t Suspensions();
    // The bus-interface query is not answered; QueryBusTime fails with the status (success restores).
    void FailBusInterface(bool fail);
    void FailBusTime(NTSTATUS status);

    // ---- what happened ----
    std::vector<RequestLogEntry> Log();
    std::vector<WirePacket> Wire(uint8_t endpoint);
    // Every (micro)frame of an OUT endpoint from its first packet on: its packet, or none.
    std::vector<WireFrame> WireFrames(uint8_t endpoint);
    // The bytes the endpoint received, in order (empty when KeepWireBytes(false)).
    Bytes WireBytes(uint8_t endpoint);
    // Count and FNV-1a hash (HashBytes) of the bytes received; kept even without the bytes.
    uint64_t WireByteCount(uint8_t endpoint);
    uint64_t WireHash(uint8_t endpoint);
    // Frames without a packet between the endpoint's URBs.
    uint64_t EmptyFrames(uint8_t endpoint);
    // Long runs: keep only counts, hash and frames, not the bytes.
    void KeepWireBytes(uint8_t endpoint, bool keep);
    // Nor the record of each (micro)frame (Wire and WireFrames then stay empty).
    void KeepWireFrames(uint8_t endpoint, bool keep);
    // Called with each packet the OUT endpoint receives, in order, under the device's lock (it
    // must not call into the device); an empty tap removes it.
    using WireTap = std::function<void(uint32_t frame, uint32_t microframe, const uint8_t* data, uint32_t length)>;
    void SetWireTap(uint8_t endpoint, WireTap tap);
    std::vector<Bytes> BulkOut(uint8_t endpoint);
    uint8_t Configuration();
    uint8_t AlternateSetting(uint8_t interfaceNumber);
    // The feedback value of the device clock (10.14 in 3 bytes at full speed, 16.16 in 4 at high).
    // On the bus, a feedback endpoint whose interface has a playing asynchronous sink adds a small
    // correction of the sink's fill error: a frame per second per frame below its start level,
    // within 0.1 % of the nominal rate.
    Bytes FeedbackValue(uint32_t nominalRate);
    // The known audio: sample `n` of channel `c` of an IN source (16-bit range, scaled up for more bytes).
    static int32_t SourceSample(uint64_t n, uint32_t channel, uint32_t bytesPerSample)
    {
        return IsoSource::Sample(n, channel, bytesPerSample);
    }

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
    void IsochronousGap(UCHAR endpoint, ULONG firstFrame, ULONG frames) override;
    platform::usb::UsbIsochronousUrbFault IsochronousUrbFault(UCHAR endpoint, ULONG startFrame, ULONG frames) override;
    NTSTATUS PortStatusOverride() override;
    NTSTATUS IdleNotificationStatus() override;
    void PortSuspended(bool suspended) override;
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
    struct SinkSlot {
        IsoSink Sink;
        std::optional<uint32_t> FirstFrame;
        double LastTime = 0;
    };

    void LearnDescriptors();
    platform::usb::UsbTransferResult Standard(const USB_DEFAULT_PIPE_SETUP_PACKET& s, UCHAR* data, ULONG length);
    platform::usb::UsbTransferResult ClassRequest(const USB_DEFAULT_PIPE_SETUP_PACKET& s, UCHAR* data, ULONG length);
    platform::usb::UsbTransferResult Reply(const Bytes& bytes, UCHAR* data, ULONG length);
    // UAC2 requests beyond plain CUR/RANGE controls; nothing when the generic path answers.
    std::optional<platform::usb::UsbTransferResult> Uac2Request(const USB_DEFAULT_PIPE_SETUP_PACKET& s, UCHAR* data,
                                                                ULONG length);
    void LearnUac2(size_t at, uint8_t interfaceNumber, bool inAudioControl);
    uint8_t ClockOfInterface(uint8_t interfaceNumber) const;
    uint32_t DefaultConnectors(uint8_t terminal, int depth) const;
    void Record(RequestLogEntry::Kind kind, const USB_DEFAULT_PIPE_SETUP_PACKET* setup, uint8_t endpoint,
                uint32_t length, const char* outcome);
    double ClockRatio() const { return 1.0 + m_ppm * 1e-6; }
    Bytes FeedbackBytes(double framesPerSecond, bool highSpeed) const;
    double FillCorrection(uint8_t feedbackEndpoint, uint32_t nominalRate);
    double PacketsPerSecond(uint8_t endpoint) const;
    std::optional<USBD_STATUS> PacketFault(uint8_t endpoint, uint32_t frame);
    // A SET_CUR is about to change the control: its default is kept until the next suspend.
    void NoteControlWrite(const Key& key, const ControlValues& values);

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
    std::vector<std::shared_ptr<ChipBehaviour>> m_chips;
    std::shared_ptr<HidReports> m_hid;
    struct Connectors {
        uint8_t Channels = 0;
        uint32_t Config = 0;
    };
    std::map<uint8_t, Connectors> m_connectors;                       // by terminal
    std::map<std::pair<uint8_t, uint16_t>, std::vector<Jack>> m_jacks;  // by terminal and output type
    std::map<uint8_t, std::vector<uint16_t>> m_outputTypes;
    std::map<uint8_t, uint16_t> m_outputCur;
    std::map<std::pair<uint8_t, uint32_t>, uint32_t> m_validAlternates;  // by interface and rate
    std::map<uint8_t, uint8_t> m_maxAlternate;                          // by interface
    std::map<uint8_t, uint8_t> m_terminalLink;                          // AudioStreaming interface -> terminal
    std::map<uint8_t, Bytes> m_entities;                                // AudioControl descriptors by id
    std::map<uint8_t, Bytes> m_memory;
    std::map<uint8_t, std::deque<ScriptedFeedback>> m_feedbackScript;
    uint8_t m_statusEndpoint = 0;
    std::vector<Fault> m_faults;
    std::map<uint8_t, std::deque<Bytes>> m_inData;
    std::map<uint8_t, std::vector<Bytes>> m_bulkOut;
    std::map<uint8_t, std::pair<int, USBD_STATUS>> m_transferFaults;
    std::map<uint8_t, std::pair<int, USBD_STATUS>> m_packetFaults;
    std::map<uint8_t, IsoSource> m_sources;
    std::map<uint8_t, Loopback> m_loopbacks;  // by IN endpoint
    // The sampling rate and sample layout an endpoint streams with now (none when not streaming).
    uint32_t StreamRate(uint8_t endpoint) const;
    std::optional<LoopFormat> StreamFormat(uint8_t endpoint) const;
    std::map<uint8_t, SinkSlot> m_sinks;
    std::map<uint8_t, WireLog> m_wires;
    std::map<uint8_t, WireTap> m_wireTaps;
    std::vector<IsoFault> m_isoFaults;
    std::map<uint8_t, bool> m_stalled;
    std::map<uint8_t, uint8_t> m_endpointInterface;
    std::map<std::pair<uint8_t, uint8_t>, int> m_selectAltFaults;
    std::map<uint8_t, EndpointInfo> m_endpoints;
    std::map<uint8_t, int> m_selectFaults;
    std::map<uint8_t, uint8_t> m_alternate;
    std::vector<RequestLogEntry> m_log;
    uint8_t m_configurationValue = 0;
    double m_ppm = 0;
    int m_noSuchDevice = 0;
    NTSTATUS m_idleAnswer = STATUS_SUCCESS;
    bool m_losesControls = false;
    bool m_suspended = false;
    uint32_t m_suspensions = 0;
    std::map<Key, int64_t> m_controlDefaults;  // controls changed by SET_CUR: their defaults
    bool m_noBusInterface = false;
    NTSTATUS m_busTimeStatus = STATUS_SUCCESS;
};

}  // namespace sim
