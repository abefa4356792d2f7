// A hostile ASIO client: every request at lengths it must not trust, handles that are not its
// own events, requests of a client that owns nothing, and a process that dies mid-stream. After
// each, the pool, the events' references and the stored settings are as before, and no byte past
// the reply reaches the caller.
#include <cstring>

#include "adapter/SettingsStore.h"
#include "asio/AsioDevice.h"
#include "platform/nt/Dispatcher.h"
#include "platform/io/ProcessHost.h"
#include "platform/nt/Ob.h"
#include "platform/nt/PoolHost.h"
#include "tests/asio/AsioFixture.h"

namespace kvxtest {
namespace {

namespace code = host::asio;

class AsioHostileTest : public AsioFixture {
protected:
    // Blocks of what the interface allocates: client records and name blocks, buffer pages and
    // their MDLs, endpoint clients, the 32-bit widening buffer. (The whole pool is checked when
    // the device goes; other threads allocate meanwhile.)
    static size_t AsioBlocks()
    {
        size_t n = 0;
        for (ULONG tag : {MakePoolTag("USBd"), MakePoolTag("IoPg"), MakePoolTag("IoMd"), MakePoolTag("USBS"),
                          MakePoolTag("adap")}) {
            n += platform::PoolLiveCount(tag);
        }
        return n;
    }
    // The stored ASIO settings as the registry holds them (a missing value reads as -1).
    std::vector<int64_t> StoredSettings()
    {
        std::vector<int64_t> values;
        for (PCWSTR name : {u"ASIOMLDataBitDepth", u"ASIOMLDataLatency", u"ASIOMLSampleRate"}) {
            ULONG value = 0;
            const NTSTATUS status = AccessSettingsBinary(m_session.Fdo(), SETTINGS_READ, &value, sizeof value, name);
            values.push_back(NT_SUCCESS(status) ? int64_t{value} : -1);
        }
        return values;
    }
};

// What a request needs of its buffers: input at least, output at least, no input, or none.
enum class Rule { None, InputAtLeast, OutputAtLeast, InputEmpty, Handle };

struct CodeRule {
    ULONG Code;
    Rule Kind;
    ULONG Bytes;
};

const CodeRule CODES[] = {
    {code::GET_DRIVER_NAME, Rule::None, 0},      {code::GET_CHANNELS, Rule::None, 0},
    {code::GET_CHANNEL_INFO, Rule::None, 0},     {code::GET_SAMPLE_TYPES, Rule::None, 0},
    {code::GET_LATENCY_TABLE, Rule::None, 0},    {code::SET_EVENT, Rule::Handle, 8},
    {code::GET_BUSY, Rule::OutputAtLeast, 4},    {code::SET_SAMPLE_TYPE, Rule::InputAtLeast, 4},
    {code::SET_LATENCY, Rule::InputAtLeast, 4},  {code::GET_LATENCIES, Rule::OutputAtLeast, 8},
    {code::GET_SAMPLE_RATE, Rule::OutputAtLeast, 4}, {code::CAN_SAMPLE_RATE, Rule::InputAtLeast, 4},
    {code::SET_SAMPLE_RATE, Rule::InputAtLeast, 4},  {code::GET_BUFFER_SIZE, Rule::OutputAtLeast, 16},
    {code::CREATE_BUFFERS, Rule::InputAtLeast, 12},  {code::DISPOSE_BUFFERS, Rule::None, 0},
    {code::START, Rule::Handle, 8},              {code::STOP, Rule::InputEmpty, 0},
    {code::RELEASE_EVENT, Rule::InputEmpty, 0},  {code::CAN_IO_FORMAT, Rule::InputAtLeast, 4},
    {code::SET_IO_FORMAT, Rule::InputAtLeast, 4}, {code::GET_IO_FORMAT, Rule::OutputAtLeast, 4},
};

// Each code at lengths 0, one short of its rule and oversized, input of 0xFF bytes: the broken
// rules refuse with their status, nothing leaks, the settings stay, no byte past the reply.
TEST_F(AsioHostileTest, EveryCodeAtLengthsItMustNotTrust)
{
    StartDevice();
    const ULONG sampleType = Device()->AsioSampleType();
    const ULONG latency = Device()->AsioLatencyIndex();
    const ULONG rate = Device()->AsioSampleRate();
    // A close stores the sample type: the first one sets the value every row then finds.
    EXPECT_EQ(Client().Close(), STATUS_SUCCESS);
    m_clients.clear();
    const std::vector<int64_t> stored = StoredSettings();
    for (const CodeRule& c : CODES) {
        for (ULONG length : {0u, c.Bytes > 0 ? c.Bytes - 1 : 1u, 4096u}) {
            SCOPED_TRACE(testing::Message() << std::hex << c.Code << std::dec << " at " << length);
            const size_t blocks = AsioBlocks();
            host::AsioSession& client = Client();
            const std::vector<uint8_t> input(length, 0xFF);
            const host::AsioReply reply = client.Control(c.Code, input, length);
            const bool shortInput = (c.Kind == Rule::InputAtLeast || c.Kind == Rule::Handle) && length < c.Bytes;
            const bool shortOutput = c.Kind == Rule::OutputAtLeast && length < c.Bytes;
            if (shortInput || (c.Kind == Rule::InputEmpty && length != 0) || (c.Kind == Rule::Handle && length != 8)) {
                EXPECT_EQ(reply.Status, STATUS_INVALID_PARAMETER);
            } else if (shortOutput) {
                EXPECT_EQ(reply.Status, length == 0 && c.Code == code::GET_BUSY ? STATUS_BUFFER_OVERFLOW
                                                                               : STATUS_BUFFER_TOO_SMALL);
            }
            // A size query tells more than it copies; anything else never passes the output.
            if (reply.Status != STATUS_BUFFER_OVERFLOW) {
                EXPECT_LE(reply.Information, length);
            }
            for (size_t k = reply.Information; k < reply.Output.size(); ++k) {
                ASSERT_EQ(reply.Output[k], 0xA5) << "byte " << k;
            }
            EXPECT_EQ(client.Close(), STATUS_SUCCESS);
            m_clients.clear();
            EXPECT_EQ(AsioBlocks(), blocks);
            EXPECT_EQ(Device()->AsioSampleType(), sampleType);
            EXPECT_EQ(Device()->AsioLatencyIndex(), latency);
            EXPECT_EQ(Device()->AsioSampleRate(), rate);
            EXPECT_EQ(StoredSettings(), stored);
        }
    }
}

namespace {
void FreeNothing(void*) {}
}  // namespace

// Handles that are not the caller's events: the kernel's, another process's, a thread, an event
// opened without EVENT_MODIFY_STATE. Each is refused with its status and no reference is kept.
TEST_F(AsioHostileTest, HandlesThatAreNotTheCallersEventsAreRefused)
{
    StartDevice();
    host::AsioSession& client = Client();
    host::AsioSession& other = Client();
    std::vector<host::AsioBufferView*> buffers;
    ASSERT_EQ(client.CreateBuffers({{0, 0}}, 256, 2, &buffers), STATUS_SUCCESS);

    PKEVENT kernelEvent = nullptr;
    HANDLE kernel = platform::EventHandleCreate(NotificationEvent, false, &kernelEvent);
    PKEVENT foreignEvent = nullptr;
    HANDLE foreign = other.NewEvent(&foreignEvent);
    PKEVENT weakEvent = nullptr;
    HANDLE weak = client.NewEvent(&weakEvent, SYNCHRONIZE);
    static int threadObject;
    platform::ObRegister(&threadObject, "Thread", FreeNothing);
    HANDLE thread = [&] {
        platform::ProcessScope process(client.Process());
        return platform::HandleCreateInProcess(&threadObject, nullptr, client.Process(), 0x1FFFFF);
    }();
    struct HandleCase {
        const char* What;
        HANDLE Handle;
        NTSTATUS Status;
        PKEVENT Event;
    };
    const std::vector<int64_t> stored = StoredSettings();
    for (const HandleCase& h : {HandleCase{"kernel", kernel, STATUS_INVALID_HANDLE, kernelEvent},
                                HandleCase{"foreign", foreign, STATUS_INVALID_HANDLE, foreignEvent},
                                HandleCase{"thread", thread, STATUS_OBJECT_TYPE_MISMATCH, nullptr},
                                HandleCase{"no EVENT_MODIFY_STATE", weak, STATUS_ACCESS_DENIED, weakEvent}}) {
        SCOPED_TRACE(h.What);
        const LONG before = h.Event != nullptr ? platform::ObReferenceCount(h.Event) : 0;
        EXPECT_EQ(client.Control(code::SET_EVENT, client.HandleBytes(h.Handle), 0).Status, h.Status);
        EXPECT_EQ(client.Control(code::START, client.HandleBytes(h.Handle), 0).Status, h.Status);
        if (h.Event != nullptr) {
            EXPECT_EQ(platform::ObReferenceCount(h.Event), before);
        }
        EXPECT_EQ(StoredSettings(), stored);
    }
    EXPECT_FALSE(Device()->AsioRunning());
    EXPECT_EQ(platform::ObReferenceCount(&threadObject), 1);
    for (HANDLE handle : {kernel, foreign, weak, thread}) ZwClose(handle);
    ObDereferenceObject(&threadObject);
}

// A client that owns nothing, beside an owner that streams: every request that would touch the
// buffers or the streams is refused, and after each the owner still streams, no event gained or
// lost a reference and the stored settings are as they were.
TEST_F(AsioHostileTest, AClientThatOwnsNothingChangesNothing)
{
    StartDevice();
    host::AsioSession& owner = Client();
    host::AsioSession& other = Client();
    std::vector<host::AsioBufferView*> buffers;
    ASSERT_EQ(owner.CreateBuffers({{0, 0}, {1, 0}}, 256, 2, &buffers), STATUS_SUCCESS);
    ASSERT_EQ(owner.StartStreaming(buffers, 4, 256, {}), STATUS_SUCCESS);
    PKEVENT ownEvent = nullptr;
    HANDLE own = other.NewEvent(&ownEvent);
    PKEVENT ownersEvent = nullptr;
    HANDLE owners = owner.NewEvent(&ownersEvent);
    const std::vector<int64_t> stored = StoredSettings();
    struct OtherCase {
        const char* What;
        ULONG Code;
        std::vector<uint8_t> Input;
        NTSTATUS Status;
    };
    const OtherCase cases[] = {
        {"start with its own event", code::START, other.HandleBytes(own), STATUS_INVALID_PARAMETER},
        {"start with the owner's event", code::START, other.HandleBytes(owners), STATUS_INVALID_PARAMETER},
        {"stop", code::STOP, {}, STATUS_INVALID_PARAMETER},
        {"dispose", code::DISPOSE_BUFFERS, {}, STATUS_INVALID_PARAMETER},
        {"buffers of its own", code::CREATE_BUFFERS, Longs({0, 1, 256, 0, 0}), STATUS_INVALID_PARAMETER},
        {"notification with the owner's event", code::SET_EVENT, other.HandleBytes(owners), STATUS_INVALID_HANDLE},
        {"release of an event it never set", code::RELEASE_EVENT, {}, STATUS_INVALID_PARAMETER},
        {"function 0x812", 0x1DA048, other.HandleBytes(own), STATUS_NOT_SUPPORTED},
    };
    for (const OtherCase& c : cases) {
        SCOPED_TRACE(c.What);
        const LONG ownReferences = platform::ObReferenceCount(ownEvent);
        const LONG ownersReferences = platform::ObReferenceCount(ownersEvent);
        const uint32_t completed = buffers[1]->CompletedCount;
        EXPECT_EQ(other.Control(c.Code, c.Input, c.Code == code::CREATE_BUFFERS ? 16 : 0).Status, c.Status);
        EXPECT_EQ(platform::ObReferenceCount(ownEvent), ownReferences);
        EXPECT_EQ(platform::ObReferenceCount(ownersEvent), ownersReferences);
        EXPECT_EQ(StoredSettings(), stored);
        EXPECT_TRUE(Device()->AsioRunning());
        platform::RunFor(std::chrono::milliseconds(20));
        EXPECT_GT(buffers[1]->CompletedCount, completed);
    }
    EXPECT_EQ(owner.StopStreaming(), STATUS_SUCCESS);
    ZwClose(own);
    ZwClose(owners);
}

// A process that dies mid-stream: the system closes its handles under the running streams; the
// device stops them, frees the buffers and their views, and lets go of the event.
TEST_F(AsioHostileTest, AProcessKilledMidStreamLeavesNothing)
{
    StartDevice();
    host::AsioSession& client = Client();
    std::vector<host::AsioBufferView*> buffers;
    ASSERT_EQ(client.CreateBuffers({{0, 0}, {1, 0}}, 256, 2, &buffers), STATUS_SUCCESS);
    ASSERT_EQ(client.StartStreaming(buffers, 2, 256, {}), STATUS_SUCCESS);
    platform::RunFor(std::chrono::milliseconds(40));
    EXPECT_TRUE(Device()->AsioRunning());
    const uint32_t process = client.Process();
    // The file, the buffer-switch event and the notification event.
    EXPECT_EQ(platform::HandleCountOfProcess(process), 3u);
    // The system ends the process: the handles close (a view left mapped would be a fault).
    client.Kill();
    EXPECT_EQ(platform::HandleCountOfProcess(process), 0u);
    EXPECT_EQ(platform::ProcessPendingRequests(process), 0u);
    EXPECT_FALSE(Device()->AsioRunning());
    EXPECT_EQ(Device()->AsioClientCount(), 0u);
    for (ULONG i = 0; i < 2; ++i) {
        AsioEndpointRecord record{};
        ASSERT_TRUE(Device()->AsioRecord(i, &record));
        EXPECT_EQ(record.Buffer, nullptr);
        EXPECT_EQ(record.Client, nullptr);
    }
    // The endpoints are free for the next owner.
    host::AsioSession& next = Client();
    ASSERT_EQ(next.CreateBuffers({{0, 0}}, 256, 2, &buffers), STATUS_SUCCESS);
}

}  // namespace
}  // namespace kvxtest
