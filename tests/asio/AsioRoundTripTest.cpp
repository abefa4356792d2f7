// The round trip an ASIO host measures through the whole driver on the looped ASIO headset: an
// impulse written at output frame X comes back at input frame Y, and a loop of d frames more adds
// exactly d to Y - X.
#include <chrono>
#include <string>

#include "tests/asio/AsioFixture.h"

namespace kvxtest {
namespace {

constexpr char LOOP[] = "\"loopback\": {\"out\": \"0x01\", \"in\": \"0x82\", \"delay\": 0}";

class AsioRoundTripTest : public AsioFixture {
protected:
    // Y - X on the headset looped `delay` frames, with `frames`-frame buffers; -1 when lost.
    int64_t RoundTrip(uint32_t delay, uint32_t frames)
    {
        StartEdited(LOOP, "\"loopback\": {\"out\": 1, \"in\": 130, \"delay\": " + std::to_string(delay) + "}");
        host::AsioSession& client = Client();
        std::vector<host::AsioBufferView*> buffers;
        EXPECT_EQ(client.CreateBuffers({{0, 0}, {0, 1}, {1, 0}}, frames, 2, &buffers), STATUS_SUCCESS);
        host::AsioSession::RoundTrip trip;
        EXPECT_EQ(client.MeasureRoundTrip(buffers, 2, frames, 4800, std::chrono::milliseconds(500), &trip),
                  STATUS_SUCCESS);
        EXPECT_EQ(trip.Stats.LatePeriods, 0u);
        EXPECT_EQ(trip.LeadFrames, 2 * frames);
        EXPECT_EQ(client.Control(host::asio::DISPOSE_BUFFERS, nullptr, 0, 0).Status, STATUS_SUCCESS);
        m_clients.clear();
        std::string report;
        EXPECT_TRUE(m_session.End(&report)) << report;
        return trip.Found ? trip.Frames : -1;
    }
};

TEST_F(AsioRoundTripTest, ALoopOfDFramesAddsExactlyDFrames)
{
    const int64_t base = RoundTrip(0, 64);
    ASSERT_GT(base, 0);
    // Two buffers out, two 1 ms transfers queued, a 1 ms transfer back: under the 333 frames of
    // the system's own path.
    EXPECT_LT(base, 333);
    for (const uint32_t delay : {1u, 37u, 480u}) {
        SCOPED_TRACE(delay);
        EXPECT_EQ(RoundTrip(delay, 64), base + delay);
    }
}

TEST_F(AsioRoundTripTest, EachBufferFrameMoreAddsTwoFrames)
{
    // The ladder keeps 1 ms transfers, two queued, up to a 2 ms period: only the buffers grow.
    const int64_t at64 = RoundTrip(0, 64);
    ASSERT_GT(at64, 0);
    EXPECT_EQ(RoundTrip(0, 96), at64 + 2 * 32);
}

}  // namespace
}  // namespace kvxtest
