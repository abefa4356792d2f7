#include <gtest/gtest.h>

#include <atomic>
#include <chrono>

#include "platform/nt/Clock.h"
#include "platform/nt/Sync.h"
#include "platform/portcls/PortCls.h"

namespace {

class CountingSink final : public IServiceSink {
public:
    NTSTATUS QueryInterface(REFIID iid, PVOID* out) override
    {
        *out = IsEqualGUID(iid, IID_IServiceSink) ? this : nullptr;
        if (*out == nullptr) return STATUS_INVALID_PARAMETER;
        AddRef();
        return STATUS_SUCCESS;
    }
    ULONG AddRef() override { return ++m_references; }
    ULONG Release() override { return --m_references; }
    VOID RequestService() override { ++m_calls; }

    std::atomic<ULONG> m_references{1};
    std::atomic<int> m_calls{0};
};

TEST(ServiceGroupTest, ServicesItsMembersAtOnceOrAfterTheDelay)
{
    PSERVICEGROUP group = nullptr;
    ASSERT_EQ(PcNewServiceGroup(&group, nullptr), STATUS_SUCCESS);
    CountingSink first, second;
    ASSERT_EQ(group->AddMember(&first), STATUS_SUCCESS);
    ASSERT_EQ(group->AddMember(&second), STATUS_SUCCESS);
    EXPECT_EQ(first.m_references, 2u);
    group->RequestService();
    EXPECT_EQ(first.m_calls, 1);
    EXPECT_EQ(second.m_calls, 1);

    group->RemoveMember(&second);
    EXPECT_EQ(second.m_references, 1u);
    group->SupportDelayedService();
    group->RequestDelayedService(static_cast<ULONGLONG>(-10 * 10000LL));  // 10 ms from now
    platform::RunFor(std::chrono::milliseconds(5));
    EXPECT_EQ(first.m_calls, 1);
    platform::RunFor(std::chrono::milliseconds(10));
    EXPECT_EQ(first.m_calls, 2);
    group->RequestDelayedService(static_cast<ULONGLONG>(-10 * 10000LL));
    group->CancelDelayedService();
    platform::RunFor(std::chrono::milliseconds(20));
    EXPECT_EQ(first.m_calls, 2);
    EXPECT_EQ(second.m_calls, 1);

    EXPECT_EQ(group->Release(), 0u);
    EXPECT_EQ(first.m_references, 1u);
}

}  // namespace

namespace {

// A sink that takes the lock its notifier holds, as a stream's position read does.
class LockingSink final : public IServiceSink {
public:
    NTSTATUS QueryInterface(REFIID, PVOID* out) override
    {
        *out = nullptr;
        return STATUS_INVALID_PARAMETER;
    }
    ULONG AddRef() override { return ++m_references; }
    ULONG Release() override { return --m_references; }
    VOID RequestService() override
    {
        KIRQL irql;
        KeAcquireSpinLock(m_lock, &irql);
        ++m_calls;
        KeReleaseSpinLock(m_lock, irql);
    }

    PKSPIN_LOCK m_lock = nullptr;
    std::atomic<ULONG> m_references{1};
    std::atomic<int> m_calls{0};
};

TEST(ServiceGroupTest, TheWavePortServicesANotifiedGroupFromItsDpcOnce)
{
    PPORT port = nullptr;
    ASSERT_EQ(PcNewPort(&port, CLSID_PortWaveCyclic), STATUS_SUCCESS);
    PVOID raw = nullptr;
    ASSERT_EQ(port->QueryInterface(IID_IPortWaveCyclic, &raw), STATUS_SUCCESS);
    port->Release();
    auto* wave = static_cast<PPORTWAVECYCLIC>(raw);
    PSERVICEGROUP group = nullptr;
    ASSERT_EQ(PcNewServiceGroup(&group, nullptr), STATUS_SUCCESS);
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    LockingSink sink;
    sink.m_lock = &lock;
    ASSERT_EQ(group->AddMember(&sink), STATUS_SUCCESS);

    // Notified twice under the lock the sink takes: nothing runs inside Notify.
    KIRQL irql;
    KeAcquireSpinLock(&lock, &irql);
    wave->Notify(group);
    wave->Notify(group);
    EXPECT_EQ(sink.m_calls, 0);
    KeReleaseSpinLock(&lock, irql);
    platform::RunFor(std::chrono::milliseconds(0));
    // Two notifications while the DPC waits in its queue are one service. Another processor may
    // already have taken the first from the queue (it then waits on the lock held here), and the
    // second queues it again: never more than one service per notification.
    const int serviced = sink.m_calls;
    EXPECT_GE(serviced, 1);
    EXPECT_LE(serviced, 2);

    // A notification still queued when the port goes is serviced, and the group released.
    wave->Notify(group);
    EXPECT_EQ(wave->Release(), 0u);
    EXPECT_EQ(sink.m_calls, serviced + 1);
    EXPECT_EQ(group->Release(), 0u);
    EXPECT_EQ(sink.m_references, 1u);
}

}  // namespace
