// Test-only: a started test adapter, an entity registry filled by the test, and the topology
// miniport installed as the device's start does it (PcNewPort, port Init, PcRegisterSubdevice),
// with a filter browser that sends every request.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "host/FilterBrowser.h"
#include "host/PnpManager.h"
#include "platform/nt/Debug.h"
#include "platform/portcls/PortClsHost.h"
#include "platform/registry/RegistryHost.h"
#include "tests/adapter/EntityDoubles.h"
#include "tests/support/TestAdapterDriver.h"
#include "tests/topology/TopologyDoubles.h"
#include "topology/ClockEntity.h"
#include "topology/LevelEntity.h"
#include "topology/MultiOutputTerminalEntity.h"
#include "topology/OnOffEntity.h"
#include "topology/ProcessingEntity.h"
#include "topology/SelectorEntity.h"
#include "topology/SoftwareMuteNode.h"
#include "topology/TerminalEntity.h"
#include "topology/TopologyAutomation.h"
#include "topology/TopologyMiniport.h"
#include "platform/nt/DebugHost.h"
#include "platform/nt/PoolHost.h"

namespace kvxtest {

// A processing block with settable parameters that records what it is asked.
class TestProcessing : public ProcessingEntity {
public:
    TestProcessing(PUNKNOWN outer, ULONG id, const GUID& name, ULONG parameters) : ProcessingEntity(outer, id)
    {
        m_NodeGuid = name;
        m_ulParameterCount = parameters;
        m_Values.assign(parameters, 0);
    }
    NTSTATUS SetEnable(UCHAR enable) override
    {
        m_ulEnable = enable;
        return STATUS_SUCCESS;
    }
    NTSTATUS GetParameters(ULONG first, ULONG count, PLONG values) override
    {
        for (ULONG i = 0; i < count; ++i) values[i] = m_Values[first + i];
        return STATUS_SUCCESS;
    }
    NTSTATUS SetParameters(ULONG first, ULONG count, const LONG* values) override
    {
        for (ULONG i = 0; i < count; ++i) m_Values[first + i] = values[i];
        ++m_SetCalls;
        return STATUS_SUCCESS;
    }
    std::vector<LONG> m_Values;
    int m_SetCalls = 0;
};

// A mixer (a SUM node) that counts the reads of its sources: the connection walk reads them once
// per walk of the node.
class CountingMixer : public MixerEntity {
public:
    CountingMixer(PUNKNOWN outer, ULONG id) : MixerEntity(outer, id) {}
    NTSTATUS GetSources(PULONG count, PULONG ids) override
    {
        ++m_Reads;
        return MixerEntity::GetSources(count, ids);
    }
    int m_Reads = 0;
};

inline InputTerminalEntity* NewInput(ULONG id, ULONG kind, std::vector<JackRecord> jacks = {})
{
    auto* t = NewObject<InputTerminalEntity>(id);
    EXPECT_EQ(t->Init(1, &kind, static_cast<ULONG>(jacks.size()), jacks.empty() ? nullptr : jacks.data()),
              STATUS_SUCCESS);
    return t;
}

inline OutputTerminalEntity* NewOutput(ULONG id, ULONG source, ULONG kind, std::vector<JackRecord> jacks = {})
{
    auto* t = NewObject<OutputTerminalEntity>(id);
    EXPECT_EQ(t->Init(source, 1, &kind, static_cast<ULONG>(jacks.size()), jacks.empty() ? nullptr : jacks.data()),
              STATUS_SUCCESS);
    return t;
}

template <typename T>
T* NewOnOff(ULONG id, ULONG source, ULONG channels)
{
    auto* e = NewObject<T>(id);
    EXPECT_EQ(e->Init(source, channels), STATUS_SUCCESS);
    return e;
}

template <typename T>
T* NewLevel(ULONG id, ULONG source, ULONG channels, LONG maximum = 0x000C0000, LONG minimum = -0x00600000,
            LONG step = 0x8000)
{
    auto* e = NewObject<T>(id);
    EXPECT_EQ(e->Init(source, channels, maximum, minimum, step), STATUS_SUCCESS);
    return e;
}

class TopologyFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        platform::RegistryReset();
        platform::SetSystemVersion(0x0A000000);
        TestAdapterReset();
        TestAdapter().InstallWave = false;
        m_pnp = std::make_unique<host::PnpManager>();
        ASSERT_EQ(m_pnp->LoadDriver(u"UsbAudioTest", TestAdapterDriverEntry), STATUS_SUCCESS);
        m_pdo = m_pnp->CreateUsbDevice(0xABCD, 0x1234, 0x0100);
        ASSERT_EQ(m_pnp->AddDevice(m_pdo), STATUS_SUCCESS);
        ASSERT_EQ(m_pnp->Start(m_pdo), STATUS_SUCCESS);
        m_fdo = m_pnp->TopOfStack(m_pdo);
        m_browser = std::make_unique<host::FilterBrowser>(m_fdo);
    }

    void TearDown() override
    {
        Uninstall();
        m_browser.reset();
        m_pnp.reset();
        EXPECT_EQ(platform::PcLivePortCount(), 0u);
        EXPECT_EQ(platform::PoolLiveCount(TOPOLOGY_MINIPORT_TAG), 0u);
    }

    // Fills a registry with the entities (the test's references move to it).
    void NewHal(std::vector<TopologyNode*> entities)
    {
        m_hal = TestHal::New();
        m_hal->m_Configure = [entities](TestHal* h) {
            NTSTATUS status = STATUS_SUCCESS;
            for (TopologyNode* e : entities) {
                if (NT_SUCCESS(status)) status = h->AddEntity(e);
                e->Release();
            }
            return status;
        };
        ASSERT_EQ(m_hal->Init(nullptr, m_fdo, nullptr, m_pdo), STATUS_SUCCESS);
    }

    // Creates the miniport and initialises its port; on success registers "GlobalTopo" and opens it.
    NTSTATUS Install(std::vector<TopologyNode*> entities)
    {
        NewHal(std::move(entities));
        return InstallOnHal();
    }

    NTSTATUS InstallOnHal()
    {
        EXPECT_EQ(PcNewPort(&m_port, CLSID_PortTopology), STATUS_SUCCESS);
        EXPECT_EQ(CreateMiniportTopology(&m_miniport, GUID_NULL, nullptr, NonPagedPoolNx), STATUS_SUCCESS);
        const NTSTATUS status = m_port->Init(m_fdo, nullptr, m_miniport, static_cast<IAudioHal*>(m_hal), nullptr);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        EXPECT_EQ(PcRegisterSubdevice(m_fdo, u"GlobalTopo", m_port), STATUS_SUCCESS);
        m_registered = true;
        m_filter = m_browser->Open(u"GlobalTopo");
        EXPECT_NE(m_filter, nullptr);
        return status;
    }

    void Uninstall()
    {
        if (m_filter != nullptr) {
            m_browser->Close(m_filter);
            m_filter = nullptr;
        }
        if (m_registered) {
            IUnregisterSubdevice* unregister = nullptr;
            ASSERT_EQ(m_port->QueryInterface(IID_IUnregisterSubdevice, reinterpret_cast<PVOID*>(&unregister)),
                      STATUS_SUCCESS);
            EXPECT_EQ(unregister->UnregisterSubdevice(m_fdo, m_port), STATUS_SUCCESS);
            unregister->Release();
            m_registered = false;
        }
        for (PUNKNOWN* pp : {reinterpret_cast<PUNKNOWN*>(&m_port), &m_miniport}) {
            if (*pp != nullptr) {
                (*pp)->Release();
                *pp = nullptr;
            }
        }
        if (m_hal != nullptr) {
            m_hal->Release();
            m_hal = nullptr;
        }
    }

    TopologyMiniport* Miniport() { return static_cast<TopologyMiniport*>(Topology()); }
    IMiniportTopology* Topology()
    {
        PVOID p = nullptr;
        m_miniport->QueryInterface(IID_IMiniportTopology, &p);
        static_cast<PUNKNOWN>(p)->Release();
        return static_cast<IMiniportTopology*>(p);
    }

    // Sends an EntityChangeMessage-shaped notification on the registry's callback object.
    void Notify(const ULONG (&message)[4]) { ExNotifyCallback(m_hal->GetCallbackObject(), const_cast<ULONG*>(message), nullptr); }

    host::FilterBrowser& Browser() { return *m_browser; }

    std::unique_ptr<host::PnpManager> m_pnp;
    std::unique_ptr<host::FilterBrowser> m_browser;
    PDEVICE_OBJECT m_pdo = nullptr;
    PDEVICE_OBJECT m_fdo = nullptr;
    TestHal* m_hal = nullptr;
    PPORT m_port = nullptr;
    PUNKNOWN m_miniport = nullptr;
    PFILE_OBJECT m_filter = nullptr;
    bool m_registered = false;
};

}  // namespace kvxtest
