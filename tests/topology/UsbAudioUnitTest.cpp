#include <gtest/gtest.h>

#include "platform/nt/PoolHost.h"
#include "tests/topology/UsbUnitFixture.h"
#include "topology/LevelEntity.h"
#include "topology/MultiOutputTerminalEntity.h"
#include "topology/OnOffEntity.h"
#include "topology/TerminalEntity.h"

namespace {

using kvxtest::TestFeatureUnit;

class UsbAudioUnitTest : public kvxtest::UsbUnitFixture {
protected:
    std::vector<ULONG> Sources(TopologyNode* node)
    {
        std::vector<ULONG> ids(node->GetSourceCount());
        ULONG count = static_cast<ULONG>(ids.size());
        if (count != 0) {
            node->GetSources(&count, ids.data());
        }
        return ids;
    }
    std::vector<ULONG> ListIds(TestFeatureUnit* unit)
    {
        ULONG count = 0;
        EXPECT_EQ(unit->GetEntityCount(&count), STATUS_SUCCESS);
        std::vector<ULONG> ids;
        for (ULONG i = 0; i < count; ++i) {
            TopologyNode* e = nullptr;
            EXPECT_EQ(unit->GetEntity(i, &e), STATUS_SUCCESS);
            ids.push_back(e->GetId());
        }
        return ids;
    }
    // A unit whose Init runs `init` through the shared sequence.
    template <typename InitFn>
    TestFeatureUnit* UnitWith(InitFn init)
    {
        m_unit = new (NonPagedPoolNx, kvxtest::TEST_UNIT_TAG) TestFeatureUnit(nullptr, 0);
        m_unit->GetNonDelegatingUnknown()->AddRef();
        static const UCHAR descriptor[] = {7, 0x24, 0x06, 5, 1, 1, 0};
        EXPECT_EQ(m_unit->InitFrom(descriptor, m_owner->Hal(), init), STATUS_SUCCESS);
        return m_unit;
    }
};

TEST_F(UsbAudioUnitTest, AFeatureUnitsEntitiesRunFromInputToOutput)
{
    // One entity already registered: the unit numbers its own from the function's count.
    auto* other = new (NonPagedPoolNx, kvxtest::TEST_ENTITY_TAG) MuteEntity(nullptr, 0);
    ASSERT_EQ(m_owner->AddEntity(other), STATUS_SUCCESS);
    TestFeatureUnit* unit = UnitWith([&](IAudioHal* hal) {
        ULONG next = hal->GetEntityCount();
        NTSTATUS status = m_unit->Create<MuteEntity>(hal, &next, [](MuteEntity* e) { return e->Init(0, 2); },
                                                     static_cast<MuteEntity**>(nullptr));
        if (NT_SUCCESS(status)) {
            status = m_unit->Create<VolumeEntity>(hal, &next, [](VolumeEntity* e) { return e->Init(0, 2, 0, -100, 1); },
                                                  static_cast<VolumeEntity**>(nullptr));
        }
        return status;
    });
    EXPECT_EQ(unit->GetId(), 5u);
    EXPECT_EQ(unit->GetType(), 6);
    EXPECT_EQ(m_owner->GetEntityCount(), 3u);
    // Head is the last added (volume, id 2), tail the first (mute, id 1).
    EXPECT_EQ(ListIds(unit), (std::vector<ULONG>{2, 1}));
    ULONG first = 0;
    ASSERT_EQ(unit->GetFirstEntityId(&first), STATUS_SUCCESS);
    EXPECT_EQ(first, 1u);

    TopologyNode* volume = nullptr;
    TopologyNode* mute = nullptr;
    unit->GetEntity(0, &volume);
    unit->GetEntity(1, &mute);
    EXPECT_EQ(Sources(mute), std::vector<ULONG>{2});  // chained by InitFromDescriptor
    const ULONG inputs[] = {9};
    EXPECT_EQ(unit->SetInputIds(1, inputs), STATUS_SUCCESS);
    EXPECT_EQ(Sources(volume), std::vector<ULONG>{9});

    // An index past the end succeeds without writing; two entities give no status answer.
    TopologyNode* untouched = reinterpret_cast<TopologyNode*>(0x1);
    EXPECT_EQ(unit->GetEntity(2, &untouched), STATUS_SUCCESS);
    EXPECT_EQ(untouched, reinterpret_cast<TopologyNode*>(0x1));
    ULONG id = 77;
    EXPECT_EQ(unit->HandleStatusChange(0, 0, &id), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(id, 77u);
}

TEST_F(UsbAudioUnitTest, OutputTerminalsTakeTheMultiOutputEntityAndItTakesTheUnitsSource)
{
    static const ULONG kinds[] = {2, 3};
    TestFeatureUnit* unit = UnitWith([&](IAudioHal* hal) {
        ULONG next = hal->GetEntityCount();
        auto terminal = [](OutputTerminalEntity* e) { return e->Init(0, 1, kinds, 0, nullptr); };
        NTSTATUS status = m_unit->Create<OutputTerminalEntity>(hal, &next, terminal, nullptr);
        if (NT_SUCCESS(status)) {
            status = m_unit->Create<OutputTerminalEntity>(hal, &next, terminal, nullptr);
        }
        if (NT_SUCCESS(status)) {
            status = m_unit->Create<MultiOutputTerminalEntity>(
                hal, &next, [](MultiOutputTerminalEntity* e) { return e->Init(0, 2, kinds); }, nullptr);
        }
        return status;
    });
    EXPECT_EQ(ListIds(unit), (std::vector<ULONG>{2, 1, 0}));
    TopologyNode* entities[3] = {};
    for (ULONG i = 0; i < 3; ++i) {
        unit->GetEntity(i, &entities[i]);
    }
    const ULONG inputs[] = {4};
    unit->SetInputIds(1, inputs);
    EXPECT_EQ(Sources(entities[0]), std::vector<ULONG>{4});
    EXPECT_EQ(Sources(entities[1]), std::vector<ULONG>{2});
    EXPECT_EQ(Sources(entities[2]), std::vector<ULONG>{2});  // an output terminal feeds nothing
}

TEST_F(UsbAudioUnitTest, AMixerTakesOnlyAFullSetOfInputsAndAnswersStatusWithItsOnlyEntity)
{
    TestFeatureUnit* unit = UnitWith([&](IAudioHal* hal) {
        ULONG next = hal->GetEntityCount();
        return m_unit->Create<MixerEntity>(
            hal, &next, [](MixerEntity* e) {
                const ULONG zeros[3] = {};
                return e->SetSources(3, zeros);
            },
            nullptr);
    });
    TopologyNode* mixer = nullptr;
    unit->GetEntity(0, &mixer);
    const ULONG two[] = {7, 8};
    EXPECT_EQ(unit->SetInputIds(2, two), STATUS_SUCCESS);
    EXPECT_EQ(Sources(mixer), (std::vector<ULONG>{0, 0, 0}));
    const ULONG three[] = {7, 8, 9};
    EXPECT_EQ(unit->SetInputIds(3, three), STATUS_SUCCESS);
    EXPECT_EQ(Sources(mixer), (std::vector<ULONG>{7, 8, 9}));
    ULONG id = 77;
    EXPECT_EQ(unit->HandleStatusChange(0, 0, &id), STATUS_SUCCESS);
    EXPECT_EQ(id, 0u);
}

TEST_F(UsbAudioUnitTest, RefusedArgumentsAndEmptyLists)
{
    auto* unit = new (NonPagedPoolNx, kvxtest::TEST_UNIT_TAG) TestFeatureUnit(nullptr, 3);
    m_unit = unit;
    unit->GetNonDelegatingUnknown()->AddRef();
    EXPECT_EQ(unit->GetId(), 3u);
    EXPECT_EQ(unit->GetType(), 0);
    ULONG value = 0;
    // No list block yet.
    EXPECT_EQ(unit->GetEntityCount(&value), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(unit->AddEntity(nullptr), STATUS_INVALID_PARAMETER);

    const UCHAR good[] = {7, 0x24, 0x06, 5, 1, 1, 0};
    const UCHAR wrongType[] = {7, 0x25, 0x06, 5, 1, 1, 0};
    const UCHAR wrongSubtype[] = {7, 0x24, 0x05, 5, 1, 1, 0};
    const UCHAR tooShort[] = {3, 0x24, 0x06, 5};
    auto init = [](IAudioHal*) { return STATUS_SUCCESS; };
    EXPECT_EQ(unit->InitFrom(wrongType, m_owner->Hal(), init), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(unit->InitFrom(wrongSubtype, m_owner->Hal(), init), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(unit->InitFrom(tooShort, m_owner->Hal(), init), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(unit->InitFrom(nullptr, m_owner->Hal(), init), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(unit->SetDescriptor(good, nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(unit->Descriptor(), nullptr);

    // Either allocation failing keeps nothing.
    for (uint64_t nth : {1, 2}) {
        platform::PoolFailNthAllocation(nth);
        EXPECT_EQ(unit->SetDescriptor(good, m_owner->Hal()), STATUS_INSUFFICIENT_RESOURCES);
        EXPECT_EQ(unit->Descriptor(), nullptr);
    }

    // The class's Init failing is the result, and nothing is chained.
    EXPECT_EQ(unit->InitFrom(good, m_owner->Hal(), [](IAudioHal*) { return STATUS_DEVICE_DATA_ERROR; }),
              STATUS_DEVICE_DATA_ERROR);
    EXPECT_EQ(std::memcmp(unit->Descriptor(), good, sizeof good), 0);
    ASSERT_EQ(unit->GetEntityCount(&value), STATUS_SUCCESS);
    EXPECT_EQ(value, 0u);
    EXPECT_EQ(unit->GetEntityCount(nullptr), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(unit->GetEntity(0, nullptr), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(unit->GetFirstEntityId(&value), STATUS_UNSUCCESSFUL);
    const ULONG ids[] = {1};
    EXPECT_EQ(unit->SetInputIds(1, ids), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(unit->HandleStatusChange(0, 0, &value), STATUS_UNSUCCESSFUL);
    unit->ChainEntities();  // nothing to chain
}

TEST_F(UsbAudioUnitTest, AnEntityTheUnitCannotListIsGivenBackAndTheIdStays)
{
    TestFeatureUnit* unit = NewUnit();
    auto* mute = new (NonPagedPoolNx, kvxtest::TEST_ENTITY_TAG) MuteEntity(nullptr, 4);
    mute->GetNonDelegatingUnknown()->AddRef();
    platform::PoolFailNextWithTag(OBJECT_LIST_NODE_TAG);
    EXPECT_EQ(unit->AddEntity(mute), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(mute->GetReferenceCount(), 1);
    mute->GetNonDelegatingUnknown()->Release();

    ULONG next = 0;
    platform::PoolFailNextWithTag(kvxtest::TEST_ENTITY_TAG);
    EXPECT_EQ(unit->Create<MuteEntity>(m_owner->Hal(), &next, [](MuteEntity* e) { return e->Init(0, 1); }, nullptr),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(unit->Create<MuteEntity>(m_owner->Hal(), &next, [](MuteEntity*) { return STATUS_DEVICE_DATA_ERROR; },
                                       nullptr),
              STATUS_DEVICE_DATA_ERROR);
    EXPECT_EQ(next, 0u);
    EXPECT_EQ(m_owner->GetEntityCount(), 0u);
}

TEST_F(UsbAudioUnitTest, ControlRequestsAreClassOrVendorInterfaceUrbsToTheUnit)
{
    TestFeatureUnit* unit = NewUnit();
    SHORT volume = 0;
    ASSERT_EQ(unit->ControlRequest(URB_FUNCTION_CLASS_INTERFACE, USB_AUDIO_GET_CUR, 0x0201, TRUE, &volume, 2),
              STATUS_SUCCESS);
    EXPECT_EQ(volume, -5 * 256);
    UCHAR data[3] = {1, 2, 3};
    EXPECT_FALSE(NT_SUCCESS(unit->ControlRequest(URB_FUNCTION_VENDOR_INTERFACE, 0x07, 0x1234, FALSE, data, 3)));

    ASSERT_EQ(m_owner->Urbs.size(), 2u);
    const kvxtest::SeenUrb& read = m_owner->Urbs[0];
    EXPECT_EQ(read.Length, 136);
    EXPECT_EQ(read.Function, 0x1B);
    EXPECT_EQ(read.TransferFlags, 1u);  // direction in, no short-transfer flag
    EXPECT_EQ(read.TransferBufferLength, 2u);
    EXPECT_TRUE(read.HasBuffer);
    EXPECT_FALSE(read.HasMdl);
    EXPECT_FALSE(read.HasLink);
    EXPECT_EQ(read.ReservedBits, 0);
    EXPECT_EQ(read.Request, 0x81);
    EXPECT_EQ(read.Value, 0x0201);
    EXPECT_EQ(read.Index, 0x0500);  // unit 5 on AudioControl interface 0
    const kvxtest::SeenUrb& write = m_owner->Urbs[1];
    EXPECT_EQ(write.Function, 0x18);
    EXPECT_EQ(write.TransferFlags, 0u);
    EXPECT_EQ(write.Request, 0x07);

    // On the wire: class and vendor requests to the interface, in and out.
    const auto log = m_device->Log();
    ASSERT_GE(log.size(), 2u);
    const auto& classRead = log[log.size() - 2].Setup;
    EXPECT_EQ(classRead.bmRequestType, 0xA1);
    EXPECT_EQ(classRead.wIndex, 0x0500);
    EXPECT_EQ(classRead.wLength, 2);
    const auto& vendorWrite = log.back().Setup;
    EXPECT_EQ(vendorWrite.bmRequestType, 0x41);
    EXPECT_EQ(vendorWrite.bRequest, 0x07);
    EXPECT_EQ(vendorWrite.wValue, 0x1234);
    EXPECT_EQ(vendorWrite.wLength, 3);

    // The owner's USB device is released after every request.
    EXPECT_EQ(m_owner->GetReferenceCount(), 1);
}

}  // namespace
