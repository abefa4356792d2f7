// Test-only: UAC1 units over a simulated device. The owner is a small function stand-in that also
// answers the function's output interface (so that multi-output entities can switch) and records
// the capability kinds asked for. Descriptors are handed over in pool blocks of exactly bLength
// bytes, as the units keep them: the pool's guard bytes right after a block (0xA7) would read as
// announced controls and source ids, so a read past bLength shows in the results.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "platform/nt/Pool.h"
#include "tests/topology/UsbUnitFixture.h"
#include "topology/UsbTerminalEntities.h"

namespace kvxtest {

constexpr ULONG TEST_DESCRIPTOR_TAG = MakePoolTag("Tdsc");

// The AudioControl interface of the fixture's device.
constexpr uint16_t AC = 0;

class FunctionOwner : public TestOwner {
public:
    NTSTATUS NonDelegatingQueryInterface(REFIID iid, PVOID* ppvObject) override
    {
        if (ppvObject != nullptr && IsEqualGUID(iid, IID_IUsbAudioFunction)) {
            *ppvObject = static_cast<IUsbAudioFunctionOutputs*>(&m_outputs);
            GetNonDelegatingUnknown()->AddRef();
            return STATUS_SUCCESS;
        }
        return TestOwner::NonDelegatingQueryInterface(iid, ppvObject);
    }
    NTSTATUS GetCapabilities(BOOLEAN capture, ULONG kind, AudioCapabilities* caps) override
    {
        CapabilityKinds.push_back({capture != FALSE, kind});
        std::memset(caps, 0, sizeof *caps);
        caps->Value = 0x100 + kind;
        return STATUS_SUCCESS;
    }

    std::vector<std::pair<bool, ULONG>> CapabilityKinds;
    std::vector<ULONG> ReRegistered;

private:
    class Outputs : public IUsbAudioFunctionOutputs {
    public:
        explicit Outputs(FunctionOwner* owner) : m_owner(owner) {}
        NTSTATUS QueryInterface(REFIID iid, PVOID* ppv) override { return m_owner->QueryInterface(iid, ppv); }
        ULONG AddRef() override { return m_owner->AddRef(); }
        ULONG Release() override { return m_owner->Release(); }
        NTSTATUS ReRegisterEndpoints(ULONG unitId) override
        {
            m_owner->ReRegistered.push_back(unitId);
            return STATUS_SUCCESS;
        }
        NTSTATUS GetCallbackObject(PVOID* callback) override
        {
            *callback = m_owner->GetCallbackObject();
            return STATUS_SUCCESS;
        }

    private:
        FunctionOwner* m_owner;
    };
    Outputs m_outputs{this};
};

// A descriptor in a pool block of exactly its bytes.
struct PoolDescriptor {
    explicit PoolDescriptor(const std::vector<UCHAR>& bytes)
    {
        Data = static_cast<PUCHAR>(ExAllocatePoolWithTag(PagedPool, bytes.size(), TEST_DESCRIPTOR_TAG));
        std::memcpy(Data, bytes.data(), bytes.size());
    }
    ~PoolDescriptor() { ExFreePoolWithTag(Data, TEST_DESCRIPTOR_TAG); }
    PoolDescriptor(const PoolDescriptor&) = delete;
    PoolDescriptor& operator=(const PoolDescriptor&) = delete;
    PUCHAR Data;
};

class Uac1UnitFixture : public UsbUnitFixture {
protected:
    void SetUp() override
    {
        UsbUnitFixture::SetUp();
        if (HasFatalFailure()) {
            return;
        }
        // The same owner, with the function's output interface.
        m_owner->GetNonDelegatingUnknown()->Release();
        m_function = new (NonPagedPoolNx, TEST_OWNER_TAG) FunctionOwner();
        m_function->GetNonDelegatingUnknown()->AddRef();
        m_function->Bind(static_cast<IUsbDevice*>(m_usb));
        ASSERT_EQ(m_function->Init(nullptr, m_fdo, m_bus->Pdo(), m_bus->Pdo()), STATUS_SUCCESS);
        m_owner = m_function;
    }
    void TearDown() override
    {
        for (UsbAudioUnit* unit : m_units) {
            unit->GetNonDelegatingUnknown()->Release();
        }
        m_units.clear();
        UsbUnitFixture::TearDown();
    }

    // A unit of class U, released at the end of the test.
    template <typename U>
    U* Make()
    {
        auto* unit = new (NonPagedPoolNx, TEST_UNIT_TAG) U(nullptr, 0);
        unit->GetNonDelegatingUnknown()->AddRef();
        m_units.push_back(unit);
        return unit;
    }
    // InitFromDescriptor of a new unit over an exact-size copy of `bytes`.
    template <typename U>
    NTSTATUS Init(const std::vector<UCHAR>& bytes, U** created = nullptr)
    {
        U* unit = Make<U>();
        PoolDescriptor copy(bytes);
        const NTSTATUS status = unit->InitFromDescriptor(copy.Data, m_owner->Hal(), m_owner->Hal());
        if (created != nullptr) {
            *created = unit;
        }
        return status;
    }

    // A reply to IN requests of a unit: type 0xC1 vendor or 0xA1 class.
    void Answer(uint8_t type, uint8_t request, uint16_t value, uint8_t unit, std::vector<uint8_t> reply)
    {
        m_device->AddRaw({{type, request, static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8), AC, unit, 0, 0},
                          std::move(reply),
                          false});
    }
    void Vendor(uint8_t request, uint16_t value, uint8_t unit, std::vector<uint8_t> reply)
    {
        Answer(0xC1, request, value, unit, std::move(reply));
    }
    // The device changes its current output by itself.
    void DeviceSelectsOutput(uint8_t unit, uint16_t type)
    {
        USB_DEFAULT_PIPE_SETUP_PACKET s = {0x41, 0x81, 0x0800, static_cast<USHORT>(unit << 8 | AC), 2};
        UCHAR data[2] = {static_cast<UCHAR>(type), static_cast<UCHAR>(type >> 8)};
        m_device->Control(s, data, 2);
    }
    // Control requests to one unit since the log was last looked at with Since().
    std::vector<USB_DEFAULT_PIPE_SETUP_PACKET> RequestsTo(uint8_t unit, size_t from = 0)
    {
        std::vector<USB_DEFAULT_PIPE_SETUP_PACKET> out;
        const auto log = m_device->Log();
        for (size_t i = from; i < log.size(); ++i) {
            if (log[i].What == sim::RequestLogEntry::Kind::Control && (log[i].Setup.bmRequestType & 0x1F) == 1 &&
                (log[i].Setup.wIndex >> 8) == unit) {
                out.push_back(log[i].Setup);
            }
        }
        return out;
    }
    // The unit's entities, head (last added) first.
    std::vector<TopologyNode*> Entities(UsbAudioUnit* unit)
    {
        ULONG count = 0;
        unit->GetEntityCount(&count);
        std::vector<TopologyNode*> out;
        for (ULONG i = 0; i < count; ++i) {
            TopologyNode* e = nullptr;
            unit->GetEntity(i, &e);
            out.push_back(e);
        }
        return out;
    }
    std::vector<LONG> Types(UsbAudioUnit* unit)
    {
        std::vector<LONG> out;
        for (TopologyNode* e : Entities(unit)) {
            out.push_back(e->GetType());
        }
        return out;
    }

    FunctionOwner* m_function = nullptr;
    std::vector<UsbAudioUnit*> m_units;
};

inline std::vector<uint8_t> Le16(uint16_t v) { return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8)}; }

}  // namespace kvxtest
