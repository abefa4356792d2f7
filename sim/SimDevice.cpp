// Simulator-only (not driver code): the device model of SimDevice: its descriptors and what it
// learns from them, standard and UAC1/UAC2 class requests, raw answers, chip behaviour plug-ins,
// IN sources and feedback on the device clock, and the request log. Faults are served from
// SimDeviceFaults.cpp, the wire is kept by SimDeviceWire.cpp, the UAC2 class model beyond plain
// controls lives in SimDeviceUac2.cpp.
#include "sim/SimDevice.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "platform/nt/Clock.h"
#include "sim/HidReports.h"
#include "sim/RawWriteBack.h"

namespace sim {

using platform::usb::UsbTransferResult;

namespace {

// Documented defaults of controls the descriptors declare and nobody listed, by selector.
ControlValues DefaultControl(uint8_t selector)
{
    switch (selector) {
    case 2: return {0, -0x3C00, 0, 0x0100, 2};  // volume: -60 dB .. 0 dB in 1 dB steps (1/256 dB units)
    case 3:
    case 4:
    case 5: return {0, -48, 48, 1, 1};          // bass, mid, treble: -12 dB .. +12 dB in 0.25 dB steps
    case 8: return {0, 0, 0x7FFF, 1, 2};        // delay
    default: return {0, 0, 1, 1, 1};            // switches: mute, AGC, bass boost, loudness, ...
    }
}

Bytes Le(int64_t v, uint8_t size)
{
    Bytes b;
    for (uint8_t i = 0; i < size; ++i) {
        b.push_back(static_cast<uint8_t>(static_cast<uint64_t>(v) >> (8 * i)));
    }
    return b;
}

int64_t FromLe(const UCHAR* data, uint8_t size, bool isSigned)
{
    uint64_t v = 0;
    for (uint8_t i = 0; i < size; ++i) {
        v |= static_cast<uint64_t>(data[i]) << (8 * i);
    }
    if (isSigned && size < 8 && (v >> (8 * size - 1)) & 1) {
        v |= ~uint64_t{0} << (8 * size);
    }
    return static_cast<int64_t>(v);
}

}  // namespace

std::string FormatLogEntry(const RequestLogEntry& e)
{
    char line[128];
    const double ms = static_cast<double>(e.Time) / platform::TICKS_PER_MS;
    switch (e.What) {
    case RequestLogEntry::Kind::Control:
        std::snprintf(line, sizeof line, "%10.3f ms  control  %02x %02x %04x %04x %04x  %s", ms, e.Setup.bmRequestType,
                      e.Setup.bRequest, e.Setup.wValue, e.Setup.wIndex, e.Setup.wLength, e.Outcome.c_str());
        break;
    case RequestLogEntry::Kind::Port:
        std::snprintf(line, sizeof line, "%10.3f ms  port status  %s", ms, e.Outcome.c_str());
        break;
    default: {
        const char* kind = e.What == RequestLogEntry::Kind::BulkOrInterrupt ? "transfer"
                           : e.What == RequestLogEntry::Kind::IsochronousIn ? "iso in"
                                                                             : "iso out";
        std::snprintf(line, sizeof line, "%10.3f ms  %s  ep %02x  %u bytes  %s", ms, kind, e.Endpoint, e.Length,
                      e.Outcome.c_str());
        break;
    }
    }
    return line;
}

SimDevice::SimDevice(Bytes deviceDescriptor, Bytes configuration, std::optional<bool> highSpeed)
    : m_device(std::move(deviceDescriptor)), m_configuration(std::move(configuration))
{
    LearnDescriptors();
    m_highSpeed = highSpeed.value_or(m_uac2);
    std::set<uint8_t> hid = HidReports::HidInterfaces(m_configuration);
    if (!hid.empty()) {
        m_hid = std::make_shared<HidReports>(std::move(hid));
        m_chips.push_back(m_hid);
    }
}

void SimDevice::LearnDescriptors()
{
    const Bytes& c = m_configuration;
    bool inAudioControl = false;
    uint8_t currentInterface = 0;
    uint32_t lastFormatRate = 48000;
    for (size_t p = 0; p + 2 <= c.size() && c[p] >= 2 && c[p] <= c.size() - p; p += c[p]) {
        const uint8_t len = c[p];
        const uint8_t type = c[p + 1];
        if (type == 4 && len >= 9) {
            currentInterface = c[p + 2];
            inAudioControl = c[p + 5] == 1 && c[p + 6] == 1;
            if (inAudioControl) {
                m_acInterface = c[p + 2];
                m_uac2 = c[p + 7] == 0x20;
            }
            LearnUac2(p, currentInterface, inAudioControl);
            continue;
        }
        if (type == 5 && len >= 7) {
            EndpointInfo ep;
            ep.Attributes = c[p + 3];
            ep.MaxPacket = static_cast<uint16_t>(c[p + 4] | (c[p + 5] << 8));
            ep.Interval = c[p + 6];
            ep.Feedback = (ep.Attributes & 3) == 1 && ((ep.Attributes >> 4) & 3) == 1;
            m_endpoints[c[p + 2]] = ep;
            m_endpointInterface[c[p + 2]] = currentInterface;
            if (!m_uac2 && (ep.Attributes & 3) == 1 && !ep.Feedback) {
                m_endpointRate[c[p + 2]] = lastFormatRate;
            }
            LearnUac2(p, currentInterface, inAudioControl);
            continue;
        }
        LearnUac2(p, currentInterface, inAudioControl);
        if (type != 0x24 || len < 4) {
            continue;
        }
        const uint8_t subtype = c[p + 2];
        if (!inAudioControl) {
            // AudioStreaming: remember the first rate of a UAC1 format for its endpoint's default.
            if (!m_uac2 && subtype == 2 && len >= 11 && c[p + 7] >= 1) {
                lastFormatRate = c[p + 8] | (c[p + 9] << 8) | (c[p + 10] << 16);
            }
            continue;
        }
        const uint8_t id = c[p + 3];
        if (subtype == 6) {  // feature unit
            if (!m_uac2 && len >= 7 && c[p + 5] > 0) {
                const uint8_t size = c[p + 5];
                const size_t channels = (len - 7) / size;
                for (size_t ch = 0; ch < channels; ++ch) {
                    const uint64_t bits = static_cast<uint64_t>(FromLe(&c[p + 6 + ch * size], std::min<uint8_t>(size, 8), false));
                    for (uint8_t k = 0; k < 8 * std::min<uint8_t>(size, 8); ++k) {
                        if ((bits >> k) & 1) {
                            m_controls[{id, static_cast<uint8_t>(k + 1), static_cast<uint8_t>(ch)}] = DefaultControl(k + 1);
                        }
                    }
                }
            } else if (m_uac2 && len >= 6) {
                const size_t channels = (len - 6) / 4;
                for (size_t ch = 0; ch < channels; ++ch) {
                    const auto bits = static_cast<uint32_t>(FromLe(&c[p + 5 + ch * 4], 4, false));
                    for (uint8_t k = 0; k < 16; ++k) {
                        if ((bits >> (2 * k)) & 3) {
                            m_controls[{id, static_cast<uint8_t>(k + 1), static_cast<uint8_t>(ch)}] = DefaultControl(k + 1);
                        }
                    }
                }
            }
        } else if (subtype == 5 && len >= 5) {  // selector unit: CUR 1, any input may be chosen
            const auto inputs = static_cast<int64_t>(c[p + 4]);
            m_controls[{id, static_cast<uint8_t>(m_uac2 ? 1 : 0), 0}] = {1, 1, std::max<int64_t>(inputs, 1), 1, 1};
        } else if (m_uac2 && subtype == 0x0A) {  // clock source
            m_clockRates[id] = {48000};
            m_clockCur[id] = 48000;
            m_controls[{id, 2, 0}] = {1, 0, 1, 1, 1};  // clock valid
        }
    }
}

void SimDevice::AttachBus(platform::usb::UsbBus* bus)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_bus = bus;
}

void SimDevice::AddChip(std::shared_ptr<ChipBehaviour> chip)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_chips.push_back(std::move(chip));
}

void SimDevice::SetString(uint8_t index, const std::u16string& text)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_strings[index] = text;
}

void SimDevice::SetControl(uint8_t entity, uint8_t selector, int channel, ControlValues values)
{
    std::lock_guard<std::mutex> guard(m_lock);
    if (channel < 0) {
        // Every channel the descriptors declare, and any other asked for later.
        for (auto& [key, v] : m_controls) {
            if (key.Entity == entity && key.Selector == selector) {
                v = values;
            }
        }
        m_controls[{entity, selector, 0xFF}] = values;
        // What is set here is the control's new default.
        for (auto it = m_controlDefaults.begin(); it != m_controlDefaults.end();) {
            it = it->first.Entity == entity && it->first.Selector == selector ? m_controlDefaults.erase(it) : std::next(it);
        }
        return;
    }
    m_controls[{entity, selector, static_cast<uint8_t>(channel)}] = values;
    m_controlDefaults.erase({entity, selector, static_cast<uint8_t>(channel)});
}

std::optional<ControlValues> SimDevice::Control(uint8_t entity, uint8_t selector, uint8_t channel)
{
    std::lock_guard<std::mutex> guard(m_lock);
    auto it = m_controls.find({entity, selector, channel});
    if (it == m_controls.end()) {
        it = m_controls.find({entity, selector, 0xFF});
    }
    if (it == m_controls.end()) {
        return std::nullopt;
    }
    return it->second;
}

void SimDevice::SetClockRates(uint8_t clock, std::vector<uint32_t> rates)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_clockCur[clock] = rates.empty() ? 0 : rates.front();
    m_clockRates[clock] = std::move(rates);
}

void SimDevice::AddRaw(const RawRequest& request)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_raw.push_back(request);
}

void SimDevice::PostIn(uint8_t endpoint, Bytes data)
{
    platform::usb::UsbBus* bus;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_inData[endpoint].push_back(std::move(data));
        bus = m_bus;
    }
    if (bus != nullptr) {
        bus->NotifyEndpoint(endpoint);
    }
}

void SimDevice::SetSource(uint8_t endpoint, AudioSource source)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_sources.insert_or_assign(endpoint, IsoSource(source, PacketsPerSecond(endpoint), m_ppm));
    m_loopbacks.erase(endpoint);
}

double SimDevice::PacketsPerSecond(uint8_t endpoint) const
{
    const auto ep = m_endpoints.find(endpoint);
    const uint8_t interval = ep == m_endpoints.end() ? 1 : std::clamp<uint8_t>(ep->second.Interval, 1, 4);
    return m_highSpeed ? 8000.0 / (1 << (interval - 1)) : 1000.0;
}

void SimDevice::ScriptSource(uint8_t endpoint, std::vector<ScriptedPacket> packets)
{
    std::lock_guard<std::mutex> guard(m_lock);
    auto it = m_sources.find(endpoint);
    if (it == m_sources.end()) {
        it = m_sources.emplace(endpoint, IsoSource(AudioSource{}, PacketsPerSecond(endpoint), m_ppm)).first;
    }
    it->second.Script(std::move(packets));
}

uint64_t SimDevice::SourceBytes(uint8_t endpoint)
{
    std::lock_guard<std::mutex> guard(m_lock);
    auto it = m_sources.find(endpoint);
    return it == m_sources.end() ? 0 : it->second.ProducedBytes();
}

void SimDevice::SetSink(uint8_t endpoint, SinkConfig config)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_sinks.insert_or_assign(endpoint, SinkSlot{IsoSink(config, m_ppm), std::nullopt, 0});
}

SinkState SimDevice::Sink(uint8_t endpoint)
{
    std::lock_guard<std::mutex> guard(m_lock);
    auto it = m_sinks.find(endpoint);
    return it == m_sinks.end() ? SinkState{} : it->second.Sink.State();
}

void SimDevice::SetClockPpm(double ppm)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_ppm = ppm;
    for (auto& [endpoint, src] : m_sources) {
        src.SetPpm(ppm);
    }
    for (auto& [endpoint, slot] : m_sinks) {
        slot.Sink.SetPpm(ppm, slot.LastTime);
    }
}

std::vector<RequestLogEntry> SimDevice::Log()
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_log;
}

std::vector<Bytes> SimDevice::BulkOut(uint8_t endpoint)
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_bulkOut[endpoint];
}

uint8_t SimDevice::Configuration()
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_configurationValue;
}

uint8_t SimDevice::AlternateSetting(uint8_t interfaceNumber)
{
    std::lock_guard<std::mutex> guard(m_lock);
    auto it = m_alternate.find(interfaceNumber);
    return it == m_alternate.end() ? 0 : it->second;
}

std::map<uint8_t, std::u16string> SimDevice::Strings()
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_strings;
}

std::vector<ControlEntry> SimDevice::Controls()
{
    std::lock_guard<std::mutex> guard(m_lock);
    std::vector<ControlEntry> out;
    for (const auto& [key, values] : m_controls) {
        out.push_back({key.Entity, key.Selector, key.Channel, values});
    }
    return out;
}

void SimDevice::SetOtherConfigurations(std::vector<Bytes> configurations)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_otherConfigurations = std::move(configurations);
}

std::vector<Bytes> SimDevice::OtherConfigurations()
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_otherConfigurations;
}

std::vector<RawRequest> SimDevice::RawRequests()
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_raw;
}

std::map<uint8_t, std::vector<uint32_t>> SimDevice::ClockRates()
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_clockRates;
}

Bytes SimDevice::FeedbackValue(uint32_t nominalRate)
{
    double ratio;
    bool high;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        ratio = ClockRatio();
        high = m_highSpeed;
    }
    return FeedbackBytes(nominalRate * ratio, high);
}

Bytes SimDevice::FeedbackBytes(double framesPerSecond, bool high) const
{
    const double perInterval = framesPerSecond / (high ? 8000.0 : 1000.0);
    if (high) {
        return Le(static_cast<int64_t>(std::llround(perInterval * 65536.0)), 4);
    }
    return Le(static_cast<int64_t>(std::llround(perInterval * 16384.0)), 3);
}

// Frames per second the device adds to its clock to bring a playing asynchronous sink of the
// feedback endpoint's interface back to its start level (called with the lock held).
double SimDevice::FillCorrection(uint8_t feedbackEndpoint, uint32_t nominalRate)
{
    const auto owner = m_endpointInterface.find(feedbackEndpoint);
    if (owner == m_endpointInterface.end()) {
        return 0;
    }
    for (const auto& [endpoint, slot] : m_sinks) {
        const auto sinkOwner = m_endpointInterface.find(endpoint);
        if (sinkOwner != m_endpointInterface.end() && sinkOwner->second == owner->second &&
            slot.Sink.Config().Sync == SinkSync::Asynchronous) {
            const double limit = nominalRate * 1e-3;
            return std::clamp(slot.Sink.FillErrorFrames(), -limit, limit);
        }
    }
    return 0;
}

void SimDevice::Record(RequestLogEntry::Kind kind, const USB_DEFAULT_PIPE_SETUP_PACKET* setup, uint8_t endpoint,
                       uint32_t length, const char* outcome)
{
    RequestLogEntry e{};
    e.Time = platform::ClockNow();
    e.What = kind;
    if (setup != nullptr) {
        e.Setup = *setup;
    }
    e.Endpoint = endpoint;
    e.Length = length;
    e.Outcome = outcome;
    m_log.push_back(std::move(e));
}

std::vector<UCHAR> SimDevice::ConfigurationDescriptor(UCHAR index)
{
    std::lock_guard<std::mutex> guard(m_lock);
    if (index == 0) {
        return m_configuration;
    }
    return index <= m_otherConfigurations.size() ? m_otherConfigurations[index - 1] : std::vector<UCHAR>{};
}

UsbTransferResult SimDevice::Reply(const Bytes& bytes, UCHAR* data, ULONG length)
{
    const ULONG n = std::min<ULONG>(length, static_cast<ULONG>(bytes.size()));
    if (n > 0 && data != nullptr) {
        std::memcpy(data, bytes.data(), n);
    }
    return UsbTransferResult::Done(n);
}

UsbTransferResult SimDevice::Control(const USB_DEFAULT_PIPE_SETUP_PACKET& setup, UCHAR* data, ULONG length)
{
    // Faults first, then raw answers, then the chips' plug-ins, then the class model. The chips
    // are asked without the device lock so that they may post reports or change controls.
    std::optional<uint32_t> shortLength;
    std::optional<UsbTransferResult> r;
    std::vector<std::shared_ptr<ChipBehaviour>> chips;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        for (Fault& f : m_faults) {
            if (f.Times > 0 && f.Match.Matches(setup)) {
                f.Times--;
                switch (f.Kind) {
                case FaultKind::Stall: Record(RequestLogEntry::Kind::Control, &setup, 0, length, "stall"); return UsbTransferResult::Stall();
                case FaultKind::Never: Record(RequestLogEntry::Kind::Control, &setup, 0, length, "pending"); return UsbTransferResult::Never();
                case FaultKind::Error: Record(RequestLogEntry::Kind::Control, &setup, 0, length, "error"); return UsbTransferResult::Error(f.Status);
                case FaultKind::Short: shortLength = f.Length; break;
                }
                break;
            }
        }
        for (const RawRequest& raw : m_raw) {
            USB_DEFAULT_PIPE_SETUP_PACKET s;
            std::memcpy(&s, raw.Setup, sizeof s);
            if (s.bmRequestType == setup.bmRequestType && s.bRequest == setup.bRequest && s.wValue == setup.wValue &&
                s.wIndex == setup.wIndex) {
                r = raw.Stall ? UsbTransferResult::Stall() : Reply(raw.Reply, data, length);
                break;
            }
        }
        if (!r && WriteBackRaw(m_raw, setup, data, length)) {
            r = UsbTransferResult::Done(length);
        }
        if (!r) {
            chips = m_chips;
        }
    }
    for (const auto& chip : chips) {
        if ((r = chip->Control(*this, setup, data, length))) {
            break;
        }
    }
    std::lock_guard<std::mutex> guard(m_lock);
    if (!r) {
        switch (setup.bmRequestType & 0x60) {
        case BMREQUEST_STANDARD: r = Standard(setup, data, length); break;
        case BMREQUEST_CLASS: r = ClassRequest(setup, data, length); break;
        default: r = UsbTransferResult::Stall(); break;  // vendor requests nobody answers
        }
    }
    if (shortLength && r->Outcome == UsbTransferResult::Kind::Done) {
        r->Length = std::min(r->Length, *shortLength);
    }
    Record(RequestLogEntry::Kind::Control, &setup, 0, length,
           r->Outcome == UsbTransferResult::Kind::Done      ? "ok"
           : r->Outcome == UsbTransferResult::Kind::Pending ? "pending"
           : r->Outcome == UsbTransferResult::Kind::Error   ? "error"
                                                            : "stall");
    return *r;
}

UsbTransferResult SimDevice::Standard(const USB_DEFAULT_PIPE_SETUP_PACKET& s, UCHAR* data, ULONG length)
{
    const bool in = (s.bmRequestType & 0x80) != 0;
    switch (s.bRequest) {
    case USB_REQUEST_GET_DESCRIPTOR: {
        if (!in) {
            break;
        }
        const uint8_t type = static_cast<uint8_t>(s.wValue >> 8);
        const uint8_t index = static_cast<uint8_t>(s.wValue);
        if (type == USB_DEVICE_DESCRIPTOR_TYPE) {
            return Reply(m_device, data, length);
        }
        if (type == USB_CONFIGURATION_DESCRIPTOR_TYPE && index == 0) {
            return Reply(m_configuration, data, length);
        }
        if (type == USB_CONFIGURATION_DESCRIPTOR_TYPE && index <= m_otherConfigurations.size()) {
            return Reply(m_otherConfigurations[index - 1], data, length);
        }
        if (type == USB_STRING_DESCRIPTOR_TYPE) {
            if (index == 0) {
                return Reply({4, 3, 0x09, 0x04}, data, length);
            }
            auto it = m_strings.find(index);
            if (it == m_strings.end() || (s.wIndex != 0x0409 && s.wIndex != 0)) {
                break;
            }
            const size_t chars = std::min<size_t>(it->second.size(), 126);
            Bytes d = {static_cast<uint8_t>(2 + 2 * chars), 3};
            for (size_t i = 0; i < chars; ++i) {
                PutLe16(d, it->second[i]);
            }
            return Reply(d, data, length);
        }
        break;
    }
    case USB_REQUEST_SET_CONFIGURATION:
        if (!in && (s.wValue == 0 || m_configuration.size() < 9 || s.wValue == m_configuration[5])) {
            m_configurationValue = static_cast<uint8_t>(s.wValue);
            return UsbTransferResult::Done(0);
        }
        break;
    case USB_REQUEST_SET_INTERFACE:
        if (!in) {
            m_alternate[static_cast<uint8_t>(s.wIndex)] = static_cast<uint8_t>(s.wValue);
            return UsbTransferResult::Done(0);
        }
        break;
    case USB_REQUEST_GET_STATUS:
        if (in) {
            return Reply({0, 0}, data, length);
        }
        break;
    case USB_REQUEST_GET_CONFIGURATION:
        if (in) {
            return Reply({m_configurationValue}, data, length);
        }
        break;
    case USB_REQUEST_GET_INTERFACE:
        if (in) {
            return Reply({m_alternate[static_cast<uint8_t>(s.wIndex)]}, data, length);
        }
        break;
    case USB_REQUEST_CLEAR_FEATURE:
    case USB_REQUEST_SET_FEATURE:
        if (!in) {
            return UsbTransferResult::Done(0);
        }
        break;
    default: break;
    }
    return UsbTransferResult::Stall();
}

UsbTransferResult SimDevice::ClassRequest(const USB_DEFAULT_PIPE_SETUP_PACKET& s, UCHAR* data, ULONG length)
{
    const bool in = (s.bmRequestType & 0x80) != 0;
    const uint8_t recipient = s.bmRequestType & 0x1F;
    const uint8_t selector = static_cast<uint8_t>(s.wValue >> 8);
    const uint8_t channel = static_cast<uint8_t>(s.wValue);

    if (recipient == BMREQUEST_TO_ENDPOINT && !m_uac2) {
        // UAC1 sampling frequency of an isochronous endpoint: three bytes.
        auto it = m_endpointRate.find(static_cast<uint8_t>(s.wIndex));
        if (it == m_endpointRate.end() || selector != USB_AUDIO_EP_SAMPLING_FREQ_CONTROL) {
            return UsbTransferResult::Stall();
        }
        if (in && s.bRequest == USB_AUDIO_GET_CUR) {
            return Reply(Le(it->second, 3), data, length);
        }
        if (!in && s.bRequest == USB_AUDIO_SET_CUR && length >= 3 && data != nullptr) {
            it->second = static_cast<uint32_t>(FromLe(data, 3, false));
            return UsbTransferResult::Done(length);
        }
        return UsbTransferResult::Stall();
    }
    if (m_uac2) {
        if (auto r = Uac2Request(s, data, length)) {
            return *r;
        }
    }
    if (recipient != BMREQUEST_TO_INTERFACE || (s.wIndex & 0xFF) != m_acInterface) {
        return UsbTransferResult::Stall();
    }
    const uint8_t entity = static_cast<uint8_t>(s.wIndex >> 8);

    if (m_uac2) {
        auto clock = m_clockRates.find(entity);
        if (clock != m_clockRates.end() && selector == USB_AUDIO2_CS_SAM_FREQ_CONTROL) {
            if (in && s.bRequest == USB_AUDIO2_CUR) {
                return Reply(Le(m_clockCur[entity], 4), data, length);
            }
            if (in && s.bRequest == USB_AUDIO2_RANGE) {
                Bytes d;
                PutLe16(d, static_cast<uint16_t>(clock->second.size()));
                for (uint32_t rate : clock->second) {
                    PutLe32(d, rate);
                    PutLe32(d, rate);
                    PutLe32(d, 0);
                }
                return Reply(d, data, length);
            }
            if (!in && s.bRequest == USB_AUDIO2_CUR && length >= 4 && data != nullptr) {
                const auto rate = static_cast<uint32_t>(FromLe(data, 4, false));
                if (std::find(clock->second.begin(), clock->second.end(), rate) == clock->second.end()) {
                    return UsbTransferResult::Stall();
                }
                m_clockCur[entity] = rate;
                return UsbTransferResult::Done(length);
            }
            return UsbTransferResult::Stall();
        }
    }

    auto it = m_controls.find({entity, selector, channel});
    if (it == m_controls.end()) {
        auto any = m_controls.find({entity, selector, 0xFF});
        if (any == m_controls.end()) {
            return UsbTransferResult::Stall();  // no such entity, control or channel
        }
        it = m_controls.emplace(Key{entity, selector, channel}, any->second).first;
    }
    ControlValues& v = it->second;
    const bool isSigned = v.Min < 0;
    if (m_uac2) {
        if (in && s.bRequest == USB_AUDIO2_CUR) {
            return Reply(Le(v.Cur, v.Size), data, length);
        }
        if (in && s.bRequest == USB_AUDIO2_RANGE) {
            Bytes d;
            PutLe16(d, 1);
            for (int64_t x : {v.Min, v.Max, v.Res}) {
                const Bytes b = Le(x, v.Size);
                d.insert(d.end(), b.begin(), b.end());
            }
            return Reply(d, data, length);
        }
        if (!in && s.bRequest == USB_AUDIO2_CUR && length >= v.Size && data != nullptr) {
            NoteControlWrite(it->first, v);
            v.Cur = FromLe(data, v.Size, isSigned);
            return UsbTransferResult::Done(length);
        }
        return UsbTransferResult::Stall();
    }
    if (in) {
        switch (s.bRequest) {
        case USB_AUDIO_GET_CUR: return Reply(Le(v.Cur, v.Size), data, length);
        case USB_AUDIO_GET_MIN: return Reply(Le(v.Min, v.Size), data, length);
        case USB_AUDIO_GET_MAX: return Reply(Le(v.Max, v.Size), data, length);
        case USB_AUDIO_GET_RES: return Reply(Le(v.Res, v.Size), data, length);
        default: return UsbTransferResult::Stall();
        }
    }
    if (s.bRequest == USB_AUDIO_SET_CUR && length >= v.Size && data != nullptr) {
        NoteControlWrite(it->first, v);
        v.Cur = FromLe(data, v.Size, isSigned);
        return UsbTransferResult::Done(length);
    }
    return UsbTransferResult::Stall();
}

UsbTransferResult SimDevice::BulkOrInterrupt(UCHAR endpoint, UCHAR* data, ULONG length)
{
    std::vector<std::shared_ptr<ChipBehaviour>> chips;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        auto fault = m_transferFaults.find(endpoint);
        if (fault != m_transferFaults.end() && fault->second.first > 0) {
            fault->second.first--;
            const USBD_STATUS status = fault->second.second;
            Record(RequestLogEntry::Kind::BulkOrInterrupt, nullptr, endpoint, length, status == 0 ? "stall" : "error");
            return status == 0 ? UsbTransferResult::Stall() : UsbTransferResult::Error(status);
        }
        chips = m_chips;
    }
    for (const auto& chip : chips) {
        if (auto r = chip->Transfer(*this, endpoint, data, length)) {
            std::lock_guard<std::mutex> guard(m_lock);
            Record(RequestLogEntry::Kind::BulkOrInterrupt, nullptr, endpoint, length,
                   r->Outcome == UsbTransferResult::Kind::Done ? "ok" : "stall");
            return *r;
        }
    }
    std::lock_guard<std::mutex> guard(m_lock);
    if (USB_ENDPOINT_DIRECTION_IN(endpoint)) {
        auto& queue = m_inData[endpoint];
        if (queue.empty()) {
            return UsbTransferResult::Never();  // until PostIn
        }
        Bytes next = std::move(queue.front());
        queue.pop_front();
        Record(RequestLogEntry::Kind::BulkOrInterrupt, nullptr, endpoint, length, "ok");
        return Reply(next, data, length);
    }
    m_bulkOut[endpoint].emplace_back(data, data + length);
    Record(RequestLogEntry::Kind::BulkOrInterrupt, nullptr, endpoint, length, "ok");
    return UsbTransferResult::Done(length);
}

USBD_STATUS SimDevice::IsochronousIn(UCHAR endpoint, ULONG frame, ULONG microframe, UCHAR* data, ULONG length, ULONG* actual)
{
    *actual = 0;
    uint32_t nominal = 48000;
    bool feedback = false;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (const auto fault = PacketFault(endpoint, frame)) {
            return *fault;
        }
        auto ep = m_endpoints.find(endpoint);
        feedback = ep != m_endpoints.end() && ep->second.Feedback;
        if (m_uac2 && !m_clockCur.empty()) {
            nominal = m_clockCur.begin()->second;
        } else if (!m_endpointRate.empty()) {
            nominal = m_endpointRate.begin()->second;
        }
    }
    if (feedback) {
        std::optional<ScriptedFeedback> scripted;
        {
            std::lock_guard<std::mutex> guard(m_lock);
            auto script = m_feedbackScript.find(endpoint);
            if (script != m_feedbackScript.end() && !script->second.empty()) {
                scripted = std::move(script->second.front());
                script->second.pop_front();
            }
        }
        if (scripted && scripted->What == ScriptedFeedback::Kind::Fail) {
            return scripted->Status;
        }
        Bytes value;
        if (scripted) {
            value = std::move(scripted->Data);
        } else {
            std::lock_guard<std::mutex> guard(m_lock);
            value = FeedbackBytes(nominal * ClockRatio() + FillCorrection(endpoint, nominal), m_highSpeed);
        }
        const ULONG n = std::min<ULONG>(length, static_cast<ULONG>(value.size()));
        if (n > 0) {
            std::memcpy(data, value.data(), n);
        }
        *actual = n;
        return USBD_STATUS_SUCCESS;
    }
    std::lock_guard<std::mutex> guard(m_lock);
    if (auto loop = m_loopbacks.find(endpoint); loop != m_loopbacks.end()) {
        // While the looped OUT endpoint streams, the IN endpoint sends what it played.
        const auto format = StreamFormat(endpoint);
        if (format && StreamFormat(loop->second.Config().Out)) {
            *actual = loop->second.In(frame, microframe, StreamRate(endpoint), *format, data, length);
            return USBD_STATUS_SUCCESS;
        }
    }
    auto it = m_sources.find(endpoint);
    if (it == m_sources.end()) {
        it = m_sources.emplace(endpoint, IsoSource(AudioSource{}, PacketsPerSecond(endpoint), m_ppm)).first;
    }
    uint32_t reported = 0;
    it->second.NextPacket(data, length, &reported);
    *actual = reported;
    return USBD_STATUS_SUCCESS;  // not logged: long runs would fill the log; SourceBytes counts
}

bool SimDevice::SelectInterface(UCHAR interfaceNumber, UCHAR alternateSetting)
{
    std::lock_guard<std::mutex> guard(m_lock);
    USB_DEFAULT_PIPE_SETUP_PACKET setup{BMREQUEST_TO_INTERFACE, USB_REQUEST_SET_INTERFACE, alternateSetting,
                                        interfaceNumber, 0};
    auto fault = m_selectFaults.find(interfaceNumber);
    auto altFault = m_selectAltFaults.find({interfaceNumber, alternateSetting});
    if ((fault != m_selectFaults.end() && fault->second > 0) ||
        (altFault != m_selectAltFaults.end() && altFault->second > 0)) {
        (fault != m_selectFaults.end() && fault->second > 0 ? fault->second : altFault->second)--;
        Record(RequestLogEntry::Kind::Control, &setup, 0, 0, "stall");
        return false;
    }
    m_alternate[interfaceNumber] = alternateSetting;
    for (auto& [endpoint, stalled] : m_stalled) {
        auto owner = m_endpointInterface.find(endpoint);
        if (owner != m_endpointInterface.end() && owner->second == interfaceNumber) {
            stalled = false;
        }
    }
    Record(RequestLogEntry::Kind::Control, &setup, 0, 0, "ok");
    return true;
}

bool SimDevice::SelectConfiguration(UCHAR configurationValue)
{
    std::lock_guard<std::mutex> guard(m_lock);
    USB_DEFAULT_PIPE_SETUP_PACKET setup{0, USB_REQUEST_SET_CONFIGURATION, configurationValue, 0, 0};
    m_configurationValue = configurationValue;
    m_alternate.clear();
    Record(RequestLogEntry::Kind::Control, &setup, 0, 0, "ok");
    return true;
}

}  // namespace sim
