// Service groups: a set of sinks that a stream's notification services together.
#include <atomic>
#include <mutex>
#include <new>
#include <vector>

#include "platform/nt/Dpc.h"
#include "platform/nt/Irql.h"
#include "platform/portcls/PortCls.h"

namespace {

constexpr ULONG kServiceGroupTag = MakePoolTag("PcSg");

class ServiceGroup final : public IServiceGroup {
public:
    ServiceGroup()
    {
        KeInitializeDpc(&m_dpc, DelayedServiceDpc, this);
        KeInitializeTimer(&m_timer);
    }

    ~ServiceGroup()
    {
        KeCancelTimer(&m_timer);
        for (PSERVICESINK s : m_members) s->Release();
    }

    NTSTATUS QueryInterface(REFIID iid, PVOID* ppvObject) override
    {
        if (ppvObject == nullptr) return STATUS_INVALID_PARAMETER;
        if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, IID_IServiceSink) ||
            IsEqualGUID(iid, IID_IServiceGroup)) {
            AddRef();
            *ppvObject = static_cast<IServiceGroup*>(this);
            return STATUS_SUCCESS;
        }
        *ppvObject = nullptr;
        return STATUS_INVALID_PARAMETER;
    }
    ULONG AddRef() override { return ++m_references; }
    ULONG Release() override
    {
        const ULONG left = --m_references;
        if (left == 0) {
            this->~ServiceGroup();
            ExFreePoolWithTag(this, kServiceGroupTag);
        }
        return left;
    }

    VOID RequestService() override
    {
        platform::IrqlCheckAtMost(DISPATCH_LEVEL, "IServiceGroup::RequestService");
        std::vector<PSERVICESINK> members;
        {
            std::lock_guard<std::mutex> guard(m_lock);
            members = m_members;
            for (PSERVICESINK s : members) s->AddRef();
        }
        for (PSERVICESINK s : members) {
            s->RequestService();
            s->Release();
        }
    }

    NTSTATUS AddMember(PSERVICESINK pServiceSink) override
    {
        if (pServiceSink == nullptr) return STATUS_INVALID_PARAMETER;
        pServiceSink->AddRef();
        std::lock_guard<std::mutex> guard(m_lock);
        m_members.push_back(pServiceSink);
        return STATUS_SUCCESS;
    }

    VOID RemoveMember(PSERVICESINK pServiceSink) override
    {
        PSERVICESINK removed = nullptr;
        {
            std::lock_guard<std::mutex> guard(m_lock);
            for (auto it = m_members.begin(); it != m_members.end(); ++it) {
                if (*it == pServiceSink) {
                    removed = *it;
                    m_members.erase(it);
                    break;
                }
            }
        }
        if (removed != nullptr) removed->Release();
    }

    VOID SupportDelayedService() override {}

    VOID RequestDelayedService(ULONGLONG ullDelay) override
    {
        LARGE_INTEGER due;
        due.QuadPart = static_cast<LONGLONG>(ullDelay);
        KeSetTimer(&m_timer, due, &m_dpc);
    }

    VOID CancelDelayedService() override { KeCancelTimer(&m_timer); }

private:
    static VOID DelayedServiceDpc(PKDPC, PVOID context, PVOID, PVOID)
    {
        static_cast<ServiceGroup*>(context)->RequestService();
    }

    std::atomic<ULONG> m_references{1};
    std::mutex m_lock;
    std::vector<PSERVICESINK> m_members;  // one reference each
    KDPC m_dpc;
    KTIMER m_timer;
};

}  // namespace

NTSTATUS PcNewServiceGroup(PSERVICEGROUP* OutServiceGroup, PUNKNOWN OuterUnknown)
{
    UNREFERENCED_PARAMETER(OuterUnknown);
    if (OutServiceGroup == nullptr) return STATUS_INVALID_PARAMETER;
    *OutServiceGroup = nullptr;
    void* memory = ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(ServiceGroup), kServiceGroupTag);
    if (memory == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    *OutServiceGroup = new (memory) ServiceGroup();
    return STATUS_SUCCESS;
}
