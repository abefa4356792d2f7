#include <gtest/gtest.h>

#include "platform/nt/Callback.h"
#include "platform/nt/Pool.h"
#include "platform/nt/RtlString.h"
#include "tests/adapter/EntityDoubles.h"
#include "platform/nt/PoolHost.h"

namespace kvxtest {
namespace {

class AudioHalTest : public ::testing::Test {
protected:
    void SetUp() override { Log() = EntityLog{}; }

    // A registry whose Configure adds the given entities (the test's references move to it).
    TestHal* NewHal(std::vector<TopologyNode*> entities)
    {
        TestHal* hal = TestHal::New();
        hal->m_Configure = [entities](TestHal* h) {
            for (TopologyNode* e : entities) {
                const NTSTATUS status = h->AddEntity(e);
                e->Release();
                if (!NT_SUCCESS(status)) return status;
            }
            return STATUS_SUCCESS;
        };
        return hal;
    }
};

TEST_F(AudioHalTest, FindEntityReturnsTheLastMatchAndGettersTellABadIndexFromNoRegistry)
{
    TestHal* hal = NewHal({});
    TopologyNode* out = reinterpret_cast<TopologyNode*>(1);
    EXPECT_EQ(hal->GetEntity(0, &out), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(out, nullptr);
    StreamEngine* endpoint = reinterpret_cast<StreamEngine*>(1);
    EXPECT_EQ(hal->GetEndpoint(0, &endpoint), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(endpoint, nullptr);
    EXPECT_EQ(hal->GetEntityCount(), 0u);

    TestEntity* first = TestEntity::New(5, ENTITY_MUTE);
    TestEntity* other = TestEntity::New(6, ENTITY_MUTE);
    TestEntity* second = TestEntity::New(5, ENTITY_MUTE);
    hal->m_Configure = [&](TestHal* h) {
        for (TopologyNode* e : {static_cast<TopologyNode*>(first), static_cast<TopologyNode*>(other),
                                static_cast<TopologyNode*>(second)}) {
            h->AddEntity(e);
        }
        return STATUS_SUCCESS;
    };
    ASSERT_EQ(hal->Init(nullptr, nullptr, nullptr, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(hal->GetPowerState(), PowerDeviceD0);
    EXPECT_EQ(first->GetReferenceCount(), 2);  // the test's and the registry's

    ASSERT_EQ(hal->FindEntity(5, &out), STATUS_SUCCESS);
    EXPECT_EQ(out, second);
    EXPECT_EQ(hal->FindEntity(7, &out), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(hal->GetEntity(3, &out), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(hal->GetEntity(1, &out), STATUS_SUCCESS);
    EXPECT_EQ(out, other);
    EXPECT_EQ(hal->GetEndpoint(0, &endpoint), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(hal->AddEntity(nullptr), STATUS_INVALID_PARAMETER);

    hal->Start();
    hal->Stop();
    EXPECT_EQ(Log().Started, 3);
    EXPECT_EQ(Log().Stopped, 3);

    for (TestEntity* e : {first, other, second}) e->Release();
    EXPECT_EQ(hal->Release(), 0u);
}

// Entity ids of the fixture below: selector 1 with sources {2, 10}; chain 2 <- 3 <- 4 <- 99 (no
// such entity); 2 does not answer the branch interface, 3 and 4 do; 10 answers it but has two
// sources and so is not on a branch.
TEST_F(AudioHalTest, SelectorBranchesAreWiredUpstreamFirstWithTheirIndexAndCurrentInput)
{
    TestSelector* selector = TestSelector::New(1);
    const ULONG selectorSources[] = {2, 10};
    selector->SetSources(2, selectorSources);
    selector->m_ulSelected = 2;
    auto chained = [](ULONG id, ULONG source, bool branch) {
        TestEntity* e = TestEntity::New(id, ENTITY_MUTE);
        e->SetSources(1, &source);
        e->m_bBranch = branch;
        return e;
    };
    TestEntity* twoSources = TestEntity::New(10, ENTITY_MUTE);
    const ULONG both[] = {3, 4};
    twoSources->SetSources(2, both);
    twoSources->m_bBranch = true;
    TestHal* hal = NewHal({selector, chained(2, 3, false), chained(3, 4, true), chained(4, 99, true), twoSources});
    ASSERT_EQ(hal->Init(nullptr, nullptr, nullptr, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(Log().BranchAdded, (std::vector<ULONG>{4, 3}));
    EXPECT_EQ(Log().BranchIndex, (std::vector<ULONG>{1, 1}));
    EXPECT_EQ(Log().SelectedInput, (std::vector<ULONG>{2, 2}));
    hal->Release();
}

TEST_F(AudioHalTest, SelectorsWithMoreThanTenInputsAreLeftUnwired)
{
    for (ULONG inputs : {10u, 11u}) {
        SCOPED_TRACE(inputs);
        Log() = EntityLog{};
        std::vector<TopologyNode*> entities;
        TestSelector* selector = TestSelector::New(100);
        std::vector<ULONG> ids;
        for (ULONG i = 0; i < inputs; ++i) {
            ids.push_back(i + 1);
            TestEntity* e = TestEntity::New(i + 1, ENTITY_MUTE);
            const ULONG none = 999;
            e->SetSources(1, &none);
            e->m_bBranch = true;
            entities.push_back(e);
        }
        selector->SetSources(inputs, ids.data());
        entities.push_back(selector);
        TestHal* hal = NewHal(entities);
        ASSERT_EQ(hal->Init(nullptr, nullptr, nullptr, nullptr), STATUS_SUCCESS);
        EXPECT_EQ(Log().BranchAdded.size(), inputs == 10 ? 10u : 0u);
        if (inputs == 10) {
            EXPECT_EQ(Log().BranchIndex.back(), 10u);
        }
        hal->Release();
    }
}

TEST_F(AudioHalTest, ASourceChainThatLoopsEndsWithoutRunningAway)
{
    TestSelector* selector = TestSelector::New(1);
    const ULONG source = 2;
    selector->SetSources(1, &source);
    TestEntity* a = TestEntity::New(2, ENTITY_MUTE);
    TestEntity* b = TestEntity::New(3, ENTITY_MUTE);
    const ULONG toB = 3, toA = 2;
    a->SetSources(1, &toB);
    b->SetSources(1, &toA);
    b->m_bBranch = true;
    TestHal* hal = NewHal({selector, a, b});
    ASSERT_EQ(hal->Init(nullptr, nullptr, nullptr, nullptr), STATUS_SUCCESS);
    EXPECT_FALSE(Log().BranchAdded.empty());
    hal->Release();
}

TEST_F(AudioHalTest, AFailingRestoreStopsTheOthersAndFailsInitWithNothingKept)
{
    TestEntity* ok = TestEntity::New(1, ENTITY_MUTE);
    TestEntity* failing = TestEntity::New(2, ENTITY_MUTE);
    TestEntity* after = TestEntity::New(3, ENTITY_MUTE);
    failing->m_RestoreStatus = STATUS_DEVICE_NOT_CONNECTED;
    after->AddRef();  // watched after Init
    TestHal* hal = NewHal({ok, failing, after});
    EXPECT_EQ(hal->Init(nullptr, nullptr, nullptr, nullptr), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(Log().Restored, (std::vector<ULONG>{1, 2}));
    EXPECT_EQ(hal->GetEntityCount(), 0u);
    EXPECT_EQ(after->GetReferenceCount(), 1);  // the registry let go
    EXPECT_EQ(platform::PoolLiveCount(AUDIO_HAL_LIST_TAG), 0u);
    EXPECT_EQ(platform::PoolLiveCount(TEMP_NAME_TAG), 0u);
    after->Release();
    hal->Release();
}

// At a return to D0 every entity is restored past one the device refuses; the first failure is
// what the walk returns.
TEST_F(AudioHalTest, RestoreAtD0GoesPastAFailureAndReturnsTheFirst)
{
    TestEntity* entities[] = {TestEntity::New(1, ENTITY_MUTE), TestEntity::New(2, ENTITY_VOLUME),
                              TestEntity::New(3, ENTITY_SELECTOR), TestEntity::New(4, ENTITY_MUTE)};
    TestHal* hal = NewHal({entities[0], entities[1], entities[2], entities[3]});
    ASSERT_EQ(hal->Init(nullptr, nullptr, nullptr, nullptr), STATUS_SUCCESS);
    entities[1]->m_RestoreStatus = STATUS_DEVICE_NOT_CONNECTED;
    entities[2]->m_RestoreStatus = STATUS_IO_TIMEOUT;
    Log().Restored.clear();
    EXPECT_EQ(hal->RestoreEntities(TRUE), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(Log().Restored, (std::vector<ULONG>{1, 2, 3, 4}));
    Log().Restored.clear();
    EXPECT_EQ(hal->RestoreEntities(), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(Log().Restored, (std::vector<ULONG>{1, 2}));

    // The power path uses the walk that goes on.
    POWER_STATE state;
    state.DeviceState = PowerDeviceD3;
    hal->PowerChangeState(state);
    Log().Restored.clear();
    state.DeviceState = PowerDeviceD0;
    hal->PowerChangeState(state);
    EXPECT_EQ(Log().Restored, (std::vector<ULONG>{1, 2, 3, 4}));
    hal->Release();
}

void CountCall(PVOID context, PVOID, PVOID) { ++*static_cast<int*>(context); }

TEST_F(AudioHalTest, CallbackObjectServesSubscribersAndLeavesWithItsName)
{
    TestHal* hal = NewHal({});
    ASSERT_EQ(hal->Init(nullptr, nullptr, nullptr, nullptr), STATUS_SUCCESS);
    WCHAR name[64];
    RtlStringCbPrintfW(name, sizeof name, u"\\Callback\\AudioHalAddr%p", static_cast<AudioHal*>(hal));
    int calls = 0;
    PVOID registration = nullptr;
    ASSERT_EQ(hal->RegisterCallback(CountCall, &calls, &registration), STATUS_SUCCESS);
    EntityChangeMessage message{1, 1, 7, nullptr};
    ExNotifyCallback(hal->GetCallbackObject(), &message, nullptr);
    EXPECT_EQ(calls, 1);
    hal->UnregisterCallback(registration);
    platform::CallbackFailNextRegistration();
    EXPECT_EQ(hal->RegisterCallback(CountCall, &calls, &registration), STATUS_UNSUCCESSFUL);
    hal->Release();

    // Opening the name again finds nothing: a later registry at this address starts afresh.
    UNICODE_STRING text;
    RtlInitUnicodeString(&text, name);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &text, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    PCALLBACK_OBJECT reopened = nullptr;
    EXPECT_FALSE(NT_SUCCESS(ExCreateCallback(&reopened, &attributes, FALSE, TRUE)));
    EXPECT_EQ(platform::CallbackObjectCount(), 0u);
}

TEST_F(AudioHalTest, PowerChangesRestoreOnReturnToD0Only)
{
    TestHal* hal = NewHal({TestEntity::New(1, ENTITY_MUTE)});
    ASSERT_EQ(hal->Init(nullptr, nullptr, nullptr, nullptr), STATUS_SUCCESS);
    Log().Restored.clear();
    POWER_STATE state;
    state.DeviceState = PowerDeviceD0;
    hal->PowerChangeState(state);
    EXPECT_TRUE(Log().Restored.empty());
    state.DeviceState = PowerDeviceD3;
    hal->PowerChangeState(state);
    EXPECT_EQ(hal->GetPowerState(), PowerDeviceD3);
    state.DeviceState = PowerDeviceMaximum;
    hal->PowerChangeState(state);
    EXPECT_EQ(hal->GetPowerState(), PowerDeviceD3);
    state.DeviceState = PowerDeviceD0;
    hal->PowerChangeState(state);
    EXPECT_EQ(Log().Restored, std::vector<ULONG>{1});
    EXPECT_EQ(hal->GetPowerState(), PowerDeviceD0);

    DEVICE_CAPABILITIES caps{};
    EXPECT_EQ(hal->QueryDeviceCapabilities(&caps), STATUS_SUCCESS);
    EXPECT_EQ(caps.SurpriseRemovalOK, 1u);
    IAdapterPowerManagement* power = nullptr;
    ASSERT_EQ(hal->QueryInterface(IID_IAdapterPowerManagement, reinterpret_cast<PVOID*>(&power)), STATUS_SUCCESS);
    power->Release();
    hal->Release();
}

TEST_F(AudioHalTest, TopologyNodeSourcesAreCopiedAndClipped)
{
    TestEntity* e = TestEntity::New(1, ENTITY_MUTE);
    const ULONG three[] = {7, 8, 9};
    EXPECT_EQ(e->SetSources(2, nullptr), STATUS_INVALID_PARAMETER);
    ASSERT_EQ(e->SetSources(3, three), STATUS_SUCCESS);
    ULONG count = 8;
    ULONG out[8] = {};
    ASSERT_EQ(e->GetSources(&count, out), STATUS_SUCCESS);
    EXPECT_EQ(count, 3u);
    EXPECT_EQ(out[2], 9u);
    count = 2;
    out[2] = 0;
    ASSERT_EQ(e->GetSources(&count, out), STATUS_SUCCESS);
    EXPECT_EQ(out[2], 0u);
    EXPECT_EQ(e->GetSources(nullptr, out), STATUS_INVALID_PARAMETER);

    platform::PoolFailNextWithTag(TOPOLOGY_NODE_TAG);
    EXPECT_EQ(e->SetSources(3, three), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(e->GetSourceCount(), 0u);
    EXPECT_EQ(e->SetSources(0, nullptr), STATUS_SUCCESS);
    e->Release();
}

}  // namespace
}  // namespace kvxtest
