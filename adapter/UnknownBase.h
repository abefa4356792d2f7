// Reference-counted base of every driver object, in the port-class manner: a non-delegating
// unknown that owns the object's life, and an outer unknown that the object's interfaces
// forward to (the aggregating object, or the object's own non-delegating unknown).
#pragma once

#include "platform/nt/NtTypes.h"
#include "platform/nt/Pool.h"
#include "platform/portcls/Unknown.h"

class UnknownBase : public INonDelegatingUnknown {
public:
    // A null outer unknown makes the object its own outer unknown.
    explicit UnknownBase(PUNKNOWN pOuterUnknown);

    // Answers IID_IUnknown with the non-delegating unknown (reference added); anything else
    // stores null and returns STATUS_INVALID_PARAMETER. Derived classes answer IID_IUnknown
    // through this first, then their own ids.
    NTSTATUS NonDelegatingQueryInterface(REFIID iid, PVOID* ppvObject) override;
    ULONG NonDelegatingAddRef() override;
    // The last release holds the count at 1 while the object is destroyed, so that references
    // taken and dropped by the destructor cannot start a second destruction.
    ULONG NonDelegatingRelease() override;
    virtual ~UnknownBase() = default;

    // The object's identity: the IUnknown whose operations are the non-delegating ones.
    PUNKNOWN GetNonDelegatingUnknown() { return &m_NonDelegatingUnknown; }
    PUNKNOWN GetOuterUnknown() const { return m_pOuterUnknown; }
    LONG GetReferenceCount() const { return __atomic_load_n(&m_lRefCount, __ATOMIC_SEQ_CST); }

    // Driver objects come from the pool with their kind's tag, zeroed; there is no global new.
    static void* operator new(size_t size, POOL_TYPE poolType, ULONG tag) noexcept;
    static void operator delete(void* p) noexcept;
    static void operator delete(void* p, POOL_TYPE poolType, ULONG tag) noexcept;
    static void* operator new(size_t size) = delete;

protected:
    // Stores `pInterface` in *ppvObject with a reference added; the success path of every
    // NonDelegatingQueryInterface.
    static NTSTATUS ReturnInterface(PUNKNOWN pInterface, PVOID* ppvObject);

    LONG m_lRefCount;
    PUNKNOWN m_pOuterUnknown;

private:
    // The non-delegating unknown seen as an IUnknown: what QueryInterface(IID_IUnknown) hands
    // out and what an aggregating object holds on its inner object.
    class NonDelegatingUnknown final : public IUnknown {
    public:
        explicit NonDelegatingUnknown(UnknownBase* pOwner) : m_pOwner(pOwner) {}
        NTSTATUS QueryInterface(REFIID iid, PVOID* ppvObject) override
        {
            return m_pOwner->NonDelegatingQueryInterface(iid, ppvObject);
        }
        ULONG AddRef() override { return m_pOwner->NonDelegatingAddRef(); }
        ULONG Release() override { return m_pOwner->NonDelegatingRelease(); }

    private:
        UnknownBase* m_pOwner;
    };

    NonDelegatingUnknown m_NonDelegatingUnknown;
};

// Inside a class built on UnknownBase that implements interfaces: declares the class's own
// NonDelegatingQueryInterface and makes every interface's QueryInterface, AddRef and Release
// forward to the outer unknown.
#define DECLARE_UNKNOWN_BASE()                                                                      \
    NTSTATUS NonDelegatingQueryInterface(REFIID iid, PVOID* ppvObject) override;                   \
    NTSTATUS QueryInterface(REFIID iid, PVOID* ppvObject) override                                 \
    {                                                                                               \
        return m_pOuterUnknown->QueryInterface(iid, ppvObject);                                     \
    }                                                                                               \
    ULONG AddRef() override { return m_pOuterUnknown->AddRef(); }                                   \
    ULONG Release() override { return m_pOuterUnknown->Release(); }
