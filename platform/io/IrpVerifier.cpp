#include "platform/io/IrpVerifier.h"

#include <algorithm>
#include <deque>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "platform/nt/Verifier.h"

namespace platform {
namespace {

struct IrpRecord {
    bool FullyCompleted = false;
    std::vector<IrpDispatchFrame*> Frames;

    IrpRecord() = default;
    IrpRecord(const IrpRecord&) = delete;
    IrpRecord& operator=(const IrpRecord&) = delete;
    ~IrpRecord() { Clear(); }
    void Clear()
    {
        for (IrpDispatchFrame* f : Frames) {
            if (f->OnHeap) {
                delete f;
            }
        }
        Frames.clear();
        FullyCompleted = false;
    }
};

struct FreedRecord {
    bool ByCompletion;
    uint64_t Serial;  // matches the queue entry that will forget it
};

// Addresses of freed IRPs are remembered this long (in frees) so that a late use is named as such.
constexpr size_t FREED_IRPS_KEPT = 4096;

struct IrpTable {
    std::mutex Lock;
    std::unordered_map<PIRP, IrpRecord> Live;
    std::unordered_map<PIRP, FreedRecord> Freed;
    std::deque<std::pair<PIRP, uint64_t>> FreedOrder;
    uint64_t NextSerial = 0;
};

IrpTable& Table()
{
    static IrpTable* table = new IrpTable();  // never destroyed: threads may complete IRPs at exit
    return *table;
}

void RemoveFrame(IrpRecord& record, const IrpDispatchFrame* frame)
{
    auto& frames = record.Frames;
    frames.erase(std::remove(frames.begin(), frames.end(), frame), frames.end());
}

void CheckPendingRules(PIRP irp, const IrpDispatchFrame& frame, NTSTATUS status, bool marked)
{
    if (status == STATUS_PENDING && !marked) {
        VerifierFault("IRP_PENDING_NOT_MARKED",
                      "dispatch routine %p of device %p returned STATUS_PENDING for IRP %p without IoMarkIrpPending",
                      frame.Routine, static_cast<void*>(frame.Device), static_cast<void*>(irp));
    } else if (status != STATUS_PENDING && marked) {
        VerifierFault("IRP_MARKED_NOT_PENDING",
                      "dispatch routine %p of device %p marked IRP %p pending but returned 0x%08X", frame.Routine,
                      static_cast<void*>(frame.Device), static_cast<void*>(irp), static_cast<unsigned>(status));
    }
}

}  // namespace

void IrpVerifierInit(PIRP irp)
{
    IrpTable& t = Table();
    std::lock_guard<std::mutex> guard(t.Lock);
    t.Freed.erase(irp);  // its queue entry goes stale and is skipped when it leaves
    t.Live[irp].Clear();
}

bool IrpVerifierCheckLive(PIRP irp, const char* call, IrpUse use)
{
    IrpTable& t = Table();
    std::lock_guard<std::mutex> guard(t.Lock);
    if (t.Live.count(irp) != 0) {
        return true;
    }
    auto freed = t.Freed.find(irp);
    if (freed == t.Freed.end()) {
        VerifierFault("IRP_NOT_LIVE", "%s on %p, which is no live IRP (never initialised, or freed long ago)", call,
                      static_cast<void*>(irp));
    } else if (use == IrpUse::Free) {
        VerifierFault("IRP_FREED_TWICE", "IoFreeIrp on IRP %p, which was freed already", static_cast<void*>(irp));
    } else if (use == IrpUse::Completion && freed->second.ByCompletion) {
        VerifierFault("IRP_COMPLETED_TWICE", "%s on IRP %p, which completed already and was freed then", call,
                      static_cast<void*>(irp));
    } else {
        VerifierFault("IRP_USED_AFTER_FREE", "%s on IRP %p after IoFreeIrp", call, static_cast<void*>(irp));
    }
    return false;
}

void IrpVerifierFree(PIRP irp, bool byCompletion)
{
    IrpTable& t = Table();
    std::lock_guard<std::mutex> guard(t.Lock);
    t.Live.erase(irp);
    const uint64_t serial = t.NextSerial++;
    t.Freed[irp] = FreedRecord{byCompletion, serial};
    t.FreedOrder.emplace_back(irp, serial);
    while (t.FreedOrder.size() > FREED_IRPS_KEPT) {
        const auto [oldest, oldSerial] = t.FreedOrder.front();
        t.FreedOrder.pop_front();
        auto it = t.Freed.find(oldest);
        if (it != t.Freed.end() && it->second.Serial == oldSerial) {
            t.Freed.erase(it);
        }
    }
}

void IrpVerifierEnterDispatch(PIRP irp, IrpDispatchFrame* frame)
{
    IrpTable& t = Table();
    std::lock_guard<std::mutex> guard(t.Lock);
    auto it = t.Live.find(irp);
    if (it != t.Live.end()) {
        it->second.FullyCompleted = false;
        it->second.Frames.push_back(frame);
    }
}

void IrpVerifierLeaveDispatch(PIRP irp, IrpDispatchFrame* frame, NTSTATUS status)
{
    IrpTable& t = Table();
    std::lock_guard<std::mutex> guard(t.Lock);
    auto it = t.Live.find(irp);
    if (frame->Completed) {
        // The IRP came back while the routine ran: everything is known, and the IRP may be gone.
        CheckPendingRules(irp, *frame, status, frame->Marked);
        if (status != STATUS_PENDING && status != frame->CompletedStatus) {
            VerifierFault("IRP_STATUS_MISMATCH",
                          "dispatch routine %p of device %p returned 0x%08X for IRP %p, which it completed with "
                          "IoStatus.Status 0x%08X",
                          frame->Routine, static_cast<void*>(frame->Device), static_cast<unsigned>(status),
                          static_cast<void*>(irp), static_cast<unsigned>(frame->CompletedStatus));
        }
        if (it != t.Live.end()) {
            RemoveFrame(it->second, frame);
        }
        return;
    }
    if (it == t.Live.end()) {
        return;  // freed without completing past this location: its own fault was reported
    }
    // Still down in the drivers, so the IRP is live and its location readable under the lock.
    const bool marked = (__atomic_load_n(&frame->Location->Control, __ATOMIC_ACQUIRE) & SL_PENDING_RETURNED) != 0;
    if (status == STATUS_PENDING && !marked) {
        // A completion routine that propagates the mark may still set it: decided at completion,
        // by a copy that outlives this call.
        auto* kept = new IrpDispatchFrame(*frame);
        kept->Returned = true;
        kept->OnHeap = true;
        std::replace(it->second.Frames.begin(), it->second.Frames.end(), frame, kept);
        return;
    }
    CheckPendingRules(irp, *frame, status, marked);
    RemoveFrame(it->second, frame);
}

void IrpVerifierLocationCompleted(PIRP irp, PIO_STACK_LOCATION location, UCHAR control, NTSTATUS status)
{
    IrpTable& t = Table();
    std::lock_guard<std::mutex> guard(t.Lock);
    auto it = t.Live.find(irp);
    if (it == t.Live.end()) {
        return;
    }
    auto& frames = it->second.Frames;
    const bool marked = (control & SL_PENDING_RETURNED) != 0;
    for (auto f = frames.begin(); f != frames.end();) {
        IrpDispatchFrame& frame = **f;
        if (frame.Location != location) {
            ++f;
            continue;
        }
        if (frame.Returned) {
            CheckPendingRules(irp, frame, STATUS_PENDING, marked);
            delete &frame;  // only kept frames have returned
            f = frames.erase(f);
            continue;
        }
        frame.Completed = true;
        frame.Marked = marked;
        frame.CompletedStatus = status;
        f = frames.erase(f);  // the routine's own reference settles it when it returns
    }
}

bool IrpVerifierStartCompletion(PIRP irp, bool* fullyCompleted)
{
    {
        IrpTable& t = Table();
        std::lock_guard<std::mutex> guard(t.Lock);
        auto it = t.Live.find(irp);
        if (it != t.Live.end()) {
            *fullyCompleted = it->second.FullyCompleted;
            return true;
        }
    }
    return IrpVerifierCheckLive(irp, "IofCompleteRequest", IrpUse::Completion);
}

void IrpVerifierSetFullyCompleted(PIRP irp)
{
    IrpTable& t = Table();
    std::lock_guard<std::mutex> guard(t.Lock);
    auto it = t.Live.find(irp);
    if (it != t.Live.end()) {
        it->second.FullyCompleted = true;
    }
}

}  // namespace platform
