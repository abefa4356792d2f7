// The UAC2 function's re-registration of an endpoint whose output kind changed: unregistered,
// renamed, then, after the "UpdateMiniportDelay" the settings hold (at most 10 s), registered
// again; and its status dispatch to terminals and units, on test units and endpoints.
#include <gtest/gtest.h>

#include <mutex>

#include "adapter/SettingsStore.h"
#include "platform/nt/Clock.h"
#include "platform/nt/ThreadHost.h"
#include "tests/platform/nt/SystemThreadHelper.h"
#include "tests/usb/Uac1FunctionFixture.h"
#include "usb/Uac2Function.h"

namespace kvxtest {
namespace {

// The UAC2 function with the test's builder as its streaming parser.
class TestUac2Function : public Uac2Function {
public:
    using Builder = std::function<NTSTATUS(TestUac2Function*)>;
    TestUac2Function(PUNKNOWN outer, USHORT vendor, USHORT product, Builder endpoints)
        : Uac2Function(outer, vendor, product), m_endpoints(std::move(endpoints))
    {
    }
    NTSTATUS ParseAudioControl(PUSB_INTERFACE_DESCRIPTOR, ULONG) override { return STATUS_SUCCESS; }
    NTSTATUS ParseAudioStreaming(PUSB_CONFIGURATION_DESCRIPTOR, PUSB_INTERFACE_DESCRIPTOR, ULONG) override
    {
        return m_endpoints ? m_endpoints(this) : STATUS_SUCCESS;
    }
    IAudioHal* Hal() { return static_cast<IAudioHal*>(this); }

private:
    Builder m_endpoints;
};

class TestUac2Device : public UsbAudioDevice {
public:
    NTSTATUS CreateFunction() override
    {
        auto* function =
            new (NonPagedPoolNx, TEST_DOUBLE_TAG) TestUac2Function(GetOuterUnknown(), VendorId(), ProductId(), Endpoints);
        if (function == nullptr) {
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        function->GetNonDelegatingUnknown()->AddRef();
        Function = function;
        return BindFunction(function->GetNonDelegatingUnknown());
    }
    TestUac2Function::Builder Endpoints;
    TestUac2Function* Function = nullptr;
};

class Uac2ReRegisterTest : public BusFixture {
protected:
    void SetUp() override { TheJournal().Clear(); }
    void TearDown() override
    {
        m_harness.Stop(true);
        m_usb = nullptr;
        m_fdo = nullptr;
        BusFixture::TearDown();
        TheJournal().Clear();
    }

    // A render endpoint "SPKOut00" whose path holds a multi-output terminal entity, and the units
    // of a terminal (id 3, entity 12) and a feature unit (id 5, entity 10).
    NTSTATUS InitDevice()
    {
        sim::DescriptorBuilder b;
        b.AudioControl(0, 0x20, {1}).Endpoint(0x83, 0x03, 6, 4, false).AudioStreaming(1, 0, 0x20);
        Plug(b);
        const TestUac2Function::Builder endpoints = [&](TestUac2Function* f) {
            m_endpoint = new (NonPagedPoolNx, TEST_DOUBLE_TAG) TestEndpoint(ENDPOINT_KIND_SPEAKER);
            m_endpoint->AddRef();
            EXPECT_EQ(m_endpoint->Init(FALSE), STATUS_SUCCESS);
            EXPECT_EQ(m_endpoint->SetName(u"SPKOut00"), STATUS_SUCCESS);
            EXPECT_EQ(f->AddEndpoint(m_endpoint), STATUS_SUCCESS);
            m_endpoint->Release();
            m_switch = AddEntity(f, nullptr, 20, ENTITY_MULTI_OUTPUT_TERMINAL);
            m_endpoint->AddEntity(m_switch);
            AddEntity(f, AddUnit(f, 3, USB_AUDIO_AC_OUTPUT_TERMINAL), 12, ENTITY_OUTPUT_TERMINAL);
            m_feature = AddUnit(f, 5, USB_AUDIO_AC_FEATURE_UNIT);
            AddEntity(f, m_feature, 10, ENTITY_VOLUME);
            return STATUS_SUCCESS;
        };
        DeviceObjectOptions options;
        options.AdapterExtension = true;
        options.Create = [&](IAudioHal** hal) {
            m_usb = new (NonPagedPoolNx, TEST_DOUBLE_TAG) TestUac2Device();
            static_cast<IAudioHal*>(m_usb)->AddRef();
            m_usb->Endpoints = endpoints;
            *hal = m_usb;
            return STATUS_SUCCESS;
        };
        const NTSTATUS status = m_harness.Start(*m_device, m_bus->Pdo(), options);
        m_fdo = m_harness.Fdo();
        m_function = m_usb->Function;
        return status;
    }
    static TestUnit* AddUnit(TestUac2Function* f, ULONG id, LONG type)
    {
        auto* unit = new (NonPagedPoolNx, TEST_DOUBLE_TAG) TestUnit(id, type);
        unit->AddRef();
        EXPECT_EQ(unit->Attach(f->Hal()), STATUS_SUCCESS);
        EXPECT_EQ(f->AddUnit(unit), STATUS_SUCCESS);
        unit->Release();
        return unit;
    }
    static TestEntity* AddEntity(TestUac2Function* f, TestUnit* unit, ULONG id, LONG type)
    {
        auto* entity = new (NonPagedPoolNx, TEST_DOUBLE_TAG) TestEntity(id, type);
        entity->AddRef();
        EXPECT_EQ(f->AddEntity(entity), STATUS_SUCCESS);
        if (unit != nullptr) {
            EXPECT_EQ(unit->AddEntity(entity), STATUS_SUCCESS);
        }
        entity->Release();
        return entity;
    }

    DeviceObjectHarness m_harness;
    PDEVICE_OBJECT m_fdo = nullptr;
    TestUac2Device* m_usb = nullptr;
    TestUac2Function* m_function = nullptr;
    TestEndpoint* m_endpoint = nullptr;
    TestEntity* m_switch = nullptr;
    TestUnit* m_feature = nullptr;
};

TEST_F(Uac2ReRegisterTest, TheNewNameWaitsTheMiniportDelayHeldToTenSeconds)
{
    struct Row {
        const char* Name;
        std::optional<ULONG> Delay;
        int64_t ExpectedMs;
    } rows[] = {
        {"no value: no wait", std::nullopt, 0},
        {"200 ms", 200, 200},
        {"above what 32 bits of 100 ns hold", 300000, 10000},
        {"the largest value", 0xFFFFFFFF, 10000},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.Name);
        ASSERT_EQ(InitDevice(), STATUS_SUCCESS);
        if (row.Delay) {
            ULONG value = *row.Delay;
            ASSERT_EQ(AccessSettingsBinary(m_fdo, SETTINGS_WRITE, &value, sizeof value, u"UpdateMiniportDelay"),
                      STATUS_SUCCESS);
        }
        m_switch->Changed = 1;
        TheJournal().Clear();
        const int64_t before = platform::ClockNow();
        EXPECT_EQ(m_function->ReRegisterEndpoints(0), STATUS_SUCCESS);
        EXPECT_EQ((platform::ClockNow() - before) / 10000, row.ExpectedMs);
        EXPECT_EQ(TheJournal().Lines(), std::vector<std::string>({"unregister SPKOut00", "register SPKOut00 on"}));
        // Nothing changed since: nothing to do, at once.
        TheJournal().Clear();
        const int64_t again = platform::ClockNow();
        EXPECT_EQ(m_function->ReRegisterEndpoints(0), STATUS_SUCCESS);
        EXPECT_EQ(platform::ClockNow(), again);
        EXPECT_TRUE(TheJournal().Lines().empty());
        TearDown();
        SetUp();
    }
}

// A jack event while a renamed endpoint waits for the miniport goes through at once: the wait
// holds no endpoint lock.
TEST_F(Uac2ReRegisterTest, AJackPassDoesNotWaitBehindTheMiniportDelay)
{
    ASSERT_EQ(InitDevice(), STATUS_SUCCESS);
    ULONG value = 10000;
    ASSERT_EQ(AccessSettingsBinary(m_fdo, SETTINGS_WRITE, &value, sizeof value, u"UpdateMiniportDelay"), STATUS_SUCCESS);
    m_switch->Changed = 1;
    TheJournal().Clear();
    const int64_t before = platform::ClockNow();
    NTSTATUS renamed = STATUS_PENDING;
    {
        SystemThread renamer([&] { renamed = m_function->ReRegisterEndpoints(0); });
        ASSERT_TRUE(platform::RunUntil([] { return !TheJournal().Lines().empty(); }, std::chrono::seconds(1)));
        const int64_t jack = platform::ClockNow();
        EXPECT_EQ(m_function->OnStatusChange(3, 0x02, 0), STATUS_SUCCESS);
        EXPECT_EQ(platform::ClockNow(), jack);
    }
    EXPECT_EQ(renamed, STATUS_SUCCESS);
    EXPECT_EQ((platform::ClockNow() - before) / 10000, 10000);
}

// A unit whose handler succeeds without naming an entity (a control it has no entity for).
class SilentUnit : public TestUnit {
public:
    using TestUnit::TestUnit;
    NTSTATUS HandleStatusChange(ULONG, ULONG, PULONG) override
    {
        TheJournal().Add("unit " + std::to_string(GetId()));
        return STATUS_SUCCESS;
    }
};

struct Messages {
    std::mutex Lock;
    std::vector<ULONG> Ids;
    static VOID Record(PVOID context, PVOID argument1, PVOID)
    {
        auto* self = static_cast<Messages*>(context);
        std::lock_guard<std::mutex> guard(self->Lock);
        self->Ids.push_back(static_cast<const EntityChangeMessage*>(argument1)->EntityId);
    }
};

// Terminals re-evaluate the endpoints on a Connectors change only; other units announce the
// entity their handler names, and nothing when it names none.
TEST_F(Uac2ReRegisterTest, StatusChangesOfTerminalsAndUnits)
{
    ASSERT_EQ(InitDevice(), STATUS_SUCCESS);
    auto* silent = new (NonPagedPoolNx, TEST_DOUBLE_TAG) SilentUnit(6, USB_AUDIO_AC_SELECTOR_UNIT);
    silent->AddRef();
    ASSERT_EQ(silent->Attach(m_function->Hal()), STATUS_SUCCESS);
    ASSERT_EQ(m_function->AddUnit(silent), STATUS_SUCCESS);
    silent->Release();
    Messages messages;
    PVOID registration = nullptr;
    ASSERT_EQ(m_function->RegisterCallback(Messages::Record, &messages, &registration), STATUS_SUCCESS);
    struct Row {
        const char* Name;
        ULONG Entity, Selector;
        NTSTATUS Status;
        std::vector<std::string> Journal;
    } rows[] = {
        {"a terminal's Connectors", 3, 0x02, STATUS_SUCCESS, {"unit 3", "register SPKOut00 on"}},
        {"a terminal's other control", 3, 0x08, STATUS_SUCCESS, {"unit 3"}},
        {"a feature unit", 5, 0x02, STATUS_SUCCESS, {"unit 5"}},
        {"a unit that names no entity", 6, 0x01, STATUS_SUCCESS, {"unit 6"}},
        {"an entity no unit carries", 9, 0x02, STATUS_UNSUCCESSFUL, {}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.Name);
        TheJournal().Clear();
        EXPECT_EQ(m_function->OnStatusChange(row.Entity, row.Selector, 0), row.Status);
        EXPECT_EQ(TheJournal().Lines(), row.Journal);
    }
    // A unit whose handler fails sends nothing further.
    m_feature->HandleStatus = STATUS_NOT_SUPPORTED;
    TheJournal().Clear();
    EXPECT_EQ(m_function->OnStatusChange(5, 0x02, 0), STATUS_NOT_SUPPORTED);
    // One message in all: the feature unit's, for the entity its handler named (0).
    {
        std::lock_guard<std::mutex> guard(messages.Lock);
        EXPECT_EQ(messages.Ids, std::vector<ULONG>({0}));
    }
    m_function->UnregisterCallback(registration);
}

// Low power ends the status thread; D0 restores the entities (no chip registers), powers and
// registers the endpoints again and starts the thread again. The entities are never stopped.
TEST_F(Uac2ReRegisterTest, LowPowerStopsTheThreadAndD0RestoresAndRegistersAgain)
{
    ASSERT_EQ(InitDevice(), STATUS_SUCCESS);
    ASSERT_EQ(static_cast<IAudioHal*>(m_usb)->Start(), STATUS_SUCCESS);
    ASSERT_NE(m_function->InterruptPipeIndex(), NO_INTERRUPT_PIPE);
    const size_t threads = platform::ThreadLiveCount();
    auto power = [&](DEVICE_POWER_STATE state) {
        TheJournal().Clear();
        POWER_STATE p;
        p.DeviceState = state;
        m_function->PowerChangeState(p);
        return TheJournal().Lines();
    };
    using Strings = std::vector<std::string>;
    EXPECT_EQ(power(PowerDeviceD3), (Strings{"power SPKOut00 D3"}));
    EXPECT_EQ(m_function->InterruptPipeIndex(), NO_INTERRUPT_PIPE);
    EXPECT_EQ(platform::ThreadLiveCount(), threads - 1);
    EXPECT_EQ(power(PowerDeviceD3), Strings{});
    EXPECT_EQ(power(PowerDeviceMaximum), Strings{});
    EXPECT_EQ(m_function->GetPowerState(), PowerDeviceD3);

    EXPECT_EQ(power(PowerDeviceD0),
              (Strings{"restore 20", "restore 12", "restore 10", "power SPKOut00 D0", "register SPKOut00 on"}));
    EXPECT_NE(m_function->InterruptPipeIndex(), NO_INTERRUPT_PIPE);
    EXPECT_EQ(platform::ThreadLiveCount(), threads);
    EXPECT_EQ(m_function->GetPowerState(), PowerDeviceD0);
}

}  // namespace
}  // namespace kvxtest
