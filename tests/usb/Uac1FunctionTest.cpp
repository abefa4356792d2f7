#include <optional>

#include "platform/nt/Ob.h"
#include "platform/nt/ThreadHost.h"
#include "tests/usb/Uac1FunctionFixture.h"

namespace {

using kvxtest::TestEndpoint;
using kvxtest::TheJournal;
using kvxtest::TestEntity;
using kvxtest::TestFunction;
using kvxtest::TestUnit;
using Strings = std::vector<std::string>;

class Uac1FunctionTest : public kvxtest::Uac1FunctionFixture {};

// ---- the unit list and the function's interfaces ----

TEST_F(Uac1FunctionTest, UnitsAreFoundByIdTheFirstBuiltWinningAndHeldByTheList)
{
    PlugDevice(kvxtest::FunctionDevice());
    TestUnit* first = nullptr;
    TestUnit* second = nullptr;
    ASSERT_EQ(InitDevice([&](TestFunction* f) {
                  first = AddUnit(f, 5, 6);
                  AddUnit(f, 2, 3);
                  second = AddUnit(f, 5, 4);
                  return STATUS_SUCCESS;
              }),
              STATUS_SUCCESS);
    UsbAudioUnit* found = nullptr;
    EXPECT_EQ(m_function->FindUnit(5, &found), STATUS_SUCCESS);
    EXPECT_EQ(found, first);
    EXPECT_NE(found, second);
    found = reinterpret_cast<UsbAudioUnit*>(1);
    EXPECT_EQ(m_function->FindUnit(7, &found), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(found, nullptr);
    EXPECT_EQ(first->GetReferenceCount(), 1);  // the list's
    EXPECT_EQ(m_function->GetUnitCount(), 3u);
    // The parsers are handed the first AudioControl and AudioStreaming interfaces, in that order.
    EXPECT_EQ(Lines("parse"), (Strings{"parse control 0", "parse streaming 1"}));
    EXPECT_EQ(m_function->AudioControlInterfaceNumber(), 0);
}

TEST_F(Uac1FunctionTest, TheFunctionInterfacesLeadToTheDevice)
{
    PlugDevice(kvxtest::FunctionDevice());
    ASSERT_EQ(InitDevice(), STATUS_SUCCESS);
    const LONG references = DeviceReferences();
    PVOID raw = nullptr;
    ASSERT_EQ(static_cast<IAudioHal*>(m_usb)->QueryInterface(IID_IUsbAudioFunction, &raw), STATUS_SUCCESS);
    EXPECT_EQ(raw, static_cast<IUsbAudioFunction*>(m_function));
    EXPECT_EQ(DeviceReferences(), references + 1);
    auto* function = static_cast<IUsbAudioFunction*>(raw);
    PVOID callback = nullptr;
    EXPECT_EQ(function->GetCallbackObject(&callback), STATUS_SUCCESS);
    EXPECT_EQ(callback, m_function->AudioHal::GetCallbackObject());
    EXPECT_NE(callback, nullptr);
    EXPECT_EQ(function->GetCallbackObject(nullptr), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(function->RestoreRegisters(), STATUS_SUCCESS);
    ASSERT_EQ(function->QueryInterface(IID_IUsbDevice, &raw), STATUS_SUCCESS);
    EXPECT_EQ(raw, static_cast<IUsbDevice*>(m_usb));
    static_cast<IUsbDevice*>(raw)->Release();
    function->Release();
    EXPECT_EQ(DeviceReferences(), references);
    EXPECT_EQ(m_function->GetReferenceCount(), 1);  // the device's
}

TEST_F(Uac1FunctionTest, AnOutputKindChangeIsReportedOnceByTheFirstMultiOutputTerminal)
{
    PlugDevice(kvxtest::FunctionDevice());
    TestEndpoint* plain = nullptr;
    TestEndpoint* switching = nullptr;
    TestEntity* terminal = nullptr;
    ASSERT_EQ(InitDevice({}, [&](TestFunction* f) {
                  plain = AddEndpoint(f, ENDPOINT_KIND_SPEAKER, false, u"SPKOut00");
                  switching = AddEndpoint(f, ENDPOINT_KIND_HEADPHONES, false, u"HPOut00");
                  plain->AddEntity(AddEntity(f, nullptr, 0, ENTITY_OUTPUT_TERMINAL));
                  switching->AddEntity(AddEntity(f, nullptr, 1, ENTITY_MUTE));
                  terminal = AddEntity(f, nullptr, 2, ENTITY_MULTI_OUTPUT_TERMINAL);
                  switching->AddEntity(terminal);
                  return STATUS_SUCCESS;
              }),
              STATUS_SUCCESS);
    EXPECT_FALSE(m_function->HasOutputKindChanged(plain));
    EXPECT_FALSE(m_function->HasOutputKindChanged(switching));
    terminal->Changed = 1;
    EXPECT_TRUE(m_function->HasOutputKindChanged(switching));
    EXPECT_EQ(terminal->Changed.load(), 0u);
    EXPECT_FALSE(m_function->HasOutputKindChanged(switching));
    EXPECT_FALSE(m_function->HasOutputKindChanged(nullptr));
}

// ---- chip identification ----

struct Probe {
    uint8_t Request;
    uint16_t Value;
    std::optional<uint8_t> Reply;  // none: the request stalls
};

TEST_F(Uac1FunctionTest, ChipStringsAndProbesSetTheCapabilityBlock)
{
    struct Case {
        const char* Name;
        uint16_t Vendor, Product;
        std::optional<std::u16string> String50, String32;
        std::vector<Probe> Probes;
        NTSTATUS Status;
        ULONG Mask, Value, Flags;
    } cases[] = {
        {"no strings, first listed device", 0x1B1C, 0x0A04, {}, {}, {}, STATUS_SUCCESS, 0x24, 0, 0},
        {"no strings, second listed device", 0x047F, 0xD957, {}, {}, {}, STATUS_SUCCESS, 0x3C0264, 12, 0},
        {"no strings, other device", 0x1234, 0x5678, {}, {}, {}, STATUS_UNSUCCESSFUL, 0, 0, 0},
        {"other string", 0x1B1C, 0x0A04, u"7302", {}, {}, STATUS_SUCCESS, 0, 0, 0},
        {"probe A answers the chip", 0x1234, 0x5678, u"7305 rev", {}, {{0x02, 0x51, 0x1F}}, STATUS_SUCCESS,
         0x3E10A0, 0, 0x41},
        {"probe A from the second index", 0x09DA, 0x2702, {}, u"7305", {{0x02, 0x51, 0x1F}}, STATUS_SUCCESS, 0x3E00A5,
         0, 0x41},
        {"probe A, listed device", 0x0F3B, 0x0065, u"7305", {}, {{0x02, 0x51, 0x1F}}, STATUS_SUCCESS, 0x3E00A0, 0, 0x41},
        {"probe A, listed device with own flags", 0x251F, 0x3001, u"7305", {}, {{0x02, 0x51, 0x1F}}, STATUS_SUCCESS,
         0x3E00A4, 0, 0x40},
        {"probe A, other chip", 0x09DA, 0x2701, u"7305", {}, {{0x02, 0x51, 0x1E}}, STATUS_SUCCESS, 0, 0, 0},
        {"probe A stalls", 0x1234, 0x5678, u"7305", {}, {{0x02, 0x51, std::nullopt}}, STATUS_UNSUCCESSFUL, 0, 0, 0},
        {"probe B, plain", 0x1234, 0x5678, u"QVR260", {}, {{0x00, 0x1A, 0x09}, {0x00, 0x20, 0xFD}}, STATUS_SUCCESS,
         0x3E087, 0, 0},
        {"probe B, ASIO", 0x1234, 0x5678, u"QVR260", {}, {{0x00, 0x1A, 0x0E}, {0x00, 0x20, 0x00}}, STATUS_SUCCESS,
         0x3E087, 0, 2},
        {"probe B, bit 1 of the second reply", 0x1234, 0x5678, u"QVR260", {}, {{0x00, 0x1A, 0x0E}, {0x00, 0x20, 0x02}},
         STATUS_UNSUCCESSFUL, 0, 0, 0},
        {"probe B, other first reply", 0x1234, 0x5678, u"QVR2605", {}, {{0x00, 0x1A, 0x0A}, {0x00, 0x20, 0x00}},
         STATUS_UNSUCCESSFUL, 0, 0, 0},
        {"probe B stalls", 0x1234, 0x5678, u"QVR260", {}, {{0x00, 0x1A, std::nullopt}}, STATUS_UNSUCCESSFUL, 0, 0, 0},
        {"too short for a probe", 0x1234, 0x5678, u"QVR26", {}, {}, STATUS_SUCCESS, 0, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        PlugDevice(kvxtest::FunctionDevice(2, {.VendorId = c.Vendor, .ProductId = c.Product}), false);
        if (c.String50) m_device->SetString(0x50, *c.String50);
        if (c.String32) m_device->SetString(0x32, *c.String32);
        for (const Probe& p : c.Probes) {
            sim::RawRequest raw;
            const uint8_t setup[8] = {0xC3, p.Request, static_cast<uint8_t>(p.Value), 0, 0, 0, 1, 0};
            std::memcpy(raw.Setup, setup, 8);
            raw.Stall = !p.Reply.has_value();
            if (p.Reply) raw.Reply = {*p.Reply};
            m_device->AddRaw(raw);
        }
        EXPECT_EQ(InitDevice(), c.Status);
        ASSERT_NE(m_function, nullptr);
        const AudioCapabilities& stored = m_function->StoredCapabilities();
        EXPECT_EQ(stored.ControlMask, c.Mask);
        EXPECT_EQ(stored.Value, c.Value);
        EXPECT_EQ(stored.Flags, c.Flags);
        // Every probe was asked, as a one-byte vendor read of recipient other.
        size_t asked = 0;
        for (const auto& entry : m_device->Log()) {
            if (entry.What == sim::RequestLogEntry::Kind::Control && (entry.Setup.bmRequestType & 0x60) == 0x40) {
                ASSERT_LT(asked, c.Probes.size());
                EXPECT_EQ(entry.Setup.bmRequestType, 0xC3);
                EXPECT_EQ(entry.Setup.bRequest, c.Probes[asked].Request);
                EXPECT_EQ(entry.Setup.wValue, c.Probes[asked].Value);
                EXPECT_EQ(entry.Setup.wIndex, 0);
                EXPECT_EQ(entry.Setup.wLength, 1);
                ++asked;
            }
        }
        EXPECT_EQ(asked, c.Probes.size());
        // The parsers run only after a successful identification.
        EXPECT_EQ(Lines("parse").size(), NT_SUCCESS(c.Status) ? 2u : 0u);
        TearDown();
        SetUp();
    }
}

TEST_F(Uac1FunctionTest, CapabilitiesFollowDirectionKindAndDevice)
{
    struct Case {
        const char* Name;
        uint16_t Vendor, Product;
        BOOLEAN Capture;
        ULONG Kind;
        ULONG Mask, Value, Flags;
    } cases[] = {
        // Probe A's chip: mask 0x3E10A0, flags 0x41; 0x047F/0xD957: mask 0x3C0264, value 12.
        {"render headphones", 0x047F, 0xD957, FALSE, ENDPOINT_KIND_HEADPHONES, 0x3C0264, 12, 0},
        {"SPDIF gets nothing", 0x047F, 0xD957, FALSE, ENDPOINT_KIND_SPDIF, 0, 0, 0},
        {"SPDIF on the capture device", 0x0F3B, 0x0058, FALSE, ENDPOINT_KIND_SPDIF, 0x3E10A0, 0, 0x41},
        {"capture microphone on the capture device", 0x0F3B, 0x0058, TRUE, ENDPOINT_KIND_MICROPHONE, 0xBE10A0, 0,
         0x41},
        {"render microphone kind on the capture device", 0x0F3B, 0x0058, FALSE, ENDPOINT_KIND_MICROPHONE, 0x3E10A0, 0,
         0x41},
        {"capture line on the capture device", 0x0F3B, 0x0058, TRUE, ENDPOINT_KIND_LINE, 0x3E10A0, 0, 0x41},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        const bool probed = c.Vendor == 0x0F3B;
        PlugDevice(kvxtest::FunctionDevice(2, {.VendorId = c.Vendor, .ProductId = c.Product}), false);
        if (probed) {
            m_device->SetString(0x50, u"7305");
            sim::RawRequest raw;
            const uint8_t setup[8] = {0xC3, 0x02, 0x51, 0, 0, 0, 1, 0};
            std::memcpy(raw.Setup, setup, 8);
            raw.Reply = {0x1F};
            m_device->AddRaw(raw);
        }
        ASSERT_EQ(InitDevice(), STATUS_SUCCESS);
        AudioCapabilities block;
        std::memset(&block, 0xAA, sizeof block);
        ASSERT_EQ(m_function->GetCapabilities(c.Capture, c.Kind, &block), STATUS_SUCCESS);
        AudioCapabilities expected{};
        expected.ControlMask = c.Mask;
        expected.Value = c.Value;
        expected.Flags = c.Flags;
        EXPECT_EQ(std::memcmp(&block, &expected, sizeof block), 0);
        EXPECT_EQ(m_function->GetCapabilities(c.Capture, c.Kind, nullptr), STATUS_UNSUCCESSFUL);
        TearDown();
        SetUp();
    }
}

TEST_F(Uac1FunctionTest, EndpointCapabilitiesComeFromTheEndpointAtTheIndexOrTheLast)
{
    PlugDevice(kvxtest::FunctionDevice(2, {.VendorId = 0x047F, .ProductId = 0xD957}), false);
    ASSERT_EQ(InitDevice({}, [&](TestFunction* f) {
                  AddEndpoint(f, ENDPOINT_KIND_SPDIF, false, u"SPDIFOut00");
                  AddEndpoint(f, ENDPOINT_KIND_HEADPHONES, false, u"HPOut00");
                  return STATUS_SUCCESS;
              }),
              STATUS_SUCCESS);
    const std::pair<ULONG, ULONG> rows[] = {{0, 0}, {1, 0x3C0264}, {7, 0x3C0264}};
    for (const auto& [index, mask] : rows) {
        AudioCapabilities block{};
        EXPECT_EQ(m_usb->GetEndpointCapabilities(index, &block), STATUS_SUCCESS);
        EXPECT_EQ(block.ControlMask, mask) << index;
    }
}

// ---- the status thread ----

struct Messages {
    std::mutex Lock;
    std::vector<ULONG> Ids;
    static VOID Record(PVOID context, PVOID argument1, PVOID argument2)
    {
        auto* self = static_cast<Messages*>(context);
        const auto* message = static_cast<const EntityChangeMessage*>(argument1);
        EXPECT_EQ(argument2, nullptr);
        EXPECT_EQ(message->Field1, 1u);
        EXPECT_EQ(message->Field2, 1u);
        EXPECT_EQ(message->Reserved, nullptr);
        std::lock_guard<std::mutex> guard(self->Lock);
        self->Ids.push_back(message->EntityId);
    }
    std::vector<ULONG> Seen()
    {
        std::lock_guard<std::mutex> guard(Lock);
        return Ids;
    }
};

class Uac1StatusThreadTest : public kvxtest::Uac1FunctionFixture {
protected:
    // Units 9 (no entity), 5 (entities 10 and 11, whose refresh fails), terminal 3 and a second
    // unit 5 built later; one render endpoint.
    NTSTATUS InitWithUnits(uint16_t interruptPacket = 2)
    {
        PlugDevice(kvxtest::FunctionDevice(interruptPacket));
        return InitDevice(
            [&](TestFunction* f) {
                AddUnit(f, 9, 6);
                TestUnit* feature = AddUnit(f, 5, 6);
                AddEntity(f, feature, 10, ENTITY_VOLUME);
                AddEntity(f, feature, 11, ENTITY_MUTE)->RefreshStatus = STATUS_UNSUCCESSFUL;
                m_terminal = AddUnit(f, 3, 3);
                AddEntity(f, m_terminal, 12, ENTITY_OUTPUT_TERMINAL);
                AddUnit(f, 5, 4);
                return STATUS_SUCCESS;
            },
            [&](TestFunction* f) {
                m_endpoint = AddEndpoint(f, ENDPOINT_KIND_SPEAKER, false, u"SPKOut00");
                return STATUS_SUCCESS;
            });
    }
    // Posts a status word and waits until the thread has read it and asked again.
    void Post(uint8_t originator, uint8_t id)
    {
        const size_t before = Reads();
        m_device->PostIn(0x83, {originator, id});
        EXPECT_TRUE(WaitFor([&] { return Reads() > before && m_bus->PendingCount() > 0; }));
    }
    size_t Reads()
    {
        size_t n = 0;
        for (const auto& entry : m_device->Log()) {
            n += entry.What == sim::RequestLogEntry::Kind::BulkOrInterrupt ? 1 : 0;
        }
        return n;
    }
    bool ThreadRunning() { return m_function->InterruptPipeIndex() != NO_INTERRUPT_PIPE; }

    TestUnit* m_terminal = nullptr;
    TestEndpoint* m_endpoint = nullptr;
};

TEST_F(Uac1StatusThreadTest, StatusWordsOfAudioControlEntitiesReachTheirUnits)
{
    ASSERT_EQ(InitWithUnits(), STATUS_SUCCESS);
    Messages messages;
    PVOID registration = nullptr;
    ASSERT_EQ(m_function->RegisterCallback(Messages::Record, &messages, &registration), STATUS_SUCCESS);
    const size_t threads = platform::ThreadLiveCount();
    TheJournal().Clear();
    ASSERT_EQ(StartDevice(), STATUS_SUCCESS);
    EXPECT_EQ(platform::ThreadLiveCount(), threads + 1);
    EXPECT_EQ(m_function->InterruptPipeIndex(), 0);
    // The initial pass: each unit id once, ascending; the unit built first answers for id 5.
    ASSERT_TRUE(WaitFor([&] { return Lines("unit").size() == 3 && m_bus->PendingCount() > 0; }));
    EXPECT_EQ(Lines("unit"), (Strings{"unit 3", "unit 5", "unit 9"}));
    EXPECT_EQ(Lines("refresh"), (Strings{"refresh 11", "refresh 10"}));  // the unit's entities, newest first
    EXPECT_EQ(Lines("register"), (Strings{"register SPKOut00 on"}));
    EXPECT_EQ(messages.Seen(), (std::vector<ULONG>{10}));

    TheJournal().Clear();
    Post(0x01, 5);  // an interface or endpoint originator: not an AudioControl entity
    Post(0x02, 3);
    EXPECT_EQ(Journal(), Strings{});
    Post(0x80, 5);  // the interrupt-pending bit leaves the originator type 0
    EXPECT_EQ(Journal(), (Strings{"unit 5", "refresh 11", "refresh 10"}));
    EXPECT_EQ(messages.Seen(), (std::vector<ULONG>{10, 10}));

    // A terminal re-evaluates the endpoints: the wave filter goes with the jack and comes back.
    TheJournal().Clear();
    m_endpoint->Present = false;
    Post(0x00, 3);
    m_endpoint->Present = true;
    Post(0x00, 3);
    Post(0x00, 42);  // no such unit
    EXPECT_EQ(Journal(), (Strings{"unit 3", "register SPKOut00 off", "unit 3", "register SPKOut00 on"}));
    EXPECT_EQ(m_endpoint->Adapter, static_cast<PUNKNOWN>(m_function->Hal()));

    // A unit whose handler declines refreshes nothing.
    TheJournal().Clear();
    UsbAudioUnit* unit = nullptr;
    ASSERT_EQ(m_function->FindUnit(5, &unit), STATUS_SUCCESS);
    static_cast<TestUnit*>(unit)->HandleStatus = STATUS_UNSUCCESSFUL;
    Post(0x00, 5);
    EXPECT_EQ(Journal(), (Strings{"unit 5"}));

    EXPECT_EQ(StopDevice(), STATUS_SUCCESS);
    EXPECT_FALSE(ThreadRunning());
    EXPECT_TRUE(WaitFor([&] { return platform::ThreadLiveCount() == threads; }));
    EXPECT_EQ(m_bus->PendingCount(), 0u);
    m_function->UnregisterCallback(registration);
}

TEST_F(Uac1StatusThreadTest, NoThreadWithoutATwoByteInterruptPipe)
{
    for (uint16_t packet : {0, 8, 1}) {
        SCOPED_TRACE(packet);
        ASSERT_EQ(InitWithUnits(packet), STATUS_SUCCESS);
        const size_t threads = platform::ThreadLiveCount();
        EXPECT_EQ(StartDevice(), STATUS_SUCCESS);
        EXPECT_EQ(platform::ThreadLiveCount(), threads);
        EXPECT_FALSE(ThreadRunning());
        EXPECT_EQ(StopDevice(), STATUS_SUCCESS);
        TearDown();
        SetUp();
    }
}

TEST_F(Uac1StatusThreadTest, AFailedReadEndsTheThreadQuietly)
{
    ASSERT_EQ(InitWithUnits(), STATUS_SUCCESS);
    const size_t threads = platform::ThreadLiveCount();
    m_device->FailTransfers(0x83, 1, USBD_STATUS_DEV_NOT_RESPONDING);
    ASSERT_EQ(StartDevice(), STATUS_SUCCESS);
    ASSERT_TRUE(WaitFor([&] { return platform::ThreadLiveCount() == threads; }));
    EXPECT_EQ(m_bus->PendingCount(), 0u);
    TheJournal().Clear();
    m_device->PostIn(0x83, {0x00, 5});
    platform::RunFor(std::chrono::milliseconds(50));
    EXPECT_EQ(Journal(), Strings{});
    // Stop finds the exit event set; the next start runs a thread again.
    EXPECT_EQ(StopDevice(), STATUS_SUCCESS);
    EXPECT_FALSE(ThreadRunning());
    ASSERT_EQ(StartDevice(), STATUS_SUCCESS);
    EXPECT_TRUE(ThreadRunning());
    EXPECT_EQ(StopDevice(), STATUS_SUCCESS);
}

TEST_F(Uac1StatusThreadTest, AThreadThatCannotBeCreatedLeavesNothingToWaitFor)
{
    ASSERT_EQ(InitWithUnits(), STATUS_SUCCESS);
    platform::ThreadFailNextCreate(STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(StartDevice(), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_FALSE(ThreadRunning());
    EXPECT_EQ(StopDevice(), STATUS_SUCCESS);  // returns at once: no thread, no interface copy
    ASSERT_EQ(StartDevice(), STATUS_SUCCESS);
    EXPECT_TRUE(ThreadRunning());
}

TEST_F(Uac1StatusThreadTest, TheThreadHoldsOneDeviceReferenceWhateverItReads)
{
    ASSERT_EQ(InitWithUnits(), STATUS_SUCCESS);
    const LONG references = DeviceReferences();
    ASSERT_EQ(StartDevice(), STATUS_SUCCESS);
    ASSERT_TRUE(WaitFor([&] { return m_bus->PendingCount() > 0; }));
    EXPECT_EQ(DeviceReferences(), references + 1);
    for (int i = 0; i < 5; ++i) {
        Post(0x00, 5);
    }
    EXPECT_EQ(DeviceReferences(), references + 1);
    EXPECT_EQ(StopDevice(), STATUS_SUCCESS);
    EXPECT_EQ(DeviceReferences(), references);
}

TEST_F(Uac1StatusThreadTest, StopOnADeviceMarkedGoneCancelsThePendingRead)
{
    ASSERT_EQ(InitWithUnits(), STATUS_SUCCESS);
    const size_t threads = platform::ThreadLiveCount();
    ASSERT_EQ(StartDevice(), STATUS_SUCCESS);
    ASSERT_TRUE(WaitFor([&] { return m_bus->PendingCount() > 0; }));
    // The abort is refused without reaching the bus; the read would stay pending for ever.
    m_usb->SetPresent(FALSE);
    EXPECT_EQ(StopDevice(), STATUS_SUCCESS);
    EXPECT_FALSE(ThreadRunning());
    EXPECT_EQ(platform::ThreadLiveCount(), threads);
    EXPECT_EQ(m_bus->PendingCount(), 0u);
}

// ---- power ----

TEST_F(Uac1StatusThreadTest, LowPowerStopsTheThreadAndD0RestoresAndRegistersAgain)
{
    ASSERT_EQ(InitWithUnits(), STATUS_SUCCESS);
    ASSERT_EQ(StartDevice(), STATUS_SUCCESS);
    const size_t threads = platform::ThreadLiveCount();
    ASSERT_TRUE(WaitFor([&] { return m_bus->PendingCount() > 0; }));
    auto power = [&](DEVICE_POWER_STATE state) {
        TheJournal().Clear();
        POWER_STATE p;
        p.DeviceState = state;
        m_function->PowerChangeState(p);
    };
    power(PowerDeviceD3);
    EXPECT_EQ(Journal(), (Strings{"power SPKOut00 D3"}));
    EXPECT_FALSE(ThreadRunning());
    EXPECT_EQ(platform::ThreadLiveCount(), threads - 1);
    EXPECT_EQ(m_function->GetPowerState(), PowerDeviceD3);

    power(PowerDeviceD3);
    power(PowerDeviceMaximum);
    EXPECT_EQ(Journal(), Strings{});
    EXPECT_EQ(m_function->GetPowerState(), PowerDeviceD3);

    power(PowerDeviceD0);
    ASSERT_TRUE(WaitFor([&] { return Lines("unit").size() == 3; }));
    EXPECT_EQ(Lines("restore"), (Strings{"restore registers", "restore 10", "restore 11", "restore 12"}));
    EXPECT_EQ(Lines("power"), (Strings{"power SPKOut00 D0"}));
    EXPECT_TRUE(ThreadRunning());
    EXPECT_EQ(platform::ThreadLiveCount(), threads);
    EXPECT_EQ(StopDevice(), STATUS_SUCCESS);
}

// ---- renamed endpoints ----

struct EndpointRow {
    ULONG Kind;  // the kind the endpoint reports now
    bool Capture;
    const char16_t* Name;
    bool Changed;
    NTSTATUS UnregisterStatus = STATUS_SUCCESS;
};

class Uac1RenameTest : public kvxtest::Uac1FunctionFixture {
protected:
    NTSTATUS InitWith(const std::vector<EndpointRow>& rows)
    {
        PlugDevice(kvxtest::FunctionDevice());
        m_endpoints.clear();
        m_terminals.clear();
        return InitDevice({}, [&, rows](TestFunction* f) {
            for (const EndpointRow& row : rows) {
                TestEndpoint* endpoint = AddEndpoint(f, row.Kind, row.Capture, row.Name);
                endpoint->UnregisterStatus = row.UnregisterStatus;
                TestEntity* terminal = AddEntity(f, nullptr, f->GetEntityCount(), ENTITY_MULTI_OUTPUT_TERMINAL);
                terminal->Changed = row.Changed ? 1 : 0;
                endpoint->AddEntity(terminal);
                m_endpoints.push_back(endpoint);
                m_terminals.push_back(terminal);
            }
            return STATUS_SUCCESS;
        });
    }
    std::vector<std::string> Names()
    {
        std::vector<std::string> names;
        for (TestEndpoint* endpoint : m_endpoints) {
            names.push_back(endpoint->Name());
        }
        return names;
    }

    std::vector<TestEndpoint*> m_endpoints;
    std::vector<TestEntity*> m_terminals;
};

TEST_F(Uac1RenameTest, ASwitchedEndpointTakesTheNameOfItsNewKindAndNoOtherEndpointsName)
{
    struct Case {
        const char* Name;
        std::vector<EndpointRow> Endpoints;
        UCHAR RenderHeadphones, CaptureLine;  // the start-up counters
        NTSTATUS Status;
        Strings Names;
        Strings Journal;
    } cases[] = {
        {"a kind no endpoint had at start", {{ENDPOINT_KIND_HEADPHONES, false, u"SPKOut00", true}}, 0, 0,
         STATUS_SUCCESS, {"HPOut00"}, {"unregister SPKOut00", "register HPOut00 on"}},
        {"the one endpoint of that kind switched back", {{ENDPOINT_KIND_HEADPHONES, false, u"SPKOut00", true}}, 1, 0,
         STATUS_SUCCESS, {"HPOut00"}, {"unregister SPKOut00", "register HPOut00 on"}},
        {"another endpoint carries the number", {{ENDPOINT_KIND_HEADPHONES, false, u"HPOut00", false},
                                                  {ENDPOINT_KIND_HEADPHONES, false, u"SPKOut00", true}},
         1, 0, STATUS_SUCCESS, {"HPOut00", "HPOut01"}, {"unregister SPKOut00", "register HPOut01 on"}},
        {"the smallest free number", {{ENDPOINT_KIND_HEADPHONES, false, u"HPOut01", false},
                                      {ENDPOINT_KIND_HEADPHONES, false, u"SPKOut00", true},
                                      {ENDPOINT_KIND_HEADPHONES, false, u"HPOut03", false}},
         2, 0, STATUS_SUCCESS, {"HPOut01", "HPOut00", "HPOut03"}, {"unregister SPKOut00", "register HPOut00 on"}},
        {"capture counts its own kinds", {{ENDPOINT_KIND_LINE, true, u"MicIn00", true}}, 5, 3, STATUS_SUCCESS,
         {"LineIn02"}, {"unregister MicIn00", "register LineIn02 on"}},
        {"nothing changed", {{ENDPOINT_KIND_HEADPHONES, false, u"SPKOut00", false}}, 0, 0, STATUS_SUCCESS,
         {"SPKOut00"}, {}},
        {"no endpoints", {}, 0, 0, STATUS_UNSUCCESSFUL, {}, {}},
        {"a failed unregistration ends the pass",
         {{ENDPOINT_KIND_HEADPHONES, false, u"SPKOut00", true, STATUS_INVALID_DEVICE_STATE},
          {ENDPOINT_KIND_HEADPHONES, false, u"SPKOut01", true}},
         0, 0, STATUS_INVALID_DEVICE_STATE, {"SPKOut00", "SPKOut01"}, {"unregister SPKOut00"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        ASSERT_EQ(InitWith(c.Endpoints), STATUS_SUCCESS);
        Extension()->RenderNameCounters[ENDPOINT_KIND_HEADPHONES] = c.RenderHeadphones;
        Extension()->CaptureNameCounters[ENDPOINT_KIND_LINE] = c.CaptureLine;
        TheJournal().Clear();
        EXPECT_EQ(m_function->ReRegisterEndpoints(0), c.Status);
        EXPECT_EQ(Names(), c.Names);
        EXPECT_EQ(Journal(), c.Journal);
        TearDown();
        SetUp();
    }
}

// The status thread's endpoint pass and a re-registration from the topology run on two threads;
// neither may find an endpoint's wave subdevice half handled by the other.
struct StressContext {
    TestFunction* Function;
    TestEntity* Terminal;
    int Rounds;
    bool Rename;
};

VOID StressThread(PVOID context)
{
    auto* c = static_cast<StressContext*>(context);
    for (int i = 0; i < c->Rounds; ++i) {
        if (c->Rename) {
            c->Terminal->Changed = 1;
            c->Function->ReRegisterEndpoints(0);
        } else {
            c->Function->OnStatusChange(3);
        }
    }
    PsTerminateSystemThread(STATUS_SUCCESS);
}

TEST_F(Uac1RenameTest, TheStatusPassAndARenameNeverOverlapOnAnEndpoint)
{
    TestEndpoint* endpoint = nullptr;
    TestEntity* terminal = nullptr;
    PlugDevice(kvxtest::FunctionDevice());
    ASSERT_EQ(InitDevice(
                  [&](TestFunction* f) {
                      AddUnit(f, 3, 3);
                      return STATUS_SUCCESS;
                  },
                  [&](TestFunction* f) {
                      endpoint = AddEndpoint(f, ENDPOINT_KIND_HEADPHONES, false, u"HPOut00");
                      terminal = AddEntity(f, nullptr, 0, ENTITY_MULTI_OUTPUT_TERMINAL);
                      endpoint->AddEntity(terminal);
                      return STATUS_SUCCESS;
                  }),
              STATUS_SUCCESS);
    StressContext contexts[2] = {{m_function, terminal, 200, true}, {m_function, terminal, 200, false}};
    PVOID threads[2] = {};
    for (int i = 0; i < 2; ++i) {
        HANDLE handle = nullptr;
        ASSERT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, StressThread, &contexts[i]),
                  STATUS_SUCCESS);
        ASSERT_EQ(ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, *PsThreadType, KernelMode, &threads[i], nullptr),
                  STATUS_SUCCESS);
        ZwClose(handle);
    }
    EXPECT_EQ(KeWaitForMultipleObjects(2, threads, WaitAll, Executive, KernelMode, FALSE, nullptr, nullptr),
              STATUS_SUCCESS);
    for (PVOID thread : threads) {
        ObDereferenceObject(thread);
    }
    EXPECT_EQ(endpoint->MostInside.load(), 1);
    EXPECT_EQ(endpoint->Registered, 1);
    EXPECT_EQ(endpoint->Name(), "HPOut00");
    EXPECT_EQ(Lines("unregister").size(), 200u);
}

}  // namespace
