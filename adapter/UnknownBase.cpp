#include "adapter/UnknownBase.h"

#include <cstring>

#include "platform/nt/Sync.h"

UnknownBase::UnknownBase(PUNKNOWN pOuterUnknown)
    : m_lRefCount(0), m_pOuterUnknown(nullptr), m_NonDelegatingUnknown(this)
{
    m_pOuterUnknown = pOuterUnknown != nullptr ? pOuterUnknown : &m_NonDelegatingUnknown;
}

NTSTATUS UnknownBase::NonDelegatingQueryInterface(REFIID iid, PVOID* ppvObject)
{
    if (ppvObject == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (IsEqualGUID(iid, IID_IUnknown)) {
        return ReturnInterface(&m_NonDelegatingUnknown, ppvObject);
    }
    *ppvObject = nullptr;
    return STATUS_INVALID_PARAMETER;
}

ULONG UnknownBase::NonDelegatingAddRef()
{
    return static_cast<ULONG>(InterlockedIncrement(&m_lRefCount));
}

ULONG UnknownBase::NonDelegatingRelease()
{
    const LONG count = InterlockedDecrement(&m_lRefCount);
    if (count == 0) {
        m_lRefCount = 1;
        delete this;
        return 0;
    }
    return static_cast<ULONG>(count);
}

NTSTATUS UnknownBase::ReturnInterface(PUNKNOWN pInterface, PVOID* ppvObject)
{
    *ppvObject = pInterface;
    pInterface->AddRef();
    return STATUS_SUCCESS;
}

// Out of line so that the zeroing is never seen as a dead store before construction.
void* UnknownBase::operator new(size_t size, POOL_TYPE poolType, ULONG tag) noexcept
{
    void* p = ExAllocatePoolWithTag(poolType, size, tag);
    if (p != nullptr) {
        std::memset(p, 0, size);
    }
    return p;
}

void UnknownBase::operator delete(void* p) noexcept
{
    if (p != nullptr) {
        ExFreePool(p);
    }
}

void UnknownBase::operator delete(void* p, POOL_TYPE, ULONG) noexcept
{
    if (p != nullptr) {
        ExFreePool(p);
    }
}
