// The ASIO host's streaming thread heeds the driver's notification event: another client's
// change of the sample type or latency reaches it while it streams, and the stream goes on.
#include <chrono>

#include "tests/asio/AsioFixture.h"

namespace kvxtest {
namespace {

class AsioHostTest : public AsioFixture {};

TEST_F(AsioHostTest, AnotherClientsChangesReachTheStreamingHost)
{
    StartDevice();
    host::AsioSession& owner = Client();
    host::AsioSession& other = Client();
    std::vector<host::AsioBufferView*> buffers;
    ASSERT_EQ(owner.CreateBuffers({{0, 0}, {1, 0}}, 128, 2, &buffers), STATUS_SUCCESS);
    ASSERT_EQ(owner.StartStreaming(buffers, 2, 128, {}), STATUS_SUCCESS);
    platform::RunFor(std::chrono::milliseconds(20));
    EXPECT_EQ(owner.Stats().Notifications, 0u);
    ASSERT_EQ(other.SetLong(host::asio::SET_SAMPLE_TYPE, 16), STATUS_SUCCESS);
    platform::RunFor(std::chrono::milliseconds(20));
    ASSERT_EQ(other.SetLong(host::asio::SET_LATENCY, 1), STATUS_SUCCESS);
    platform::RunFor(std::chrono::milliseconds(20));
    const uint64_t periods = owner.Stats().Periods;
    EXPECT_EQ(owner.Stats().Notifications, 2u);
    platform::RunFor(std::chrono::milliseconds(50));
    EXPECT_GT(owner.Stats().Periods, periods + 20);  // still streaming
    EXPECT_EQ(owner.Stats().LatePeriods, 0u);
    ASSERT_EQ(owner.StopStreaming(), STATUS_SUCCESS);
    // The stop released the stream's notification event: the client may set one again.
    PKEVENT event = nullptr;
    HANDLE handle = owner.NewEvent(&event);
    EXPECT_EQ(owner.Control(host::asio::SET_EVENT, owner.HandleBytes(handle), 0).Status, STATUS_SUCCESS);
    EXPECT_EQ(owner.Control(host::asio::RELEASE_EVENT, nullptr, 0, 0).Status, STATUS_SUCCESS);
    ZwClose(handle);
    EXPECT_EQ(owner.Control(host::asio::DISPOSE_BUFFERS, nullptr, 0, 0).Status, STATUS_SUCCESS);
}

}  // namespace
}  // namespace kvxtest
