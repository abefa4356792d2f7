#include "platform/nt/Pool.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <atomic>
#include <deque>
#include <map>
#include <unordered_map>
#include <mutex>
#include <vector>

#include "platform/nt/Irql.h"
#include "platform/nt/ObjectCheck.h"
#include "platform/nt/Verifier.h"
#include "platform/nt/PoolHost.h"

#if defined(__SANITIZE_ADDRESS__)
#define KVX_POOL_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KVX_POOL_ASAN 1
#endif
#endif
#ifdef KVX_POOL_ASAN
#include <sanitizer/asan_interface.h>
#endif

using platform::detail::PoolObject;

namespace {

// Guard bytes after every block, at least; the rest of the alignment granule is guard too.
constexpr SIZE_T BACK_GUARD_MIN = 16;
// Larger requests fail as an exhausted pool would, before any size arithmetic can wrap.
constexpr SIZE_T MAX_BLOCK = SIZE_T{1} << 40;
constexpr size_t QUARANTINE_BLOCKS = 4096;
constexpr size_t QUARANTINE_BYTES = 16u << 20;

enum class BlockState : UCHAR { Live, Quarantined, Pinned };

struct Block {
    ULONG Tag;
    POOL_TYPE Type;
    SIZE_T Size;
    uint64_t Serial;
    UCHAR* Raw;    // what the allocator returned; the block starts Front bytes in
    SIZE_T Front;  // guard bytes before the block
    SIZE_T Total;  // bytes of the raw allocation
    BlockState State;
    std::vector<PoolObject> Objects;  // kernel objects initialised inside the block
};

struct PoolState {
    std::mutex Lock;
    // Live blocks by address, ordered so that the block containing an address is found.
    std::map<uintptr_t, Block> Live;
    // Freed blocks whose memory is not released yet: in the quarantine, or pinned because a thread
    // still waits on an object in them. Kept apart so that the quarantine's churn stays O(1).
    std::unordered_map<uintptr_t, Block> Freed;
    std::deque<uintptr_t> Quarantine;  // oldest first
    size_t QuarantineBytes = 0;
    size_t QuarantineMaxBlocks = QUARANTINE_BLOCKS;
    size_t QuarantineMaxBytes = QUARANTINE_BYTES;
    bool FrontGuards = false;
    uint64_t Serial = 0;
    uint64_t FailAtSerial = 0;  // 0: none
    std::map<ULONG, uint32_t> FailTags;
    uint64_t Injected = 0;
};

PoolState& State()
{
    static PoolState* state = new PoolState();  // never destroyed: threads may free at exit
    return *state;
}

// In AddressSanitizer builds the guard bytes and the bytes of quarantined blocks are also marked
// unaddressable, so that a read past a block or of a freed one is caught where it happens, not
// only a write, and not only when the block is checked. Tests of the pool's own checks turn it off.
std::atomic<bool> g_SanitizerPoisoning{true};

void Poison(const void* p, size_t n)
{
#ifdef KVX_POOL_ASAN
    if (n != 0 && g_SanitizerPoisoning.load(std::memory_order_relaxed)) {
        ASAN_POISON_MEMORY_REGION(p, n);
    }
#else
    (void)p;
    (void)n;
#endif
}

void Unpoison(const void* p, size_t n)
{
#ifdef KVX_POOL_ASAN
    if (n != 0) {
        ASAN_UNPOISON_MEMORY_REGION(p, n);
    }
#else
    (void)p;
    (void)n;
#endif
}

bool IsPaged(POOL_TYPE type) { return (static_cast<int>(type) & 1) != 0; }

// Index of the first byte in [p, p + n) that differs from `value`; n when none does.
size_t FirstMismatch(const UCHAR* p, size_t n, UCHAR value)
{
    const uint64_t pattern = 0x0101010101010101ull * value;
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t word;
        std::memcpy(&word, p + i, 8);
        if (word != pattern) {
            break;
        }
    }
    for (; i < n; ++i) {
        if (p[i] != value) {
            return i;
        }
    }
    return n;
}

// "tag 'Urb ', 48 bytes, allocation #12": names the owner in every fault about a block.
std::string Owner(const Block& b)
{
    char text[96];
    snprintf(text, sizeof(text), "tag '%s', %zu bytes, allocation #%llu", platform::PoolTagToString(b.Tag).c_str(),
             b.Size, static_cast<unsigned long long>(b.Serial));
    return text;
}

// A fault found while the pool lock is held, recorded once the lock is released: the verifier
// may take other locks of the machine.
struct PendingFault {
    const char* Rule;
    std::string Detail;
};

void Report(const std::vector<PendingFault>& faults)
{
    for (const PendingFault& f : faults) {
        platform::VerifierFault(f.Rule, "%s", f.Detail.c_str());
    }
}

template <typename... Args>
PendingFault Pending(const char* rule, const char* format, Args... args)
{
    char text[256];
    snprintf(text, sizeof(text), format, args...);
    return PendingFault{rule, text};
}

// Finds changed guard bytes on either side of the block, then restores them: one overrun is one
// fault, however often the block is checked afterwards.
void CheckGuards(const Block& b, const char* when, std::vector<PendingFault>& out)
{
    UCHAR* start = b.Raw + b.Front;
    const size_t tailBytes = b.Total - b.Front - b.Size;
    Unpoison(b.Raw, b.Front);
    Unpoison(start + b.Size, tailBytes);
    const size_t before = FirstMismatch(b.Raw, b.Front, POOL_GUARD_BYTE);
    if (before != b.Front) {
        out.push_back(Pending("POOL_UNDERRUN", "block %p (%s): guard byte %zu before its start changed (%s)",
                              static_cast<const void*>(start), Owner(b).c_str(), b.Front - before, when));
        std::memset(b.Raw, POOL_GUARD_BYTE, b.Front);
    }
    const size_t tail = b.Total - b.Front - b.Size;
    const size_t after = FirstMismatch(start + b.Size, tail, POOL_GUARD_BYTE);
    if (after != tail) {
        out.push_back(Pending("POOL_OVERRUN", "block %p (%s): written past its end at offset %zu (%s)",
                              static_cast<const void*>(start), Owner(b).c_str(), b.Size + after, when));
        std::memset(start + b.Size, POOL_GUARD_BYTE, tail);
    }
    Poison(b.Raw, b.Front);
    Poison(start + b.Size, tailBytes);
}

// A block leaving the quarantine: its poison must be intact; then its memory is released.
void Release(const Block& b)
{
    Unpoison(b.Raw, b.Total);
    const UCHAR* start = b.Raw + b.Front;
    const size_t changed = FirstMismatch(start, b.Size, POOL_FREED_BYTE);
    if (changed != b.Size) {
        platform::VerifierFault("POOL_WRITE_AFTER_FREE", "block %p (%s): offset %zu written after the block was freed",
                                static_cast<const void*>(start), Owner(b).c_str(), changed);
    }
    std::vector<PendingFault> faults;
    CheckGuards(b, "after free", faults);
    Report(faults);
    Unpoison(b.Raw, b.Total);
    std::free(b.Raw);
}

// Takes the oldest blocks out of the quarantine until it is within its limits (lock held).
void EvictLocked(PoolState& st, std::vector<Block>& out, size_t maxBlocks, size_t maxBytes)
{
    while (!st.Quarantine.empty() && (st.Quarantine.size() > maxBlocks || st.QuarantineBytes > maxBytes)) {
        auto it = st.Freed.find(st.Quarantine.front());
        st.Quarantine.pop_front();
        st.QuarantineBytes -= it->second.Total;
        out.push_back(std::move(it->second));
        st.Freed.erase(it);
    }
}

bool Contains(uintptr_t start, const Block& b, uintptr_t p)
{
    return p >= start && p < start + (b.Size == 0 ? 1 : b.Size);
}

// The live block whose bytes contain `p`, or null (lock held).
std::pair<const uintptr_t, Block>* ContainingLive(PoolState& st, uintptr_t p)
{
    auto it = st.Live.upper_bound(p);
    if (it == st.Live.begin()) {
        return nullptr;
    }
    --it;
    return Contains(it->first, it->second, p) ? &*it : nullptr;
}

// The live or freed block whose bytes contain `p`, or null (lock held). Freed blocks are searched
// one by one: only a faulty free asks.
const std::pair<const uintptr_t, Block>* ContainingAny(PoolState& st, uintptr_t p)
{
    if (const auto* live = ContainingLive(st, p)) {
        return live;
    }
    for (const auto& entry : st.Freed) {
        if (Contains(entry.first, entry.second, p)) {
            return &entry;
        }
    }
    return nullptr;
}

}  // namespace

PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag)
{
    if (IsPaged(PoolType)) {
        platform::IrqlCheckAtMost(APC_LEVEL, "paged pool allocation");
    } else {
        platform::IrqlCheckAtMost(DISPATCH_LEVEL, "non-paged pool allocation");
    }
    if (Tag == 0) {
        platform::VerifierFault("POOL_TAG", "allocation of %zu bytes without a tag", NumberOfBytes);
    }
    PoolState& st = State();
    uint64_t serial;
    bool frontGuards;
    {
        std::lock_guard<std::mutex> guard(st.Lock);
        serial = ++st.Serial;
        frontGuards = st.FrontGuards;
        if (st.FailAtSerial != 0 && serial == st.FailAtSerial) {
            st.FailAtSerial = 0;
            ++st.Injected;
            return nullptr;
        }
        auto it = st.FailTags.find(Tag);
        if (it != st.FailTags.end()) {
            if (--it->second == 0) {
                st.FailTags.erase(it);
            }
            ++st.Injected;
            return nullptr;
        }
    }
    if (NumberOfBytes >= MAX_BLOCK) {
        return nullptr;
    }
    // Every block is at least 16-byte aligned (the kernel pool's granule); cache-aligned types get 64.
    const SIZE_T align = (static_cast<int>(PoolType) & 4) ? 64 : 16;
    const SIZE_T front = frontGuards ? align : 0;
    const SIZE_T total = front + (NumberOfBytes + BACK_GUARD_MIN + align - 1) / align * align;
    auto* raw = static_cast<UCHAR*>(std::aligned_alloc(align, total));
    if (raw == nullptr) {
        return nullptr;
    }
    UCHAR* p = raw + front;
    std::memset(raw, POOL_GUARD_BYTE, front);
    std::memset(p, POOL_POISON_BYTE, NumberOfBytes);
    std::memset(p + NumberOfBytes, POOL_GUARD_BYTE, total - front - NumberOfBytes);
    Poison(raw, front);
    Poison(p + NumberOfBytes, total - front - NumberOfBytes);
    std::lock_guard<std::mutex> guard(st.Lock);
    st.Live.emplace(reinterpret_cast<uintptr_t>(p),
                    Block{Tag, PoolType, NumberOfBytes, serial, raw, front, total, BlockState::Live, {}});
    return p;
}

static void FreeBlock(PVOID P, bool checkTag, ULONG Tag)
{
    if (P == nullptr) {
        platform::VerifierFault("POOL_FREE_NULL", "free of a null pointer");
        return;
    }
    PoolState& st = State();
    const auto address = reinterpret_cast<uintptr_t>(P);
    std::vector<PoolObject> objects;
    Block* block = nullptr;
    PendingFault refused{nullptr, {}};
    {
        std::lock_guard<std::mutex> guard(st.Lock);
        auto it = st.Live.find(address);
        if (it != st.Live.end()) {
            // Moved to the freed blocks at once so that a racing second free is reported. Records
            // of an unordered map keep their address, and only the quarantine erases freed ones
            // (this one is not in it yet), so `block` stays valid after the lock is released.
            block = &st.Freed.emplace(address, std::move(it->second)).first->second;
            st.Live.erase(it);
            block->State = BlockState::Quarantined;
            objects.swap(block->Objects);
        } else if (auto freed = st.Freed.find(address); freed != st.Freed.end()) {
            // Described while the lock keeps the record in place; the fault names the owner.
            refused = Pending("POOL_DOUBLE_FREE", "block %p (%s) freed again", P, Owner(freed->second).c_str());
        } else if (const auto* inside = ContainingAny(st, address)) {
            refused = Pending("POOL_FREE_UNKNOWN", "free of %p, offset %zu inside %s block %p (%s)", P,
                              static_cast<size_t>(address - inside->first),
                              inside->second.State == BlockState::Live ? "live" : "freed",
                              reinterpret_cast<void*>(inside->first), Owner(inside->second).c_str());
        } else {
            refused = Pending("POOL_FREE_UNKNOWN", "free of %p, which is not a live pool block", P);
        }
    }
    if (refused.Rule != nullptr) {
        Report({refused});
        return;
    }
    if (checkTag && block->Tag != Tag) {
        platform::VerifierFault("POOL_FREE_TAG", "block with tag '%s' freed with tag '%s'",
                                platform::PoolTagToString(block->Tag).c_str(), platform::PoolTagToString(Tag).c_str());
    }
    if (IsPaged(block->Type)) {
        platform::IrqlCheckAtMost(APC_LEVEL, "paged pool free");
    } else {
        platform::IrqlCheckAtMost(DISPATCH_LEVEL, "non-paged pool free");
    }
    bool pinned = false;
    if (!objects.empty()) {
        pinned = platform::detail::ObjectCheckFreedBlock(objects.data(), objects.size(), Owner(*block).c_str());
    }
    std::vector<PendingFault> faults;
    CheckGuards(*block, "at free", faults);
    Report(faults);
    std::memset(P, POOL_FREED_BYTE, block->Size);
    // Usually one block leaves per free; the vector is kept per thread so that this costs no allocation.
    thread_local std::vector<Block> evicted;
    evicted.clear();
    {
        std::lock_guard<std::mutex> guard(st.Lock);
        if (pinned) {
            block->State = BlockState::Pinned;  // a waiter still reads it: never released
        } else {
            Poison(P, block->Size);
            st.Quarantine.push_back(address);
            st.QuarantineBytes += block->Total;
            EvictLocked(st, evicted, st.QuarantineMaxBlocks, st.QuarantineMaxBytes);
        }
    }
    for (const Block& b : evicted) {
        Release(b);
    }
}

VOID ExFreePoolWithTag(PVOID P, ULONG Tag) { FreeBlock(P, true, Tag); }

VOID ExFreePool(PVOID P) { FreeBlock(P, false, 0); }

namespace platform::detail {

void PoolNoteObject(void* object, KernelObjectKind kind)
{
    PoolState& st = State();
    std::lock_guard<std::mutex> guard(st.Lock);
    auto* it = ContainingLive(st, reinterpret_cast<uintptr_t>(object));
    if (it == nullptr) {
        return;
    }
    for (PoolObject& o : it->second.Objects) {
        if (o.Address == object) {
            o.Kind = kind;
            return;
        }
    }
    it->second.Objects.push_back(PoolObject{object, kind});
}

}  // namespace platform::detail

namespace platform {

std::string PoolTagToString(ULONG tag)
{
    std::string s;
    for (int i = 0; i < 4; ++i) {
        char c = static_cast<char>((tag >> (8 * i)) & 0xFF);
        if (c == '\0') {
            s += "\\0";
        } else {
            s += c;
        }
    }
    return s;
}

// Sums `weight` over the live blocks that `select` accepts.
template <typename Select, typename Weight>
static size_t SumLive(Select select, Weight weight)
{
    PoolState& st = State();
    std::lock_guard<std::mutex> guard(st.Lock);
    size_t n = 0;
    for (const auto& [p, b] : st.Live) {
        n += select(b) ? weight(b) : 0;
    }
    return n;
}

size_t PoolLiveCount(ULONG tag)
{
    return SumLive([tag](const Block& b) { return b.Tag == tag; }, [](const Block&) { return size_t{1}; });
}

size_t PoolLiveBytes(ULONG tag)
{
    return SumLive([tag](const Block& b) { return b.Tag == tag; }, [](const Block& b) { return b.Size; });
}

size_t PoolLiveCountAll()
{
    PoolState& st = State();
    std::lock_guard<std::mutex> guard(st.Lock);
    return st.Live.size();
}

uint64_t PoolCurrentSerial()
{
    PoolState& st = State();
    std::lock_guard<std::mutex> guard(st.Lock);
    return st.Serial;
}

size_t PoolLiveSince(uint64_t serial)
{
    return SumLive([serial](const Block& b) { return b.Serial > serial; }, [](const Block&) { return size_t{1}; });
}

std::string PoolLeakReport(uint64_t serial)
{
    PoolState& st = State();
    std::map<ULONG, std::pair<size_t, size_t>> byTag;
    {
        std::lock_guard<std::mutex> guard(st.Lock);
        for (const auto& [p, b] : st.Live) {
            if (b.Serial > serial) {
                auto& e = byTag[b.Tag];
                e.first += 1;
                e.second += b.Size;
            }
        }
    }
    std::string report;
    for (const auto& [tag, e] : byTag) {
        char line[96];
        snprintf(line, sizeof(line), "tag '%s': %zu block(s), %zu bytes; ", PoolTagToString(tag).c_str(), e.first,
                 e.second);
        report += line;
    }
    return report;
}

void PoolFailNthAllocation(uint64_t n)
{
    PoolState& st = State();
    std::lock_guard<std::mutex> guard(st.Lock);
    st.FailAtSerial = n == 0 ? 0 : st.Serial + n;
}

void PoolFailNextWithTag(ULONG tag, uint32_t times)
{
    PoolState& st = State();
    std::lock_guard<std::mutex> guard(st.Lock);
    if (times == 0) {
        st.FailTags.erase(tag);
    } else {
        st.FailTags[tag] = times;
    }
}

void PoolClearFailures()
{
    PoolState& st = State();
    std::lock_guard<std::mutex> guard(st.Lock);
    st.FailAtSerial = 0;
    st.FailTags.clear();
}

uint64_t PoolInjectedFailures()
{
    PoolState& st = State();
    std::lock_guard<std::mutex> guard(st.Lock);
    return st.Injected;
}

bool PoolQueryBlock(const void* p, ULONG* tag, POOL_TYPE* type, SIZE_T* size)
{
    PoolState& st = State();
    std::lock_guard<std::mutex> guard(st.Lock);
    auto it = st.Live.find(reinterpret_cast<uintptr_t>(p));
    if (it == st.Live.end()) {
        return false;
    }
    if (tag) *tag = it->second.Tag;
    if (type) *type = it->second.Type;
    if (size) *size = it->second.Size;
    return true;
}

bool PoolSetSanitizerPoisoning(bool on) { return g_SanitizerPoisoning.exchange(on); }

bool PoolSetFrontGuards(bool on)
{
    PoolState& st = State();
    std::lock_guard<std::mutex> guard(st.Lock);
    const bool previous = st.FrontGuards;
    st.FrontGuards = on;
    return previous;
}

void PoolSetQuarantineLimits(size_t blocks, size_t bytes)
{
    PoolState& st = State();
    std::vector<Block> evicted;
    {
        std::lock_guard<std::mutex> guard(st.Lock);
        st.QuarantineMaxBlocks = blocks;
        st.QuarantineMaxBytes = bytes;
        EvictLocked(st, evicted, blocks, bytes);
    }
    for (const Block& b : evicted) {
        Release(b);
    }
}

void PoolResetQuarantineLimits() { PoolSetQuarantineLimits(QUARANTINE_BLOCKS, QUARANTINE_BYTES); }

void PoolVerifyAll()
{
    PoolState& st = State();
    std::vector<Block> evicted;
    std::vector<PendingFault> faults;
    {
        std::lock_guard<std::mutex> guard(st.Lock);
        for (const auto& [p, b] : st.Live) {
            CheckGuards(b, "at the end of the test", faults);
        }
        EvictLocked(st, evicted, 0, 0);
    }
    Report(faults);
    for (const Block& b : evicted) {
        Release(b);
    }
}

size_t PoolQuarantineCount()
{
    PoolState& st = State();
    std::lock_guard<std::mutex> guard(st.Lock);
    return st.Quarantine.size();
}

}  // namespace platform
