// The AudioControl units of a UAC function as their descriptors connect them, by unit id: the
// checks that every source names a unit and that no unit lies upstream of itself, made once after
// the AudioControl walk so that no later walk over the units or their entities meets a loop.
// The graph lives in paged pool: every member at IRQL <= APC_LEVEL, its allocation at
// PASSIVE_LEVEL.
#pragma once

#include "adapter/UacDescriptorRules.h"
#include "platform/nt/Pool.h"

class UacUnitGraph {
public:
    // `version` names the function in the log.
    explicit UacUnitGraph(UacVersion version);

    // From the pool, zeroed; there is no global new.
    static void* operator new(size_t size, POOL_TYPE poolType, ULONG tag) noexcept;
    static void operator delete(void* p) noexcept;
    static void operator delete(void* p, POOL_TYPE poolType, ULONG tag) noexcept;
    static void* operator new(size_t size) = delete;

    // Records a unit descriptor (subtypes 2 to 6) that passed its check; it must stay valid while
    // the graph is used. Of several units with one id the first stays, as the unit lookup finds it.
    void AddUnit(const UCHAR* pDescriptor);
    // The descriptor recorded for the id, or null.
    const UCHAR* FindUnit(UCHAR id) const;

    // Every source of the descriptor names a recorded unit: else STATUS_UNSUCCESSFUL.
    NTSTATUS CheckSources(const UCHAR* pDescriptor) const;
    // Every recorded unit's sources name units (STATUS_UNSUCCESSFUL) and no unit is its own
    // upstream (STATUS_INVALID_PARAMETER). Walks without recursion: a chain of 255 units costs no
    // stack.
    NTSTATUS Check();
    // An AS_GENERAL's bTerminalLink: STATUS_UNSUCCESSFUL when it names no unit,
    // STATUS_INVALID_PARAMETER when the unit is no terminal.
    NTSTATUS CheckTerminalLink(UCHAR id) const;

private:
    static constexpr ULONG UNIT_IDS = 256;
    struct Frame {
        UCHAR Id;
        UCHAR NextSource;
    };

    UacVersion m_version;
    const UCHAR* m_pUnits[UNIT_IDS];
    // Scratch of Check: the colour of each id (0 unseen, 1 on the current path, 2 done) and the path.
    UCHAR m_colour[UNIT_IDS];
    Frame m_path[UNIT_IDS];
};
