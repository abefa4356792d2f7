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

    template <typename T>
    T* Data() const
    {
        return static_cast<T*>(m_pData);
    }
};
static_assert(sizeof(ObjectListNode) == 24, "list nodes are 24 bytes");

template <typename T>
class ObjectListItems;

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

    // Typed forms of the reads above, for lists that never hold null: null stands for "no element"
    // (index at or past the count, or an empty list).
    template <typename T>
    T* GetAt(ULONG index) const
    {
        PVOID pData = nullptr;
        return GetAt(index, &pData) ? static_cast<T*>(pData) : nullptr;
    }
    template <typename T>
    T* PeekHead() const
    {
        PVOID pData = nullptr;
        PeekHead(&pData);
        return static_cast<T*>(pData);
    }
    template <typename T>
    T* PeekTail() const
    {
        PVOID pData = nullptr;
        PeekTail(&pData);
        return static_cast<T*>(pData);
    }
    template <typename T>
    T* PopHead()
    {
        PVOID pData = nullptr;
        return PopHead(&pData) ? static_cast<T*>(pData) : nullptr;
    }
    // The elements front to back as T*, for a range-for (see ObjectListItems).
    template <typename T>
    ObjectListItems<T> Items() const;

    ObjectListNode* m_pHead;
    ObjectListNode* m_pTail;
    LONG m_lCount;

private:
    // Links a new node between two neighbours (null for the list's ends).
    ObjectListNode* LinkBetween(PVOID pData, ObjectListNode* pPrev, ObjectListNode* pNext);
};

// A walk from the head, the range-for form of GetHeadNode and Next. Like Next, each step reads the
// following node before the loop body runs, so the body may RemoveNode the current element's node
// (never another one).
template <typename T>
class ObjectListItems {
public:
    class Iterator {
    public:
        explicit Iterator(ObjectListNode* pNode)
            : m_pNode(pNode), m_pFollowing(pNode != nullptr ? pNode->m_pNext : nullptr)
        {
        }
        T* operator*() const { return m_pNode->Data<T>(); }
        Iterator& operator++()
        {
            m_pNode = m_pFollowing;
            m_pFollowing = m_pNode != nullptr ? m_pNode->m_pNext : nullptr;
            return *this;
        }
        bool operator!=(const Iterator& other) const { return m_pNode != other.m_pNode; }

    private:
        ObjectListNode* m_pNode;
        ObjectListNode* m_pFollowing;
    };

    explicit ObjectListItems(ObjectListNode* pHead) : m_pHead(pHead) {}
    Iterator begin() const { return Iterator(m_pHead); }
    Iterator end() const { return Iterator(nullptr); }

private:
    ObjectListNode* m_pHead;
};

template <typename T>
ObjectListItems<T> ObjectList::Items() const
{
    return ObjectListItems<T>(m_pHead);
}

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
