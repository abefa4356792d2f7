#include "adapter/ObjectList.h"

#include "platform/nt/Pool.h"
#include "platform/nt/Sync.h"

namespace {

ObjectListNode* NewNode(PVOID pData)
{
    auto* node = static_cast<ObjectListNode*>(
        ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(ObjectListNode), OBJECT_LIST_NODE_TAG));
    if (node != nullptr) {
        node->m_pNext = nullptr;
        node->m_pPrev = nullptr;
        node->m_pData = pData;
    }
    return node;
}

}  // namespace

ObjectList* ObjectList::Init()
{
    m_pHead = nullptr;
    m_pTail = nullptr;
    InterlockedExchange(&m_lCount, 0);
    return this;
}

ObjectListNode* ObjectList::LinkBetween(PVOID pData, ObjectListNode* pPrev, ObjectListNode* pNext)
{
    ObjectListNode* node = NewNode(pData);
    if (node == nullptr) {
        return nullptr;
    }
    node->m_pPrev = pPrev;
    node->m_pNext = pNext;
    if (pPrev != nullptr) {
        pPrev->m_pNext = node;
    } else {
        m_pHead = node;
    }
    if (pNext != nullptr) {
        pNext->m_pPrev = node;
    } else {
        m_pTail = node;
    }
    InterlockedIncrement(&m_lCount);
    return node;
}

ObjectListNode* ObjectList::Append(PVOID pData) { return LinkBetween(pData, m_pTail, nullptr); }

ObjectListNode* ObjectList::Prepend(PVOID pData) { return LinkBetween(pData, nullptr, m_pHead); }

ObjectListNode* ObjectList::InsertBefore(ObjectListNode* pNode, PVOID pData)
{
    if (pNode == nullptr || pNode->m_pPrev == nullptr) {
        return Prepend(pData);
    }
    return LinkBetween(pData, pNode->m_pPrev, pNode);
}

bool ObjectList::GetAt(ULONG index, PVOID* ppData) const
{
    const LONG count = GetCount();
    if (ppData == nullptr || count <= 0 || index >= static_cast<ULONG>(count)) {
        return false;
    }
    ObjectListNode* node = m_pHead;
    for (ULONG i = 0; i < index && node != nullptr; ++i) {
        node = node->m_pNext;
    }
    if (node == nullptr) {
        return false;
    }
    *ppData = node->m_pData;
    return true;
}

bool ObjectList::PopHead(PVOID* ppData)
{
    if (ppData == nullptr || m_pHead == nullptr) {
        return false;
    }
    ObjectListNode* node = m_pHead;
    *ppData = node->m_pData;
    m_pHead = node->m_pNext;
    if (m_pHead != nullptr) {
        m_pHead->m_pPrev = nullptr;
    } else {
        m_pTail = nullptr;
    }
    ExFreePoolWithTag(node, OBJECT_LIST_NODE_TAG);
    InterlockedDecrement(&m_lCount);
    return true;
}

bool ObjectList::PeekHead(PVOID* ppData) const
{
    if (ppData == nullptr) {
        return false;
    }
    *ppData = m_pHead != nullptr ? m_pHead->m_pData : nullptr;
    return m_pHead != nullptr;
}

bool ObjectList::PeekTail(PVOID* ppData) const
{
    if (ppData == nullptr) {
        return false;
    }
    *ppData = m_pTail != nullptr ? m_pTail->m_pData : nullptr;
    return m_pTail != nullptr;
}

bool ObjectList::Next(ObjectListNode** ppCursor, PVOID* ppData) const
{
    if (ppCursor == nullptr || *ppCursor == nullptr) {
        return false;
    }
    if (ppData != nullptr) {
        *ppData = (*ppCursor)->m_pData;
    }
    *ppCursor = (*ppCursor)->m_pNext;
    return true;
}

void ObjectList::RemoveNode(ObjectListNode* pNode)
{
    if (pNode == nullptr) {
        return;
    }
    if (pNode->m_pPrev != nullptr) {
        pNode->m_pPrev->m_pNext = pNode->m_pNext;
    } else {
        m_pHead = pNode->m_pNext;
    }
    if (pNode->m_pNext != nullptr) {
        pNode->m_pNext->m_pPrev = pNode->m_pPrev;
    } else {
        m_pTail = pNode->m_pPrev;
    }
    ExFreePoolWithTag(pNode, OBJECT_LIST_NODE_TAG);
    InterlockedDecrement(&m_lCount);
}
