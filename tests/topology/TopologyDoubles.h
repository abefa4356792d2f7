// Test-only: recording doubles for the entities' partners (selector branch controls, entity
// links) and a helper that creates driver objects the way their units do.
#pragma once

#include <string>
#include <vector>

#include "adapter/UnknownBase.h"
#include "adapter/EntityInterfaces.h"

namespace kvxtest {

constexpr ULONG TOPOLOGY_TEST_TAG = MakePoolTag("TTop");

// Creates a driver object zero-filled from the pool, with one reference for the caller.
template <typename T, typename... Args>
T* NewObject(Args... args)
{
    T* object = new (NonPagedPoolNx, TOPOLOGY_TEST_TAG) T(nullptr, args...);
    object->NonDelegatingAddRef();
    return object;
}

// Records every call as "<name>:<operation>(<args>)" into a shared journal; fails on demand.
class RecordingPartner : public UnknownBase, public ISelectorBranchControl, public IEntityLink {
public:
    DECLARE_UNKNOWN_BASE()

    RecordingPartner(PUNKNOWN, std::vector<std::string>* journal, const char* name)
        : UnknownBase(nullptr), m_pJournal(journal), m_Name(name)
    {
    }

    NTSTATUS OnSelectionChanging(ULONG newInput, ULONG oldInput) override
    {
        return Note("changing(" + std::to_string(newInput) + "," + std::to_string(oldInput) + ")");
    }
    NTSTATUS SetSelectedInput(ULONG input) override { return Note("selected(" + std::to_string(input) + ")"); }
    NTSTATUS SetBranchIndex(ULONG input) override { return Note("branch(" + std::to_string(input) + ")"); }
    NTSTATUS SetOutputKind(ULONG kind, PVOID callback) override
    {
        return Note("kind(" + std::to_string(kind) + (callback != nullptr ? ",cb)" : ")"));
    }

    NTSTATUS m_Status = STATUS_SUCCESS;

private:
    NTSTATUS Note(const std::string& call)
    {
        m_pJournal->push_back(m_Name + ":" + call);
        return m_Status;
    }
    std::vector<std::string>* m_pJournal;
    std::string m_Name;
};

inline NTSTATUS RecordingPartner::NonDelegatingQueryInterface(REFIID iid, PVOID* ppvObject)
{
    if (IsEqualGUID(iid, IID_ISelectorBranchControl)) {
        return ReturnInterface(static_cast<ISelectorBranchControl*>(this), ppvObject);
    }
    if (IsEqualGUID(iid, IID_IEntityLink)) {
        return ReturnInterface(static_cast<IEntityLink*>(this), ppvObject);
    }
    return UnknownBase::NonDelegatingQueryInterface(iid, ppvObject);
}

}  // namespace kvxtest
