#include "platform/nt/Sync.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/nt/ObjectCheck.h"
#include "platform/nt/Scheduler.h"
#include "platform/nt/Verifier.h"

namespace {

struct LockOrderState {
    std::mutex Lock;
    std::unordered_map<const void*, std::string> Names;
    std::unordered_map<std::string, std::set<std::string>> After;  // declared edges before -> after
    // Learned edges: lock held -> lock taken while holding it, over every thread of the test.
    std::unordered_map<const void*, std::set<const void*>> Learned;
    std::atomic<uint64_t> Generation{1};  // bumped by the reset; invalidates the threads' caches
};

LockOrderState& Orders()
{
    static LockOrderState* state = new LockOrderState();  // never destroyed: threads may release at exit
    return *state;
}

// Locks the current thread holds, in acquisition order.
thread_local std::vector<void*> t_held;
// Learned edges this thread has already reported to the graph (so that a repeated nesting takes
// no global lock), valid for one generation.
struct EdgeHash {
    size_t operator()(const std::pair<const void*, const void*>& e) const
    {
        return std::hash<const void*>()(e.first) * 31 + std::hash<const void*>()(e.second);
    }
};
thread_local std::unordered_set<std::pair<const void*, const void*>, EdgeHash> t_knownEdges;
thread_local uint64_t t_knownGeneration = 0;

std::string LockLabel(LockOrderState& st, const void* lock)
{
    auto it = st.Names.find(lock);
    if (it != st.Names.end()) {
        return "'" + it->second + "'";
    }
    char text[32];
    std::snprintf(text, sizeof(text), "%p", lock);
    return text;
}

// True when the learned graph leads from `from` to `to`.
bool LearnedPath(LockOrderState& st, const void* from, const void* to)
{
    std::vector<const void*> stack{from};
    std::unordered_set<const void*> seen{from};
    while (!stack.empty()) {
        const void* at = stack.back();
        stack.pop_back();
        auto it = st.Learned.find(at);
        if (it == st.Learned.end()) {
            continue;
        }
        for (const void* next : it->second) {
            if (next == to) {
                return true;
            }
            if (seen.insert(next).second) {
                stack.push_back(next);
            }
        }
    }
    return false;
}
// Distinguishes threads in the spin lock's owner field (never zero).
thread_local char t_ownerTag;

ULONG_PTR Me() { return reinterpret_cast<ULONG_PTR>(&t_ownerTag); }

// True when `from` is declared (directly or transitively) to come before `to`.
bool DeclaredBefore(LockOrderState& st, const std::string& from, const std::string& to)
{
    std::vector<std::string> stack{from};
    std::set<std::string> seen;
    while (!stack.empty()) {
        std::string name = stack.back();
        stack.pop_back();
        auto it = st.After.find(name);
        if (it == st.After.end()) {
            continue;
        }
        for (const std::string& next : it->second) {
            if (next == to) {
                return true;
            }
            if (seen.insert(next).second) {
                stack.push_back(next);
            }
        }
    }
    return false;
}

void AcquireRaw(PKSPIN_LOCK lock)
{
    for (;;) {
        ULONG_PTR expected = 0;
        if (__atomic_compare_exchange_n(&lock->Value, &expected, 1, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED)) {
            break;
        }
        // Spinning: waiting for another thread, which a stall's wait for what it woke must see.
        platform::detail::ThreadRecord* self = platform::detail::CurrentIfAny();
        if (self != nullptr) {
            self->Spinning = true;
        }
        while (__atomic_load_n(&lock->Value, __ATOMIC_RELAXED) != 0) {
            std::this_thread::yield();
        }
        if (self != nullptr) {
            self->Spinning = false;
        }
    }
    __atomic_store_n(&lock->Owner, Me(), __ATOMIC_RELAXED);
}

// Takes the lock at DISPATCH_LEVEL; false (with a fault) when this thread already holds it.
bool AcquireAtDpc(PKSPIN_LOCK lock)
{
    platform::ObjectCheckSpinLock(lock, "spin lock acquisition");
    if (__atomic_load_n(&lock->Owner, __ATOMIC_RELAXED) == Me()) {
        platform::VerifierFault("SPINLOCK_RECURSION", "spin lock %p acquired again by its owner",
                                static_cast<void*>(lock));
        return false;
    }
    platform::LockNoteAcquiring(lock);
    AcquireRaw(lock);
    platform::IrqlNoteSpinLockAcquired();
    platform::LockNoteAcquired(lock);
    return true;
}

bool ReleaseFromDpc(PKSPIN_LOCK lock)
{
    if (__atomic_load_n(&lock->Owner, __ATOMIC_RELAXED) != Me()) {
        platform::VerifierFault("LOCK_NOT_HELD", "spin lock %p released by a thread that does not hold it",
                                static_cast<void*>(lock));
        return false;
    }
    __atomic_store_n(&lock->Owner, 0, __ATOMIC_RELAXED);
    __atomic_store_n(&lock->Value, 0, __ATOMIC_RELEASE);
    platform::IrqlNoteSpinLockReleased();
    platform::LockNoteReleased(lock);
    return true;
}

}  // namespace

VOID KeInitializeSpinLock(PKSPIN_LOCK SpinLock)
{
    __atomic_store_n(&SpinLock->Owner, 0, __ATOMIC_RELAXED);
    __atomic_store_n(&SpinLock->Value, 0, __ATOMIC_RELEASE);
}

VOID KeAcquireSpinLock(PKSPIN_LOCK SpinLock, PKIRQL OldIrql) { *OldIrql = KeAcquireSpinLockRaiseToDpc(SpinLock); }

KIRQL KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock)
{
    platform::IrqlCheckAtMost(DISPATCH_LEVEL, "KeAcquireSpinLock");
    KIRQL old = KeGetCurrentIrql();
    if (old < DISPATCH_LEVEL) {
        KeRaiseIrql(DISPATCH_LEVEL, &old);
    }
    AcquireAtDpc(SpinLock);
    return old;
}

VOID KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql)
{
    ReleaseFromDpc(SpinLock);
    if (NewIrql < KeGetCurrentIrql()) {
        KeLowerIrql(NewIrql);
    }
}

VOID KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock)
{
    if (KeGetCurrentIrql() < DISPATCH_LEVEL) {
        platform::VerifierFault("IRQL", "KeAcquireSpinLockAtDpcLevel at IRQL %u", KeGetCurrentIrql());
    }
    AcquireAtDpc(SpinLock);
}

VOID KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock) { ReleaseFromDpc(SpinLock); }

BOOLEAN KeTestSpinLock(PKSPIN_LOCK SpinLock)
{
    return __atomic_load_n(&SpinLock->Value, __ATOMIC_ACQUIRE) == 0 ? TRUE : FALSE;
}

VOID KeAcquireInStackQueuedSpinLock(PKSPIN_LOCK SpinLock, PKLOCK_QUEUE_HANDLE LockHandle)
{
    LockHandle->Lock = SpinLock;
    LockHandle->OldIrql = KeAcquireSpinLockRaiseToDpc(SpinLock);
}

VOID KeReleaseInStackQueuedSpinLock(PKLOCK_QUEUE_HANDLE LockHandle)
{
    KeReleaseSpinLock(LockHandle->Lock, LockHandle->OldIrql);
}

VOID KeAcquireInStackQueuedSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock, PKLOCK_QUEUE_HANDLE LockHandle)
{
    LockHandle->Lock = SpinLock;
    LockHandle->OldIrql = DISPATCH_LEVEL;
    KeAcquireSpinLockAtDpcLevel(SpinLock);
}

VOID KeReleaseInStackQueuedSpinLockFromDpcLevel(PKLOCK_QUEUE_HANDLE LockHandle)
{
    KeReleaseSpinLockFromDpcLevel(LockHandle->Lock);
}

namespace platform {

void LockSetName(void* lock, const char* name)
{
    LockOrderState& st = Orders();
    std::lock_guard<std::mutex> guard(st.Lock);
    if (name == nullptr) {
        st.Names.erase(lock);
    } else {
        st.Names[lock] = name;
    }
}

void LockOrderDeclare(const char* before, const char* after)
{
    LockOrderState& st = Orders();
    std::lock_guard<std::mutex> guard(st.Lock);
    st.After[before].insert(after);
}

void LockOrderReset()
{
    LockOrderState& st = Orders();
    std::lock_guard<std::mutex> guard(st.Lock);
    st.Names.clear();
    st.After.clear();
    st.Learned.clear();
    st.Generation.fetch_add(1);
    t_held.clear();
}

void LockNoteAcquiring(void* lock)
{
    if (t_held.empty()) {
        return;  // nothing held: no order to learn or check
    }
    LockOrderState& st = Orders();
    const uint64_t generation = st.Generation.load(std::memory_order_relaxed);
    if (t_knownGeneration != generation) {
        t_knownEdges.clear();
        t_knownGeneration = generation;
    }
    bool allKnown = true;
    for (void* held : t_held) {
        if (held != lock && t_knownEdges.count({held, lock}) == 0) {
            allKnown = false;
            break;
        }
    }
    if (allKnown) {
        return;
    }
    std::lock_guard<std::mutex> guard(st.Lock);
    auto name = st.Names.find(lock);
    for (void* held : t_held) {
        if (held == lock || !t_knownEdges.insert({held, lock}).second) {
            continue;
        }
        bool declaredFault = false;
        if (name != st.Names.end()) {
            auto heldName = st.Names.find(held);
            if (heldName != st.Names.end() && DeclaredBefore(st, name->second, heldName->second)) {
                declaredFault = true;
                VerifierFault("LOCK_ORDER", "'%s' taken while holding '%s', but '%s' comes before '%s'",
                              name->second.c_str(), heldName->second.c_str(), name->second.c_str(),
                              heldName->second.c_str());
            }
        }
        auto& after = st.Learned[held];
        if (after.count(lock) != 0) {
            continue;
        }
        // The new edge held -> lock closes a cycle when the graph already leads from lock to held:
        // two threads taking the locks the two ways can deadlock, whether or not this run does.
        // A pair already reported against the declared order is the same fault.
        if (!declaredFault && LearnedPath(st, lock, held)) {
            VerifierFault("LOCK_CYCLE", "%s taken while holding %s, but the order learned so far takes %s before %s",
                          LockLabel(st, lock).c_str(), LockLabel(st, held).c_str(), LockLabel(st, lock).c_str(),
                          LockLabel(st, held).c_str());
        }
        after.insert(lock);
    }
}

void LockNoteAcquired(void* lock) { t_held.push_back(lock); }

bool LockNoteReleased(void* lock)
{
    auto it = std::find(t_held.rbegin(), t_held.rend(), lock);
    if (it == t_held.rend()) {
        VerifierFault("LOCK_NOT_HELD", "lock %p released by a thread that does not hold it", lock);
        return false;
    }
    t_held.erase(std::next(it).base());
    return true;
}

int LockHeldCount() { return static_cast<int>(t_held.size()); }

}  // namespace platform
