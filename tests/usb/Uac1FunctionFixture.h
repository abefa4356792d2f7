// Test-only: the UAC1 function on a simulated device, with test units, entities and endpoints in
// place of what the descriptor parsers build. The device object is the real one; its function is
// the real UAC1 function whose two parse operations call the test's builders. Every double
// writes what was asked of it into one journal, which the status thread writes too.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "adapter/AdapterExtension.h"
#include "adapter/StreamEngine.h"
#include "platform/io/IoHost.h"
#include "platform/nt/Clock.h"
#include "platform/registry/RegistryHost.h"
#include "tests/platform/usb/BusFixture.h"
#include "tests/support/DeviceObjectHarness.h"
#include "topology/UsbAudioUnit.h"
#include "usb/Uac1Function.h"
#include "usb/UsbAudioDevice.h"

namespace kvxtest {

constexpr ULONG TEST_DOUBLE_TAG = MakePoolTag("Tf1 ");

// What the doubles were asked, in order ("refresh 4", "unit 5", "register SPKOut00", ...).
class Journal {
public:
    void Add(std::string line)
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_lines.push_back(std::move(line));
    }
    std::vector<std::string> Lines()
    {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_lines;
    }
    void Clear()
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_lines.clear();
    }

private:
    std::mutex m_lock;
    std::vector<std::string> m_lines;
};
inline Journal& TheJournal()
{
    static Journal journal;
    return journal;
}

// An entity: records Refresh and Restore; of type 13 it answers IMultiOutputTerminal with a
// changed flag the test sets.
class TestEntity : public TopologyNode, public IMultiOutputTerminal {
public:
    DECLARE_UNKNOWN_BASE()

    TestEntity(ULONG id, LONG type) : TopologyNode(nullptr, id, type) {}

    NTSTATUS Refresh() override
    {
        TheJournal().Add("refresh " + std::to_string(GetId()));
        return RefreshStatus;
    }
    NTSTATUS Restore() override
    {
        TheJournal().Add("restore " + std::to_string(GetId()));
        return STATUS_SUCCESS;
    }

    // IMultiOutputTerminal
    NTSTATUS GetKind(PULONG kind) override
    {
        *kind = ENDPOINT_KIND_HEADPHONES;
        return STATUS_SUCCESS;
    }
    NTSTATUS GetKindCount(PULONG count) override
    {
        *count = 0;
        return STATUS_SUCCESS;
    }
    NTSTATUS GetKinds(PULONG) override { return STATUS_SUCCESS; }
    NTSTATUS SelectKind(ULONG) override { return STATUS_SUCCESS; }
    ULONG GetChangedFlag() override { return Changed.load(); }
    NTSTATUS ClearChangedFlag() override
    {
        Changed = 0;
        return STATUS_SUCCESS;
    }
    NTSTATUS AddLink(IEntityLink*) override { return STATUS_SUCCESS; }
    NTSTATUS Init(ULONG, ULONG, const ULONG*) override { return STATUS_SUCCESS; }

    NTSTATUS RefreshStatus = STATUS_SUCCESS;
    std::atomic<ULONG> Changed{0};
};

inline NTSTATUS TestEntity::NonDelegatingQueryInterface(REFIID iid, PVOID* ppvObject)
{
    if (ppvObject != nullptr && IsEqualGUID(iid, IID_IMultiOutputTerminal) && GetType() == ENTITY_MULTI_OUTPUT_TERMINAL) {
        return ReturnInterface(static_cast<IMultiOutputTerminal*>(this), ppvObject);
    }
    return TopologyNode::NonDelegatingQueryInterface(iid, ppvObject);
}

// A unit of the given id and descriptor subtype; records its status changes.
class TestUnit : public UsbAudioUnit {
public:
    TestUnit(ULONG id, LONG type) : UsbAudioUnit(nullptr, 0), m_Id(id), m_Type(type) {}

    NTSTATUS Attach(IAudioHal* owner)
    {
        const UCHAR descriptor[] = {4, USB_AUDIO_CS_INTERFACE, static_cast<UCHAR>(m_Type), static_cast<UCHAR>(m_Id)};
        const NTSTATUS status = SetDescriptor(descriptor, owner);
        m_ulId = m_Id;
        m_lType = m_Type;
        return status;
    }
    NTSTATUS HandleStatusChange(ULONG, ULONG, PULONG id) override
    {
        TheJournal().Add("unit " + std::to_string(GetId()));
        *id = 0;
        return HandleStatus;
    }

    NTSTATUS HandleStatus = STATUS_SUCCESS;

private:
    ULONG m_Id;
    LONG m_Type;
};

// An endpoint of a fixed kind: its wave subdevice is a flag (registered while present), and it
// counts how many callers are inside its registration at once.
class TestEndpoint : public StreamEngine {
public:
    explicit TestEndpoint(ULONG kind) : StreamEngine(nullptr, 1), Kind(kind) {}

    ULONG GetKind() override { return Kind; }
    NTSTATUS RegisterWave(PDEVICE_OBJECT, PIRP, PUNKNOWN adapter) override
    {
        Enter();
        Adapter = adapter;
        if (Present && Registered == 0) {
            ++Registered;
        } else if (!Present && Registered != 0) {
            --Registered;
        }
        TheJournal().Add("register " + Name() + (Registered != 0 ? " on" : " off"));
        Leave();
        return RegisterStatus;
    }
    NTSTATUS UnregisterWave(PDEVICE_OBJECT, PIRP, PUNKNOWN) override
    {
        Enter();
        if (Registered != 0) {
            --Registered;
        }
        TheJournal().Add("unregister " + Name());
        Leave();
        return UnregisterStatus;
    }
    NTSTATUS SetPowerState(DEVICE_POWER_STATE state) override
    {
        TheJournal().Add("power " + Name() + " D" + std::to_string(static_cast<int>(state) - 1));
        return STATUS_SUCCESS;
    }
    std::string Name()
    {
        WCHAR name[100] = {};
        GetName(name);
        std::string out;
        for (PCWSTR p = name; *p != 0; ++p) {
            out += static_cast<char>(*p);
        }
        return out;
    }

    ULONG Kind;
    bool Present = true;
    int Registered = 0;  // plain on purpose: concurrent registrations are a race
    PUNKNOWN Adapter = nullptr;
    NTSTATUS RegisterStatus = STATUS_SUCCESS;
    NTSTATUS UnregisterStatus = STATUS_SUCCESS;
    std::atomic<int> Inside{0};
    std::atomic<int> MostInside{0};

private:
    void Enter()
    {
        const int now = ++Inside;
        int most = MostInside.load();
        while (now > most && !MostInside.compare_exchange_weak(most, now)) {
        }
    }
    void Leave() { --Inside; }
};

// The UAC1 function with the test's builders as its parsers.
class TestFunction : public Uac1Function {
public:
    using Builder = std::function<NTSTATUS(TestFunction*)>;
    TestFunction(PUNKNOWN outer, USHORT vendor, USHORT product, Builder units, Builder endpoints)
        : Uac1Function(outer, vendor, product), m_units(std::move(units)), m_endpoints(std::move(endpoints))
    {
    }
    NTSTATUS ParseAudioControl(PUSB_INTERFACE_DESCRIPTOR pInterface, ULONG) override
    {
        TheJournal().Add("parse control " + std::to_string(pInterface->bInterfaceNumber));
        return m_units ? m_units(this) : STATUS_SUCCESS;
    }
    NTSTATUS ParseAudioStreaming(PUSB_CONFIGURATION_DESCRIPTOR, PUSB_INTERFACE_DESCRIPTOR pInterface, ULONG) override
    {
        TheJournal().Add("parse streaming " + std::to_string(pInterface->bInterfaceNumber));
        return m_endpoints ? m_endpoints(this) : STATUS_SUCCESS;
    }
    NTSTATUS RestoreRegisters() override
    {
        TheJournal().Add("restore registers");
        return STATUS_SUCCESS;
    }
    IAudioHal* Hal() { return static_cast<IAudioHal*>(this); }
    LockObject& EndpointLock() { return m_EndpointLock; }

private:
    Builder m_units;
    Builder m_endpoints;
};

class TestDevice : public UsbAudioDevice {
public:
    NTSTATUS CreateFunction() override
    {
        auto* function = new (NonPagedPoolNx, TEST_DOUBLE_TAG)
            TestFunction(GetOuterUnknown(), VendorId(), ProductId(), Units, Endpoints);
        if (function == nullptr) {
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        function->GetNonDelegatingUnknown()->AddRef();
        Function = function;
        return BindFunction(function->GetNonDelegatingUnknown());
    }
    TestFunction::Builder Units;
    TestFunction::Builder Endpoints;
    TestFunction* Function = nullptr;
};

// A UAC1 device: AudioControl 0 (with an interrupt IN endpoint of `interruptPacket` bytes unless
// 0) and one AudioStreaming interface.
inline sim::DescriptorBuilder FunctionDevice(uint16_t interruptPacket = 2, sim::DeviceIdentity identity = {})
{
    sim::DescriptorBuilder b(identity);
    b.AudioControl(0, 0, {1}).Uac1InputTerminal(1, 0x0101, 2).Uac1OutputTerminal(3, 0x0301, 1);
    if (interruptPacket != 0) {
        b.Endpoint(0x83, 0x03, interruptPacket, 8, false);
    }
    b.AudioStreaming(1, 0, 0);
    return b;
}

class Uac1FunctionFixture : public BusFixture {
protected:
    void SetUp() override { TheJournal().Clear(); }
    void TearDown() override
    {
        m_harness.Stop(true);
        m_usb = nullptr;
        m_function = nullptr;
        m_fdo = nullptr;
        BusFixture::TearDown();
        TheJournal().Clear();
    }

    // Plugs the device with a chip string that names no probe, unless `chipString` is false.
    void PlugDevice(const sim::DescriptorBuilder& builder, bool chipString = true)
    {
        Plug(builder);
        if (chipString) {
            m_device->SetString(0x50, u"chip");
        }
    }
    // Builds the stack over the plugged device and runs the device object's Init.
    NTSTATUS InitDevice(TestFunction::Builder units = {}, TestFunction::Builder endpoints = {})
    {
        DeviceObjectOptions options;
        options.AdapterExtension = true;
        options.Create = [&](IAudioHal** hal) {
            m_usb = new (NonPagedPoolNx, TEST_DOUBLE_TAG) TestDevice();
            static_cast<IAudioHal*>(m_usb)->AddRef();
            m_usb->Units = std::move(units);
            m_usb->Endpoints = std::move(endpoints);
            *hal = m_usb;
            return STATUS_SUCCESS;
        };
        const NTSTATUS status = m_harness.Start(*m_device, m_bus->Pdo(), options);
        m_fdo = m_harness.Fdo();
        m_function = m_usb->Function;
        return status;
    }
    NTSTATUS StartDevice() { return static_cast<IAudioHal*>(m_usb)->Start(); }
    NTSTATUS StopDevice() { return static_cast<IAudioHal*>(m_usb)->Stop(); }

    // Builders of the doubles, owned by the function's lists afterwards.
    static TestUnit* AddUnit(TestFunction* function, ULONG id, LONG type)
    {
        auto* unit = new (NonPagedPoolNx, TEST_DOUBLE_TAG) TestUnit(id, type);
        unit->AddRef();
        EXPECT_EQ(unit->Attach(function->Hal()), STATUS_SUCCESS);
        EXPECT_EQ(function->AddUnit(unit), STATUS_SUCCESS);
        unit->Release();
        return unit;
    }
    static TestEntity* AddEntity(TestFunction* function, TestUnit* unit, ULONG id, LONG type)
    {
        auto* entity = new (NonPagedPoolNx, TEST_DOUBLE_TAG) TestEntity(id, type);
        entity->AddRef();
        EXPECT_EQ(function->AddEntity(entity), STATUS_SUCCESS);
        if (unit != nullptr) {
            EXPECT_EQ(unit->AddEntity(entity), STATUS_SUCCESS);
        }
        entity->Release();
        return entity;
    }
    static TestEndpoint* AddEndpoint(TestFunction* function, ULONG kind, bool capture, const char16_t* name)
    {
        auto* endpoint = new (NonPagedPoolNx, TEST_DOUBLE_TAG) TestEndpoint(kind);
        endpoint->AddRef();
        EXPECT_EQ(endpoint->Init(capture ? TRUE : FALSE), STATUS_SUCCESS);
        EXPECT_EQ(endpoint->SetName(name), STATUS_SUCCESS);
        EXPECT_EQ(function->AddEndpoint(endpoint), STATUS_SUCCESS);
        endpoint->Release();
        return endpoint;
    }

    AdapterExtension* Extension() { return GetAdapterExtension(m_fdo); }
    LONG DeviceReferences() { return m_usb->GetReferenceCount(); }
    std::vector<std::string> Journal() { return TheJournal().Lines(); }
    // The journal's lines that start with `prefix`.
    std::vector<std::string> Lines(const std::string& prefix)
    {
        std::vector<std::string> out;
        for (const auto& line : Journal()) {
            if (line.rfind(prefix, 0) == 0) {
                out.push_back(line);
            }
        }
        return out;
    }
    bool WaitFor(const std::function<bool()>& condition)
    {
        return platform::RunUntil(condition, std::chrono::seconds(2));
    }

    DeviceObjectHarness m_harness;
    PDEVICE_OBJECT m_fdo = nullptr;
    TestDevice* m_usb = nullptr;
    TestFunction* m_function = nullptr;
};

}  // namespace kvxtest
