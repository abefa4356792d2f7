#include "platform/nt/Pool.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <unordered_map>

#include "platform/nt/Irql.h"
#include "platform/nt/Verifier.h"

namespace {

struct Block {
    ULONG Tag;
    POOL_TYPE Type;
    SIZE_T Size;
    uint64_t Serial;
};

struct PoolState {
    std::mutex Lock;
    std::unordered_map<const void*, Block> Live;
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

bool IsPaged(POOL_TYPE type) { return (static_cast<int>(type) & 1) != 0; }

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
    {
        std::lock_guard<std::mutex> guard(st.Lock);
        serial = ++st.Serial;
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
    // Every block is at least 16-byte aligned (the kernel pool's granule); cache-aligned types get 64.
    const SIZE_T align = (static_cast<int>(PoolType) & 4) ? 64 : 16;
    const SIZE_T bytes = NumberOfBytes == 0 ? 1 : NumberOfBytes;
    void* p = std::aligned_alloc(align, (bytes + align - 1) / align * align);
    if (p == nullptr) {
        return nullptr;
    }
    std::memset(p, POOL_POISON_BYTE, bytes);
    std::lock_guard<std::mutex> guard(st.Lock);
    st.Live[p] = Block{Tag, PoolType, NumberOfBytes, serial};
    return p;
}

static void FreeBlock(PVOID P, bool checkTag, ULONG Tag)
{
    if (P == nullptr) {
        platform::VerifierFault("POOL_FREE_NULL", "free of a null pointer");
        return;
    }
    PoolState& st = State();
    Block block;
    {
        std::lock_guard<std::mutex> guard(st.Lock);
        auto it = st.Live.find(P);
        if (it == st.Live.end()) {
            platform::VerifierFault("POOL_FREE_UNKNOWN", "free of %p, which is not a live pool block", P);
            return;
        }
        block = it->second;
        st.Live.erase(it);
    }
    if (checkTag && block.Tag != Tag) {
        platform::VerifierFault("POOL_FREE_TAG", "block with tag '%s' freed with tag '%s'",
                                platform::PoolTagToString(block.Tag).c_str(), platform::PoolTagToString(Tag).c_str());
    }
    if (IsPaged(block.Type)) {
        platform::IrqlCheckAtMost(APC_LEVEL, "paged pool free");
    } else {
        platform::IrqlCheckAtMost(DISPATCH_LEVEL, "non-paged pool free");
    }
    std::memset(P, 0xDD, block.Size == 0 ? 1 : block.Size);
    std::free(P);
}

VOID ExFreePoolWithTag(PVOID P, ULONG Tag) { FreeBlock(P, true, Tag); }

VOID ExFreePool(PVOID P) { FreeBlock(P, false, 0); }

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
    auto it = st.Live.find(p);
    if (it == st.Live.end()) {
        return false;
    }
    if (tag) *tag = it->second.Tag;
    if (type) *type = it->second.Type;
    if (size) *size = it->second.Size;
    return true;
}

}  // namespace platform
