// What the breadth-first walks over entity graphs use: a ring of entity ids still to visit and
// the set of ids already met, so that no walk queues an entity twice or goes round a loop.
// The ring: any IRQL. The set's bitmap is paged: its Init at PASSIVE_LEVEL, the rest at
// IRQL <= APC_LEVEL.
#pragma once

#include "platform/nt/Pool.h"

// The ring has 20 slots and holds at most 19 ids: with all 20 filled the read and write indexes
// would meet and the ring would look empty, losing what it held.
constexpr ULONG ENTITY_RING_SLOTS = 20;
constexpr ULONG ENTITY_RING_CAPACITY = ENTITY_RING_SLOTS - 1;

// Entity ids met by one walk, as a bitmap over the ids an `AudioHal` has given out.
class EntityIdSet {
public:
    EntityIdSet() : m_pBits(nullptr), m_ulCapacity(0), m_ulTag(0) {}
    ~EntityIdSet();
    EntityIdSet(const EntityIdSet&) = delete;
    EntityIdSet& operator=(const EntityIdSet&) = delete;

    // Room for ids 0 .. ulCapacity - 1, from PagedPool with the tag; STATUS_INSUFFICIENT_RESOURCES
    // when it cannot be allocated. PASSIVE_LEVEL.
    NTSTATUS Init(ULONG ulCapacity, ULONG ulTag);
    BOOLEAN Contains(ULONG ulId) const;
    // Adds the id; FALSE when it was there already. An id at or past the capacity names no entity
    // (the walk's lookup refuses it) and is never recorded.
    BOOLEAN Insert(ULONG ulId);

private:
    PUCHAR m_pBits;
    ULONG m_ulCapacity;
    ULONG m_ulTag;
};

class EntityIdRing {
public:
    EntityIdRing() : m_ulRead(0), m_ulWrite(0) {}

    BOOLEAN IsEmpty() const { return m_ulRead == m_ulWrite; }
    ULONG Count() const { return (m_ulWrite + ENTITY_RING_SLOTS - m_ulRead) % ENTITY_RING_SLOTS; }
    ULONG FreeSpace() const { return ENTITY_RING_CAPACITY - Count(); }

    // Appends one id; STATUS_INSUFFICIENT_RESOURCES when the ring holds 19 already.
    NTSTATUS Append(ULONG ulId);
    // Appends the ids not in `pVisited` (each once, in order) and records them there; all of them or,
    // when they do not fit, none (STATUS_INSUFFICIENT_RESOURCES). A null set appends every id.
    NTSTATUS AppendUnvisited(const ULONG* pIds, ULONG ulCount, EntityIdSet* pVisited);
    // The id at the read index, which then advances; the ring must not be empty.
    ULONG Take();
    ULONG Peek() const { return m_ulIds[m_ulRead]; }

private:
    ULONG m_ulIds[ENTITY_RING_SLOTS] = {};
    ULONG m_ulRead;
    ULONG m_ulWrite;
};
