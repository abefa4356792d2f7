// The private ASIO interface's requests through the whole driver on the simulated ASIO headset:
// each request's answers and refusals, what Information reports, 32-bit callers, settings that
// outlive a client, and notifications to every client.
#include <cstring>

#include "adapter/SettingsStore.h"
#include "asio/AsioDevice.h"
#include "platform/nt/Dispatcher.h"
#include "platform/nt/Ob.h"
#include "tests/asio/AsioFixture.h"

namespace kvxtest {
namespace {

namespace code = host::asio;

class AsioProtocolTest : public AsioFixture {};

struct RequestCase {
    const char* What;
    ULONG Code;
    std::vector<uint8_t> Input;
    ULONG OutputLength;
    NTSTATUS Status;
    ULONG_PTR Information;
    std::vector<int32_t> Reply;  // the first words of the output, when given
};

// A fresh client per row, on a device that keeps its defaults (48 kHz, 16-bit, 20 ms).
TEST_F(AsioProtocolTest, EachRequestAnswersAndRefusesAsItsRulesSay)
{
    StartDevice();
    const std::vector<RequestCase> cases = {
        {"latency table size query", code::GET_LATENCY_TABLE, {}, 0, STATUS_BUFFER_OVERFLOW, 40, {}},
        {"latency table, 39 bytes", code::GET_LATENCY_TABLE, {}, 39, STATUS_BUFFER_TOO_SMALL, 0, {}},
        {"latency table, 64 bytes: 40 reported", code::GET_LATENCY_TABLE, {}, 64, STATUS_SUCCESS, 40,
         {4, 8, 4, 6, 8, 10, 20, 30, 40, 50}},
        {"busy, no output", code::GET_BUSY, {}, 0, STATUS_BUFFER_OVERFLOW, 4, {}},
        {"busy, 3 bytes", code::GET_BUSY, {}, 3, STATUS_BUFFER_TOO_SMALL, 0, {}},
        {"busy", code::GET_BUSY, {}, 4, STATUS_SUCCESS, 4, {0}},
        {"rate, 3-byte input", code::SET_SAMPLE_RATE, {0x80, 0xBB, 0x00}, 0, STATUS_INVALID_PARAMETER, 0, {}},
        {"channels, 20 bytes", code::GET_CHANNELS, {}, 20, STATUS_INVALID_PARAMETER, 0, {}},
        {"channels", code::GET_CHANNELS, {}, 16, STATUS_SUCCESS, 16, {2, 2, 1, 0}},
        {"latencies", code::GET_LATENCIES, {}, 8, STATUS_SUCCESS, 8, {960, 1920}},
        {"latencies, 7 bytes", code::GET_LATENCIES, {}, 7, STATUS_BUFFER_TOO_SMALL, 0, {}},
        {"latencies, 64 bytes: 8 reported", code::GET_LATENCIES, {}, 64, STATUS_SUCCESS, 8, {960, 1920}},
        {"rate, 64 bytes: 4 reported", code::GET_SAMPLE_RATE, {}, 64, STATUS_SUCCESS, 4, {48000}},
        {"buffer sizes, 64 bytes: 16 reported", code::GET_BUFFER_SIZE, {}, 64, STATUS_SUCCESS, 16, {192, 2400, 960, 1}},
        {"buffer sizes, 15 bytes", code::GET_BUFFER_SIZE, {}, 15, STATUS_BUFFER_TOO_SMALL, 0, {}},
        {"latency 2 answers at once", code::SET_LATENCY, Longs({2}), 8, STATUS_SUCCESS, 8, {384, 768}},
        {"latency 8 is past the table", code::SET_LATENCY, Longs({8}), 8, STATUS_INVALID_PARAMETER, 0, {}},
        {"latency -1", code::SET_LATENCY, Longs({-1}), 0, STATUS_INVALID_PARAMETER, 0, {}},
        {"sample type 19 is unknown", code::SET_SAMPLE_TYPE, Longs({19}), 0, STATUS_INVALID_PARAMETER, 0, {}},
        {"sample type 33 is no PCM type", code::SET_SAMPLE_TYPE, Longs({33}), 0, STATUS_INVALID_PARAMETER, 0, {}},
        {"DSD rate for a PCM client", code::SET_SAMPLE_RATE, Longs({2822400}), 0, STATUS_INVALID_PARAMETER, 0, {}},
        {"rate 44100 that capture lacks", code::CAN_SAMPLE_RATE, Longs({44100}), 0, STATUS_UNSUCCESSFUL, 0, {}},
        {"rate 48000", code::CAN_SAMPLE_RATE, Longs({48000}), 0, STATUS_SUCCESS, 0, {}},
        {"set 44100 that capture lacks", code::SET_SAMPLE_RATE, Longs({44100}), 0, STATUS_UNSUCCESSFUL, 0, {}},
        {"rate 0", code::SET_SAMPLE_RATE, Longs({0}), 0, STATUS_INVALID_PARAMETER, 0, {}},
        {"raw I/O on a PCM device", code::CAN_IO_FORMAT, Longs({1}), 0, STATUS_UNSUCCESSFUL, 0, {}},
        {"PCM I/O", code::CAN_IO_FORMAT, Longs({0}), 0, STATUS_SUCCESS, 0, {}},
        {"I/O format 7", code::SET_IO_FORMAT, Longs({7}), 0, STATUS_UNSUCCESSFUL, 0, {}},
        {"I/O format, 64 bytes: 4 reported", code::GET_IO_FORMAT, {}, 64, STATUS_SUCCESS, 4, {0}},
        {"sample types size query", code::GET_SAMPLE_TYPES, {}, 0, STATUS_BUFFER_OVERFLOW, 12, {}},
        {"sample types, 11 bytes", code::GET_SAMPLE_TYPES, {}, 11, STATUS_BUFFER_TOO_SMALL, 0, {}},
        {"sample types common to both endpoints", code::GET_SAMPLE_TYPES, {}, 64, STATUS_SUCCESS, 12, {16, 1, 16}},
        {"driver name size query", code::GET_DRIVER_NAME, {}, 0, STATUS_BUFFER_OVERFLOW, 13, {}},
        {"driver name, 5 bytes", code::GET_DRIVER_NAME, {}, 5, STATUS_BUFFER_TOO_SMALL, 0, {}},
        {"function 0x812", 0x1DA048, Longs({0}), 4, STATUS_NOT_SUPPORTED, 0, {}},
        {"stop with an input", code::STOP, Longs({0}), 0, STATUS_INVALID_PARAMETER, 0, {}},
        {"release without an event", code::RELEASE_EVENT, {}, 0, STATUS_INVALID_PARAMETER, 0, {}},
        {"dispose without buffers", code::DISPOSE_BUFFERS, {}, 0, STATUS_INVALID_PARAMETER, 0, {}},
        {"start without buffers", code::START, std::vector<uint8_t>(8, 0), 0, STATUS_INVALID_PARAMETER, 0, {}},
        {"event of 4 bytes from a 64-bit process", code::SET_EVENT, Longs({4}), 0, STATUS_INVALID_PARAMETER, 0, {}},
        {"event handle that is none", code::SET_EVENT, std::vector<uint8_t>(8, 0x77), 0, STATUS_INVALID_HANDLE, 0, {}},
        {"create, empty input", code::CREATE_BUFFERS, {}, 16, STATUS_INVALID_PARAMETER, 0, {}},
        {"create, 2^29 entries", code::CREATE_BUFFERS, Longs({0, 0x20000000, 64, 0, 0}), 16, STATUS_INVALID_PARAMETER, 0,
         {}},
        {"sample type 27", code::SET_SAMPLE_TYPE, Longs({27}), 0, STATUS_SUCCESS, 0, {}},
        {"create, an entry short", code::CREATE_BUFFERS, Longs({0, 2, 64, 0, 0, 0}), 16, STATUS_INVALID_PARAMETER, 0, {}},
    };
    for (const RequestCase& c : cases) {
        SCOPED_TRACE(c.What);
        host::AsioSession& client = Client();
        const host::AsioReply reply = client.Control(c.Code, c.Input, c.OutputLength);
        EXPECT_EQ(reply.Status, c.Status);
        EXPECT_EQ(reply.Information, c.Information);
        for (size_t k = 0; k < c.Reply.size(); ++k) {
            EXPECT_EQ(LongAt(reply.Output, k), c.Reply[k]) << "word " << k;
        }
        // Nothing past what the request reports reaches the caller.
        for (size_t k = reply.Information; k < reply.Output.size(); ++k) {
            ASSERT_EQ(reply.Output[k], 0xA5) << "byte " << k;
        }
        // Refused settings leave the device's alone.
        if (!NT_SUCCESS(c.Status)) {
            EXPECT_EQ(Device()->AsioSampleRate(), 48000u);
            EXPECT_LT(Device()->AsioLatencyIndex(), ASIO_LATENCY_COUNT);
        }
        EXPECT_EQ(client.Close(), STATUS_SUCCESS);
        m_clients.clear();
    }
}

TEST_F(AsioProtocolTest, NamesChannelsAndTheDriverFromTheDevice)
{
    StartDevice();
    host::AsioSession& client = Client();
    const host::AsioReply name = client.Control(code::GET_DRIVER_NAME, nullptr, 0, 64);
    ASSERT_EQ(name.Status, STATUS_SUCCESS);
    EXPECT_EQ(name.Information, 13u);
    EXPECT_STREQ(reinterpret_cast<const char*>(name.Output.data()), "ASIO Headset");

    struct ChannelCase {
        int32_t Channel;
        int32_t Input;
        const char* Name;  // null: beyond every endpoint, an empty record
    };
    for (const ChannelCase& c : {ChannelCase{0, 0, "HPOut00_00 ch"}, ChannelCase{1, 0, "HPOut00_01 ch"},
                                 ChannelCase{0, 1, "MicIn00_00 ch"}, ChannelCase{2, 0, nullptr}}) {
        SCOPED_TRACE(c.Channel);
        std::vector<uint8_t> info(52, 0x5A);
        std::memcpy(&info[0], &c.Channel, 4);
        std::memcpy(&info[4], &c.Input, 4);
        const host::AsioReply reply = client.Control(code::GET_CHANNEL_INFO, info, 52);
        ASSERT_EQ(reply.Status, STATUS_SUCCESS);
        EXPECT_EQ(reply.Information, 52u);
        EXPECT_EQ(LongAt(reply.Output, 3), 0);  // group
        if (c.Name != nullptr) {
            EXPECT_EQ(LongAt(reply.Output, 2), 0);   // no owner: inactive
            EXPECT_EQ(LongAt(reply.Output, 4), 16);  // the client's type
            EXPECT_STREQ(reinterpret_cast<const char*>(&reply.Output[20]), c.Name);
        } else {
            // None of the caller's bytes (nor what lies past a short input) comes back.
            for (size_t k = 8; k < 52; ++k) ASSERT_EQ(reply.Output[k], 0) << "byte " << k;
            const host::AsioReply shortInput = client.Control(code::GET_CHANNEL_INFO, &info[0], 8, 52);
            ASSERT_EQ(shortInput.Status, STATUS_SUCCESS);
            for (size_t k = 8; k < 52; ++k) ASSERT_EQ(shortInput.Output[k], 0) << "byte " << k;
        }
    }
    // The channel type follows the caller's own sample type.
    ASSERT_EQ(client.SetLong(code::SET_SAMPLE_TYPE, 18), STATUS_SUCCESS);
    std::vector<uint8_t> info(52, 0);
    EXPECT_EQ(LongAt(client.Control(code::GET_CHANNEL_INFO, info, 52).Output, 4), 18);
    EXPECT_EQ(client.Control(code::GET_CHANNEL_INFO, info, 51).Status, STATUS_INVALID_PARAMETER);
}

// A device without a product string answers with the built-in name, cut to the caller's buffer.
TEST_F(AsioProtocolTest, WithoutAProductStringTheBuiltInNameIsCut)
{
    // iProduct (byte 15 of the device descriptor) 0.
    StartEdited("34 12 01 57 00 01 01 02 00 01", "34 12 01 57 00 01 01 00 00 01");
    host::AsioSession& client = Client();
    const host::AsioReply query = client.Control(code::GET_DRIVER_NAME, nullptr, 0, 0);
    EXPECT_EQ(query.Status, STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(query.Information, 23u);
    const host::AsioReply cut = client.Control(code::GET_DRIVER_NAME, nullptr, 0, 5);
    EXPECT_EQ(cut.Status, STATUS_SUCCESS);
    EXPECT_EQ(cut.Information, 5u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(cut.Output.data()), 5), std::string("Tarv\0", 5));
    const host::AsioReply whole = client.Control(code::GET_DRIVER_NAME, nullptr, 0, 64);
    EXPECT_EQ(whole.Information, 23u);
    EXPECT_STREQ(reinterpret_cast<const char*>(whole.Output.data()), "Tarvel USB ASIO Device");
}

// A product string descriptor that claims more than arrived, or less than its own header.
TEST_F(AsioProtocolTest, AProductStringThatLiesAboutItsLengthIsRefused)
{
    StartDevice();
    host::AsioSession& client = Client();
    for (uint8_t length : {uint8_t{1}, uint8_t{0xFE}}) {
        SCOPED_TRACE(int(length));
        sim::RawRequest raw{};
        const uint8_t setup[8] = {0x80, 0x06, 0x02, 0x03, 0x09, 0x04, 0x00, 0x01};
        std::memcpy(raw.Setup, setup, 8);
        raw.Reply = {length, 0x03, 'A', 0, 'B', 0};
        m_session.Device().AddRaw(raw);
        EXPECT_EQ(client.Control(code::GET_DRIVER_NAME, nullptr, 0, 64).Status, STATUS_INVALID_PARAMETER);
    }
}

TEST_F(AsioProtocolTest, A32BitProcessSendsFourByteHandlesAndGetsFourByteAddresses)
{
    StartDevice();
    host::AsioSession& client = Client(true);
    PKEVENT event = nullptr;
    HANDLE handle = client.NewEvent(&event);
    EXPECT_EQ(client.Control(code::SET_EVENT, std::vector<uint8_t>(8, 0), 0).Status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(client.Control(code::SET_EVENT, client.HandleBytes(handle), 0).Status, STATUS_SUCCESS);
    EXPECT_EQ(client.Control(code::SET_EVENT, client.HandleBytes(handle), 0).Status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(client.Control(code::RELEASE_EVENT, nullptr, 0, 0).Status, STATUS_SUCCESS);

    std::vector<host::AsioBufferView*> buffers;
    ASSERT_EQ(client.CreateBuffers({{0, 0}, {0, 1}}, 96, 2, &buffers), STATUS_SUCCESS);
    ASSERT_EQ(buffers.size(), 2u);
    for (host::AsioBufferView* b : buffers) {
        ASSERT_LT(reinterpret_cast<uintptr_t>(b), uintptr_t{1} << 32);
        ASSERT_EQ(reinterpret_cast<uintptr_t>(b) % 4096, 0u);
    }
    EXPECT_EQ(buffers[0]->Size, 7680u);
    EXPECT_EQ(buffers[1]->Size, 3840u);
    EXPECT_EQ(client.Control(code::DISPOSE_BUFFERS, nullptr, 0, 0).Status, STATUS_SUCCESS);
    ZwClose(handle);
}

// Latency and rate are stored at once, the sample type when the last client closes; a client
// opened later starts from them. Every client with an event hears of a change.
TEST_F(AsioProtocolTest, SettingsOutliveTheClientAndEveryClientIsNotified)
{
    StartDevice();
    host::AsioSession& first = Client();
    host::AsioSession& second = Client();
    PKEVENT e1 = nullptr;
    PKEVENT e2 = nullptr;
    HANDLE h1 = first.NewEvent(&e1);
    HANDLE h2 = second.NewEvent(&e2);
    ASSERT_EQ(first.Control(code::SET_EVENT, first.HandleBytes(h1), 0).Status, STATUS_SUCCESS);
    ASSERT_EQ(second.Control(code::SET_EVENT, second.HandleBytes(h2), 0).Status, STATUS_SUCCESS);
    const LONG references = platform::ObReferenceCount(e1);

    ASSERT_EQ(first.SetLong(code::SET_LATENCY, 1), STATUS_SUCCESS);
    EXPECT_NE(KeReadStateEvent(e1), 0);
    EXPECT_NE(KeReadStateEvent(e2), 0);
    KeClearEvent(e1);
    KeClearEvent(e2);
    ASSERT_EQ(second.SetLong(code::SET_SAMPLE_TYPE, 17), STATUS_SUCCESS);
    EXPECT_NE(KeReadStateEvent(e1), 0);
    EXPECT_NE(KeReadStateEvent(e2), 0);

    EXPECT_EQ(first.Close(), STATUS_SUCCESS);
    EXPECT_EQ(platform::ObReferenceCount(e1), references - 1);
    EXPECT_EQ(second.Close(), STATUS_SUCCESS);
    EXPECT_EQ(Device()->AsioDefaultSampleType(), 17u);

    host::AsioSession& third = Client();
    std::vector<int32_t> latencies;
    EXPECT_EQ(third.GetLongs(code::GET_LATENCIES, 2, &latencies), STATUS_SUCCESS);
    EXPECT_EQ(latencies, (std::vector<int32_t>{288, 576}));  // 6 ms at 48 kHz
    std::vector<uint8_t> info(52, 0);
    EXPECT_EQ(LongAt(third.Control(code::GET_CHANNEL_INFO, info, 52).Output, 4), 17);
    ZwClose(h1);
    ZwClose(h2);
}

// The stored settings are read when the device starts. One the interface cannot work with (a
// latency index past the table, a sample type the buffers do not know, a rate too low to divide
// by) keeps its default; the others are taken, and a new client starts from them.
TEST_F(AsioProtocolTest, StoredSettingsItCannotUseKeepTheirDefaultsAfterARestart)
{
    struct StoredCase {
        const char* What;
        ULONG Type, Latency, Rate;
        ULONG ExpectType, ExpectLatency, ExpectRate;
        std::vector<int32_t> Latencies;
    };
    const StoredCase cases[] = {
        {"usable", 18, 2, 44100, 18, 2, 44100, {352, 704}},
        {"the last index, the lowest rate", 27, 7, 1000, 27, 7, 1000, {50, 100}},
        {"index 8, type 19, 999 Hz", 19, 8, 999, 16, 4, 48000, {960, 1920}},
        {"all ones", 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 16, 4, 48000, {960, 1920}},
        {"the raw type, rate 0", 33, 4, 0, 16, 4, 48000, {960, 1920}},
    };
    StartDevice();
    for (const StoredCase& c : cases) {
        SCOPED_TRACE(c.What);
        const std::pair<PCWSTR, ULONG> values[] = {
            {u"ASIOMLDataBitDepth", c.Type}, {u"ASIOMLDataLatency", c.Latency}, {u"ASIOMLSampleRate", c.Rate}};
        for (auto [name, value] : values) {
            ASSERT_EQ(AccessSettingsBinary(m_session.Fdo(), SETTINGS_WRITE, &value, sizeof value, name), STATUS_SUCCESS);
        }
        ASSERT_EQ(m_session.Pnp().Remove(m_session.Pdo()), STATUS_SUCCESS);
        ASSERT_EQ(m_session.Pnp().AddDevice(m_session.Pdo()), STATUS_SUCCESS);
        ASSERT_EQ(m_session.Pnp().Start(m_session.Pdo()), STATUS_SUCCESS);
        EXPECT_EQ(Device()->AsioDefaultSampleType(), c.ExpectType);
        EXPECT_EQ(Device()->AsioSampleType(), c.ExpectType);
        EXPECT_EQ(Device()->AsioLatencyIndex(), c.ExpectLatency);
        EXPECT_EQ(Device()->AsioSampleRate(), c.ExpectRate);
        host::AsioSession& client = Client();
        std::vector<int32_t> latencies;
        EXPECT_EQ(client.GetLongs(code::GET_LATENCIES, 2, &latencies), STATUS_SUCCESS);
        EXPECT_EQ(latencies, c.Latencies);
        std::vector<uint8_t> info(52, 0);
        EXPECT_EQ(LongAt(client.Control(code::GET_CHANNEL_INFO, info, 52).Output, 4), static_cast<int32_t>(c.ExpectType));
        m_clients.clear();
    }
}

// Requests on a handle the interface does not know: the create failed or it is another file.
TEST_F(AsioProtocolTest, RequestsOfAnUnknownHandleAreRefused)
{
    StartDevice();
    host::AsioSession& client = Client();
    ASSERT_EQ(client.Close(), STATUS_SUCCESS);
    ASSERT_EQ(client.Open(), STATUS_SUCCESS);
    // Close on the driver's side only: the file object stays with the host.
    IAsioDevice* asio = static_cast<IAsioDevice*>(Device());
    ASSERT_EQ(asio->AsioCloseClient(client.File()), STATUS_SUCCESS);
    for (ULONG c : {code::GET_BUSY, code::GET_LATENCIES, code::GET_SAMPLE_RATE, code::GET_IO_FORMAT}) {
        EXPECT_EQ(client.Control(c, nullptr, 0, 16).Status, STATUS_INVALID_PARAMETER) << std::hex << c;
    }
    // Closing the handle succeeds whatever the driver answers its close.
    EXPECT_EQ(client.Close(), STATUS_SUCCESS);
}

}  // namespace
}  // namespace kvxtest
