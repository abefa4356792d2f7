// Selective suspend of the whole driver on the simulated headsets, through the host: the idle
// device is suspended by the hub in PortCls's order, a stream open wakes it and the stored control
// values reach the device again before the stream, and unplugging a suspended device removes it
// cleanly. Virtual time; "SelectiveSuspendEnabled" = 1 unless a case says otherwise.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "host/AudioEngine.h"
#include "host/FilterBrowser.h"
#include "platform/io/IoHost.h"
#include "platform/nt/Clock.h"
#include "platform/nt/Time.h"
#include "platform/portcls/PortClsHost.h"
#include "tests/platform/nt/SystemThreadHelper.h"
#include "tests/support/HostSession.h"

namespace {

using namespace std::chrono_literals;

constexpr int64_t MS = platform::TICKS_PER_MS;
const char* const kHeadsets[] = {"uac1-headset.json", "uac2-headset.json"};

bool IsSetCur(const sim::RequestLogEntry& e)
{
    return e.What == sim::RequestLogEntry::Kind::Control && e.Setup.bmRequestType == 0x21 &&
           e.Setup.bRequest == 0x01;
}

// A control of the device by its SET_CUR: entity, selector, channel.
using ControlKey = std::tuple<uint8_t, uint8_t, uint8_t>;
ControlKey KeyOf(const sim::RequestLogEntry& e)
{
    return {static_cast<uint8_t>(e.Setup.wIndex >> 8), static_cast<uint8_t>(e.Setup.wValue >> 8),
            static_cast<uint8_t>(e.Setup.wValue & 0xFF)};
}

class PowerHostTest : public ::testing::Test {
protected:
    void Start(const char* profile, bool selectiveSuspend = true)
    {
        m_session.SetSelectiveSuspend(selectiveSuspend);
        std::string error;
        m_start = platform::ClockNow();
        ASSERT_EQ(m_session.StartProfile(profile, false, &error), STATUS_SUCCESS) << error;
        m_started = platform::ClockNow();
    }
    void TearDown() override
    {
        std::string report;
        EXPECT_TRUE(m_session.End(&report)) << report;
        EXPECT_EQ(platform::PcLivePortCount(), 0u);
    }
    bool WaitSuspended() { return platform::RunUntil([&] { return m_session.Bus().Suspended(); }, 6s); }

    // Sets every volume node's first channel to -10 dB and every mute node's to muted through the
    // topology filter; the number of values set.
    int SetStoredValues()
    {
        host::FilterBrowser browser(m_session.Fdo());
        const auto description = browser.Describe(u"GlobalTopo");
        EXPECT_TRUE(description.has_value());
        if (!description) return 0;
        PFILE_OBJECT topology = browser.Open(u"GlobalTopo");
        EXPECT_NE(topology, nullptr);
        int set = 0;
        const LONG channel[2] = {0, 0};
        for (ULONG n = 0; n < description->Nodes.size(); ++n) {
            const GUID& type = description->Nodes[n].Type;
            host::KsResult r{STATUS_NOT_SUPPORTED, 0};
            if (IsEqualGUID(type, KSNODETYPE_VOLUME)) {
                r = browser.Set(topology, host::KsTarget::Node(n), KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL,
                                LONG{-10 * 65536}, channel, sizeof channel);
            } else if (IsEqualGUID(type, KSNODETYPE_MUTE)) {
                r = browser.Set(topology, host::KsTarget::Node(n), KSPROPSETID_Audio, KSPROPERTY_AUDIO_MUTE,
                                ULONG{TRUE}, channel, sizeof channel);
            }
            set += NT_SUCCESS(r.Status) ? 1 : 0;
        }
        EXPECT_EQ(browser.Close(topology), STATUS_SUCCESS);
        return set;
    }

    kvxtest::HostSession m_session;
    int64_t m_start = 0;    // before the start
    int64_t m_started = 0;  // after it
};

TEST_F(PowerHostTest, AnIdleHeadsetIsSuspendedAfterFiveSeconds)
{
    for (const char* profile : kHeadsets) {
        SCOPED_TRACE(profile);
        Start(profile);
        platform::usb::UsbBus& bus = m_session.Bus();
        EXPECT_TRUE(platform::RunUntil([&] { return bus.Counters().IdleNotifications == 1; }, 6s));
        // The timer is armed while the device starts.
        EXPECT_GE(platform::ClockNow() - m_start, 5000 * MS);
        EXPECT_LE(platform::ClockNow() - m_started, 5100 * MS);
        ASSERT_TRUE(WaitSuspended());
        platform::RunFor(100ms);
        EXPECT_EQ(bus.PdoPowerState(), PowerDeviceD2);
        EXPECT_EQ(platform::IoDevicePowerState(m_session.Fdo()), PowerDeviceD2);
        EXPECT_TRUE(m_session.Device().PortIsSuspended());
        // The status thread stopped before the port was suspended: the hub holds only the idle
        // request, and no URB met the suspended port.
        EXPECT_EQ(bus.PendingCount(), 1u);
        EXPECT_EQ(bus.Counters().SuspendedUrbs, 0u);
        EXPECT_EQ(platform::TimerResolutionOutstanding(), 0);  // the device gave its 1 ms back
        // It stays so.
        platform::RunFor(20s);
        EXPECT_EQ(bus.Counters().IdleNotifications, 1u);
        EXPECT_EQ(bus.Counters().SuspendedUrbs, 0u);
        EXPECT_EQ(m_session.Remove(), STATUS_SUCCESS);
        TearDown();
    }
}

TEST_F(PowerHostTest, WithoutTheValueNoIdleRequestIsMade)
{
    Start("uac1-headset.json", false);
    platform::RunFor(60s);
    EXPECT_EQ(m_session.Bus().Counters().IdleNotifications, 0u);
    EXPECT_FALSE(m_session.Bus().Suspended());
}

// A stream open wakes the suspended headset, which lost its controls: before the first
// isochronous packet every stored value is written again, and the stream reaches the wire. With
// the first restored control stalling, the later ones still reach the device.
TEST_F(PowerHostTest, AStreamOpenWakesTheHeadsetAndItsStoredValuesComeBackFirst)
{
    for (const char* profile : kHeadsets) {
        for (bool stallFirst : {false, true}) {
            SCOPED_TRACE(std::string(profile) + (stallFirst ? ", first restore stalls" : ""));
            Start(profile);
            sim::SimDevice& device = m_session.Device();
            device.SetLosesControlsOnSuspend(true);
            ASSERT_GE(SetStoredValues(), 2);
            std::map<ControlKey, int64_t> stored;
            for (const auto& e : device.Log()) {
                if (IsSetCur(e)) {
                    const auto [entity, selector, ch] = KeyOf(e);
                    stored[KeyOf(e)] = device.Control(entity, selector, ch)->Cur;
                }
            }
            ASSERT_GE(stored.size(), 2u);
            ASSERT_TRUE(WaitSuspended());
            const size_t suspendedAt = device.Log().size();
            // Once awake it stays so: the hub no longer calls back (the values are looked at after
            // the stream, when the device would otherwise be idle and suspended again).
            device.SetIdleAnswer(STATUS_PENDING);
            if (stallFirst) {
                sim::RequestMatch match;
                match.RequestType = 0x21;
                match.Request = 0x01;
                device.AddFault(match, sim::SimDevice::FaultKind::Stall);
            }

            auto engine = std::make_unique<host::AudioEngine>(m_session.Fdo());
            const int64_t open = platform::ClockNow();
            ASSERT_EQ(engine->Open(false), STATUS_SUCCESS);
            EXPECT_LE(platform::ClockNow() - open, 1000 * MS);  // the create waited at most 1 s
            EXPECT_FALSE(m_session.Bus().Suspended());
            const auto& formats = engine->Formats();
            auto stereo = std::find_if(formats.begin(), formats.end(), [](const host::AudioFormat& f) { return f.Channels == 2; });
            ASSERT_NE(stereo, formats.end());
            const host::AudioFormat format = *stereo;
            std::vector<uint8_t> data(format.BlockAlign() * (format.Rate / 10));
            for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i % 251 + 1);
            ASSERT_EQ(engine->StartRender(format, data), STATUS_SUCCESS);
            ASSERT_EQ(engine->Wait(), host::EngineEnd::Finished) << std::hex << engine->Status();
            engine.reset();

            // Every stored control was written after the wake and before the first packet.
            const uint8_t ep = kvx::WireEndpoint(device);
            ASSERT_NE(ep, 0);
            const auto packets = device.Wire(ep);
            ASSERT_FALSE(packets.empty());
            const int64_t frameOffset = static_cast<int64_t>(m_session.Bus().Frame()) - platform::ClockNow() / MS;
            const int64_t firstPacket = (static_cast<int64_t>(packets.front().Frame) - frameOffset) * MS;
            const auto log = device.Log();
            std::map<ControlKey, int> restored;
            for (size_t i = suspendedAt; i < log.size(); ++i) {
                if (IsSetCur(log[i]) && stored.count(KeyOf(log[i])) != 0) {
                    restored[KeyOf(log[i])]++;
                    EXPECT_LT(log[i].Time, firstPacket);
                }
            }
            EXPECT_EQ(restored.size(), stored.size());
            int reached = 0;
            for (const auto& [key, cur] : stored) {
                const auto [entity, selector, ch] = key;
                reached += device.Control(entity, selector, ch)->Cur == cur ? 1 : 0;
            }
            EXPECT_EQ(reached, static_cast<int>(stored.size()) - (stallFirst ? 1 : 0));

            // The stream matches: the pattern reaches the wire whole.
            const sim::Bytes wire = device.WireBytes(ep);
            auto first = std::find_if(wire.begin(), wire.end(), [](uint8_t b) { return b != 0; });
            ASSERT_GE(static_cast<size_t>(wire.end() - first), data.size());
            EXPECT_TRUE(std::equal(data.begin(), data.end(), first));
            EXPECT_EQ(m_session.Remove(), STATUS_SUCCESS);
            TearDown();
        }
    }
}

// Unplugged while suspended: a device that answers not-connected, and one whose requests hang
// while a create wakes it and removal follows. Removal completes, and nothing is left.
TEST_F(PowerHostTest, ASuspendedHeadsetUnpluggedIsRemovedCleanly)
{
    for (bool hangs : {false, true}) {
        SCOPED_TRACE(hangs ? "requests hang" : "not connected");
        Start("uac1-headset.json");
        ASSERT_TRUE(WaitSuspended());
        sim::SimDevice& device = m_session.Device();
        if (hangs) {
            device.SetLosesControlsOnSuspend(true);
            device.AddFault(sim::RequestMatch{}, sim::SimDevice::FaultKind::Never, 1000);
            // A create wakes it; the restore's requests hang 500 ms each, longer than it waits.
            host::FilterBrowser browser(m_session.Fdo());
            PFILE_OBJECT topology = browser.Open(u"GlobalTopo");
            ASSERT_NE(topology, nullptr);
            EXPECT_EQ(browser.Close(topology), STATUS_SUCCESS);
        } else {
            m_session.Bus().Unplug();
            platform::RunFor(10ms);
        }
        EXPECT_EQ(m_session.Pnp().SurpriseRemove(m_session.Pdo()), STATUS_SUCCESS);
        EXPECT_EQ(m_session.Remove(), STATUS_SUCCESS);
        EXPECT_EQ(platform::PcLivePortCount(), 0u);
        TearDown();
    }
}

// The system sleeps (S3) and wakes (S0) with the headset idle, suspended by the hub, and playing:
// the device goes to the state the stack's capabilities give S3 (D3) and back to D0, the audio
// engine closes its pin before the sleep and opens it after, and the wire carries the rest.
TEST_F(PowerHostTest, TheSystemSleepsAndWakesAroundTheHeadset)
{
    enum class Kind { Idle, Suspended, Playing };
    for (Kind kind : {Kind::Idle, Kind::Suspended, Kind::Playing}) {
        SCOPED_TRACE(static_cast<int>(kind));
        Start("uac1-headset.json", kind == Kind::Suspended);
        platform::usb::UsbBus& bus = m_session.Bus();
        sim::SimDevice& device = m_session.Device();
        if (kind == Kind::Suspended) {
            ASSERT_TRUE(WaitSuspended());
            ASSERT_EQ(bus.PdoPowerState(), PowerDeviceD2);
        }
        std::unique_ptr<host::AudioEngine> engine;
        std::vector<uint8_t> data;
        uint8_t ep = 0;
        if (kind == Kind::Playing) {
            engine = std::make_unique<host::AudioEngine>(m_session.Fdo());
            ASSERT_EQ(engine->Open(false), STATUS_SUCCESS);
            const host::AudioFormat format{48000, 2, 16, 16};
            data.resize(format.BlockAlign() * 48000u * 2);  // 2 s
            for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i % 251 + 1);
            ASSERT_EQ(engine->StartRender(format, data), STATUS_SUCCESS);
            platform::RunFor(500ms);
            ep = kvx::WireEndpoint(device);
            ASSERT_NE(ep, 0);
            ASSERT_TRUE(engine->CloseForSleep());
        }
        const uint64_t wireAtSleep = ep != 0 ? device.WireByteCount(ep) : 0;
        ASSERT_EQ(m_session.Pnp().SetSystemPower(m_session.Pdo(), PowerSystemSleeping3), STATUS_SUCCESS);
        EXPECT_EQ(bus.PdoPowerState(), PowerDeviceD3);
        EXPECT_EQ(platform::IoDevicePowerState(m_session.Fdo()), PowerDeviceD3);
        EXPECT_TRUE(bus.Suspended());
        platform::RunFor(2s);
        EXPECT_EQ(bus.Counters().SuspendedUrbs, 0u);
        if (ep != 0) {
            EXPECT_EQ(device.WireByteCount(ep), wireAtSleep);
        }

        ASSERT_EQ(m_session.Pnp().SetSystemPower(m_session.Pdo(), PowerSystemWorking), STATUS_SUCCESS);
        EXPECT_EQ(bus.PdoPowerState(), PowerDeviceD0);
        EXPECT_EQ(platform::IoDevicePowerState(m_session.Fdo()), PowerDeviceD0);
        EXPECT_FALSE(bus.Suspended());
        if (engine != nullptr) {
            ASSERT_TRUE(engine->ReopenAfterSleep());
            EXPECT_EQ(engine->Wait(), host::EngineEnd::Finished) << std::hex << engine->Status();
            EXPECT_EQ(engine->Sleeps(), 1u);
            // The rest of the data went out after the wake, and its end reached the wire whole.
            EXPECT_GT(device.WireByteCount(ep), wireAtSleep);
            const sim::Bytes wire = device.WireBytes(ep);
            const size_t tail = 48000;
            auto last = std::find_if(wire.rbegin(), wire.rend(), [](uint8_t b) { return b != 0; });
            ASSERT_GE(static_cast<size_t>(wire.rend() - last), tail);
            EXPECT_TRUE(std::equal(data.end() - tail, data.end(), last.base() - tail));
            engine.reset();
        }
        EXPECT_EQ(bus.Counters().SuspendedUrbs, 0u);
        EXPECT_EQ(m_session.Remove(), STATUS_SUCCESS);
        TearDown();
    }
}

// A stream that starts just as the hub calls back (the callback held on its way, placed with the
// bus's hook): the open cancels the idle request, the callback asks for no D2, and the stream
// plays on an awake port.
TEST_F(PowerHostTest, AStreamStartingAsTheHubCallsBackKeepsTheHeadsetAwake)
{
    for (const char* profile : kHeadsets) {
        SCOPED_TRACE(profile);
        Start(profile);
        platform::usb::UsbBus& bus = m_session.Bus();
        bus.HoldIdleCallback(true);
        ASSERT_TRUE(platform::RunUntil([&] { return bus.IdleCallbackWaiting(); }, 6s));
        kvxtest::SystemThread release([&] {
            LARGE_INTEGER delay = kvxtest::RelativeMs(100);
            KeDelayExecutionThread(KernelMode, FALSE, &delay);
            bus.HoldIdleCallback(false);
        });
        auto engine = std::make_unique<host::AudioEngine>(m_session.Fdo());
        ASSERT_EQ(engine->Open(false), STATUS_SUCCESS);
        release.Join();
        m_session.Device().SetIdleAnswer(STATUS_PENDING);  // no later cycle suspends it
        const host::AudioFormat format{48000, 2, 16, 16};
        std::vector<uint8_t> data(format.BlockAlign() * 4800u);
        for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i % 251 + 1);
        ASSERT_EQ(engine->StartRender(format, data), STATUS_SUCCESS);
        EXPECT_EQ(engine->Wait(), host::EngineEnd::Finished) << std::hex << engine->Status();
        engine.reset();
        EXPECT_EQ(bus.Counters().IdleCallbacks, 1u);
        EXPECT_EQ(bus.Counters().Suspends, 0u);
        EXPECT_EQ(bus.Counters().SuspendedUrbs, 0u);
        const uint8_t ep = kvx::WireEndpoint(m_session.Device());
        ASSERT_NE(ep, 0);
        const sim::Bytes wire = m_session.Device().WireBytes(ep);
        auto first = std::find_if(wire.begin(), wire.end(), [](uint8_t b) { return b != 0; });
        ASSERT_GE(static_cast<size_t>(wire.end() - first), data.size());
        EXPECT_TRUE(std::equal(data.begin(), data.end(), first));
        EXPECT_EQ(m_session.Remove(), STATUS_SUCCESS);
        TearDown();
    }
}

}  // namespace
