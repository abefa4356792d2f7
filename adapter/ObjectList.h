// The driver's one list type: a doubly linked list of object pointers. The list never owns what
// it points to and has no lock; its owner serialises every change and walk. Only the count is
// interlocked, so that it may be polled without the owner's lock.
#pragma once

#include "platform/nt/NtTypes.h"

// Nodes come from NonPagedPoolNx with this tag, so lists may be read at DISPATCH_LEVEL.
constexpr ULONG OBJECT_LIST_NODE_TAG = MakePoolTag("Lis\0");

struct ObjectListNode {
    ObjectListNode* m_pNext;  // null at the tail
    ObjectListNode* m_pPrev;  // null at the head
    PVOID m_pData;
};
static_assert(sizeof(ObjectListNode) == 24, "list nodes are 24 bytes");

class ObjectList {
public:
    ObjectList* Init();

    // The insert operations return the new node, or null (list unchanged) when no node could be
    // allocated.
    ObjectListNode* Append(PVOID pData);
    ObjectListNode* Prepend(PVOID pData);
    // Before `pNode`; at the head when the node is the head or null.
    ObjectListNode* InsertBefore(ObjectListNode* pNode, PVOID pData);

    // False, with *ppData unchanged, when the index is at or past the count.
    bool GetAt(ULONG index, PVOID* ppData) const;
    bool PopHead(PVOID* ppData);
    LONG GetCount() const { return __atomic_load_n(&m_lCount, __ATOMIC_SEQ_CST); }
    bool IsEmpty() const { return GetCount() == 0; }
    // An empty list stores null and returns false.
    bool PeekHead(PVOID* ppData) const;
    bool PeekTail(PVOID* ppData) const;

    // Iteration: cursor = GetHeadNode(); while (Next(&cursor, &data)) { ... }
    ObjectListNode* GetHeadNode() const { return m_pHead; }
    bool Next(ObjectListNode** ppCursor, PVOID* ppData) const;

    // Unlinks and frees a node of this list.
    void RemoveNode(ObjectListNode* pNode);

    ObjectListNode* m_pHead;
    ObjectListNode* m_pTail;
    LONG m_lCount;

private:
    // Links a new node between two neighbours (null for the list's ends).
    ObjectListNode* LinkBetween(PVOID pData, ObjectListNode* pPrev, ObjectListNode* pNext);
};

// Appends an object and takes a reference for the list; when the node cannot be had, the
// reference is given back and STATUS_INSUFFICIENT_RESOURCES returned.
template <typename T>
NTSTATUS AppendReferenced(ObjectList* pList, T* pObject)
{
    pObject->AddRef();
    if (pList->Append(pObject) == nullptr) {
        pObject->Release();
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    return STATUS_SUCCESS;
}
