// Each control request of a headset's start in turn comes back short (no byte, one byte) or is
// the one the device is unplugged at, on a UAC 1.0 and a UAC 2.0 headset: the start fails or goes
// on without what it asked for, never hangs, and leaves nothing pending; the harness checks the
// pool for leaks at the end of each test.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/nt/Machine.h"
#include "tests/usb/DeviceStartFixture.h"

namespace kvxtest {
namespace {

class StartFaultTest : public DeviceStartFixture, public testing::WithParamInterface<const char*> {
protected:
    // The distinct control requests the headset's start sends, in the order first sent.
    std::vector<USB_DEFAULT_PIPE_SETUP_PACKET> StartRequests()
    {
        PlugProfile(GetParam());
        EXPECT_EQ(StartDeviceObject(), STATUS_SUCCESS);
        std::vector<USB_DEFAULT_PIPE_SETUP_PACKET> requests;
        for (const auto& entry : m_device->Log()) {
            if (entry.What != sim::RequestLogEntry::Kind::Control) continue;
            bool seen = false;
            for (const auto& r : requests) {
                seen = seen || std::memcmp(&r, &entry.Setup, 6) == 0;  // all but wLength
            }
            if (!seen) requests.push_back(entry.Setup);
        }
        TearDown();
        return requests;
    }
    // The adapter stops the function before it lets go of the device: a status thread ends.
    void TearDown() override
    {
        StopDeviceObject(true);
        DeviceStartFixture::TearDown();
    }
    // Starts on a thread of its own while the request hangs, and unplugs the device once the
    // request is pending (or the start is over).
    NTSTATUS StartAndUnplug()
    {
        NTSTATUS status = STATUS_PENDING;
        std::atomic<bool> done{false};
        platform::ClientThread start("start", [&] {
            status = StartDeviceObject();
            done = true;
        });
        const bool reached = platform::RunUntil(
            [&] {
                for (const auto& entry : m_device->Log()) {
                    if (entry.Outcome == "pending") return true;
                }
                return done.load();
            },
            std::chrono::seconds(5));
        m_device->Unplug();
        const bool finished = platform::RunUntil([&] { return done.load(); }, std::chrono::seconds(30));
        EXPECT_TRUE(reached);
        if (!finished) {
            std::fprintf(stderr, "the start hangs after the unplug\n");
            std::abort();  // the thread still uses this frame: no way to go on
        }
        start.Join();
        return status;
    }
};

TEST_P(StartFaultTest, EachRequestOfTheStartShortOrUnpluggedEndsCleanly)
{
    const auto requests = StartRequests();
    ASSERT_GT(requests.size(), 10u);
    enum class How { Empty, OneByte, Unplug };
    for (const How how : {How::Empty, How::OneByte, How::Unplug}) {
        for (size_t i = 0; i < requests.size(); ++i) {
            const auto& r = requests[i];
            SCOPED_TRACE(testing::Message() << "how " << int(how) << " request " << i << ": " << std::hex
                                            << int(r.bmRequestType) << " " << int(r.bRequest) << " " << r.wValue
                                            << " " << r.wIndex);
            PlugProfile(GetParam());
            const sim::RequestMatch match{r.bmRequestType, r.bRequest, r.wValue, r.wIndex};
            NTSTATUS status = STATUS_PENDING;
            if (how != How::Unplug) {
                m_device->AddFault(match, sim::SimDevice::FaultKind::Short, 1, USBD_STATUS_DEV_NOT_RESPONDING,
                                   how == How::Empty ? 0 : 1);
                status = StartDeviceObject();
            } else {
                // The request never completes; the device leaves the bus while the start waits on it.
                m_device->AddFault(match, sim::SimDevice::FaultKind::Never);
                status = StartAndUnplug();
            }
            EXPECT_NE(status, STATUS_PENDING);
            EXPECT_EQ(m_bus->PendingCount(), 0u);
            TearDown();
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Headsets, StartFaultTest,
                         testing::Values("uac1-headset.json", "uac2-headset.json", "v4-headset.json",
                                         "v5-headset.json", "v6-effects-headset.json"),
                         [](const testing::TestParamInfo<const char*>& info) {
                             const std::string name = info.param;
                             if (name[0] == 'v') return "V" + name.substr(1, 1);
                             return name[3] == '1' ? std::string("Uac1") : std::string("Uac2");
                         });

}  // namespace
}  // namespace kvxtest
