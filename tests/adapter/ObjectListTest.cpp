#include <gtest/gtest.h>

#include <vector>

#include "adapter/ObjectList.h"
#include "platform/nt/Irql.h"
#include "platform/nt/Pool.h"
#include "platform/nt/PoolHost.h"

namespace {

int g_a, g_b, g_c, g_x;
PVOID A = &g_a;
PVOID B = &g_b;
PVOID C = &g_c;
PVOID X = &g_x;

class ObjectListTest : public ::testing::Test {
protected:
    void SetUp() override { m_list.Init(); }
    void TearDown() override
    {
        PVOID data;
        while (m_list.PopHead(&data)) {
        }
    }

    // The elements front to back, after checking that the backward links, head, tail and count
    // all agree with the forward chain.
    std::vector<PVOID> Contents()
    {
        std::vector<PVOID> forward;
        ObjectListNode* cursor = m_list.GetHeadNode();
        PVOID data = nullptr;
        while (m_list.Next(&cursor, &data)) {
            forward.push_back(data);
        }
        std::vector<PVOID> backward;
        for (ObjectListNode* n = m_list.m_pTail; n != nullptr; n = n->m_pPrev) {
            backward.insert(backward.begin(), n->m_pData);
        }
        EXPECT_EQ(forward, backward);
        EXPECT_EQ(m_list.GetCount(), static_cast<LONG>(forward.size()));
        EXPECT_EQ(m_list.m_pHead == nullptr, m_list.m_pTail == nullptr);
        EXPECT_EQ(m_list.IsEmpty(), forward.empty());
        if (m_list.m_pHead != nullptr) {
            EXPECT_EQ(m_list.m_pHead->m_pPrev, nullptr);
            EXPECT_EQ(m_list.m_pTail->m_pNext, nullptr);
        }
        return forward;
    }

    ObjectList m_list;
};

TEST_F(ObjectListTest, InsertsAtBothEndsAndBeforeNodes)
{
    ObjectListNode* nodeA = m_list.Append(A);
    ObjectListNode* nodeC = m_list.Append(C);
    ASSERT_NE(nodeA, nullptr);
    ASSERT_NE(nodeC, nullptr);
    // Before a later node: just in front of it.
    ASSERT_NE(m_list.InsertBefore(nodeC, B), nullptr);
    EXPECT_EQ(Contents(), (std::vector<PVOID>{A, B, C}));
    // Before the head, or before no node at all: at the front.
    ASSERT_NE(m_list.InsertBefore(nodeA, X), nullptr);
    EXPECT_EQ(Contents(), (std::vector<PVOID>{X, A, B, C}));
    ASSERT_NE(m_list.InsertBefore(nullptr, C), nullptr);
    ASSERT_NE(m_list.Prepend(B), nullptr);
    EXPECT_EQ(Contents(), (std::vector<PVOID>{B, C, X, A, B, C}));
}

TEST_F(ObjectListTest, PopHeadOfTheOnlyElementEmptiesTheList)
{
    m_list.Append(A);
    PVOID data = nullptr;
    EXPECT_FALSE(m_list.PopHead(nullptr));
    EXPECT_EQ(m_list.GetCount(), 1);
    ASSERT_TRUE(m_list.PopHead(&data));
    EXPECT_EQ(data, A);
    EXPECT_EQ(m_list.m_pHead, nullptr);
    EXPECT_EQ(m_list.m_pTail, nullptr);
    EXPECT_EQ(m_list.GetCount(), 0);
    EXPECT_FALSE(m_list.PopHead(&data));
    // The list is usable again afterwards.
    m_list.Append(B);
    m_list.Append(C);
    ASSERT_TRUE(m_list.PopHead(&data));
    EXPECT_EQ(Contents(), (std::vector<PVOID>{C}));
}

TEST_F(ObjectListTest, PeeksAndIndexedReads)
{
    PVOID data = X;
    EXPECT_FALSE(m_list.PeekTail(&data));
    EXPECT_EQ(data, nullptr);  // cleared on an empty list
    data = X;
    EXPECT_FALSE(m_list.PeekHead(&data));
    EXPECT_EQ(data, nullptr);
    EXPECT_FALSE(m_list.PeekHead(nullptr));

    m_list.Append(A);
    m_list.Append(B);
    m_list.Append(C);
    ASSERT_TRUE(m_list.PeekHead(&data));
    EXPECT_EQ(data, A);
    ASSERT_TRUE(m_list.PeekTail(&data));
    EXPECT_EQ(data, C);
    ASSERT_TRUE(m_list.GetAt(1, &data));
    EXPECT_EQ(data, B);
    data = X;
    EXPECT_FALSE(m_list.GetAt(3, &data));  // index == count
    EXPECT_EQ(data, X);
    EXPECT_FALSE(m_list.GetAt(0xFFFFFFFFu, &data));
    EXPECT_EQ(data, X);
    EXPECT_FALSE(m_list.GetAt(0, nullptr));  // a missing out pointer is refused, not written through
    EXPECT_EQ(Contents(), (std::vector<PVOID>{A, B, C}));  // reads unlink nothing

    ObjectListNode* cursor = nullptr;
    EXPECT_FALSE(m_list.Next(&cursor, &data));
}

TEST_F(ObjectListTest, RemoveNodeWhileWalking)
{
    m_list.Append(A);
    m_list.Append(B);
    m_list.Append(C);
    m_list.Append(X);
    // Drop B and X (the tail) during one walk, then the head.
    ObjectListNode* cursor = m_list.GetHeadNode();
    while (cursor != nullptr) {
        ObjectListNode* node = cursor;
        PVOID data;
        m_list.Next(&cursor, &data);
        if (data == B || data == X) {
            m_list.RemoveNode(node);
        }
    }
    EXPECT_EQ(Contents(), (std::vector<PVOID>{A, C}));
    m_list.RemoveNode(m_list.GetHeadNode());
    EXPECT_EQ(Contents(), (std::vector<PVOID>{C}));
    m_list.RemoveNode(m_list.GetHeadNode());
    EXPECT_EQ(Contents(), (std::vector<PVOID>{}));
    m_list.RemoveNode(nullptr);  // nothing to unlink
    EXPECT_EQ(m_list.GetCount(), 0);
}

TEST_F(ObjectListTest, NodesComeFromNonPagedPoolAndFailureLeavesTheListUnchanged)
{
    ObjectListNode* node = m_list.Append(A);
    ULONG tag = 0;
    POOL_TYPE type{};
    SIZE_T size = 0;
    ASSERT_TRUE(platform::PoolQueryBlock(node, &tag, &type, &size));
    EXPECT_EQ(tag, 0x0073694Cu);
    EXPECT_EQ(type, NonPagedPoolNx);
    EXPECT_EQ(size, 24u);

    platform::PoolFailNextWithTag(MakePoolTag("Lis\0"), 3);
    EXPECT_EQ(m_list.Append(B), nullptr);
    EXPECT_EQ(m_list.Prepend(B), nullptr);
    EXPECT_EQ(m_list.InsertBefore(node, B), nullptr);
    EXPECT_EQ(Contents(), (std::vector<PVOID>{A}));
}

TEST_F(ObjectListTest, TypedReadsAnswerNullWhereTheUntypedOnesAnswerFalse)
{
    EXPECT_EQ(m_list.GetAt<int>(0), nullptr);
    EXPECT_EQ(m_list.PeekHead<int>(), nullptr);
    EXPECT_EQ(m_list.PeekTail<int>(), nullptr);
    EXPECT_EQ(m_list.PopHead<int>(), nullptr);
    EXPECT_FALSE(m_list.Items<int>().begin() != m_list.Items<int>().end());

    m_list.Append(&g_a);
    m_list.Append(&g_b);
    m_list.Append(&g_c);
    EXPECT_EQ(m_list.GetAt<int>(0), &g_a);
    EXPECT_EQ(m_list.GetAt<const int>(2), &g_c);
    EXPECT_EQ(m_list.GetAt<int>(3), nullptr);  // index == count
    EXPECT_EQ(m_list.GetAt<int>(0xFFFFFFFFu), nullptr);
    EXPECT_EQ(m_list.PeekHead<int>(), &g_a);
    EXPECT_EQ(m_list.PeekTail<int>(), &g_c);
    EXPECT_EQ(m_list.PopHead<int>(), &g_a);
    EXPECT_EQ(Contents(), (std::vector<PVOID>{B, C}));
}

TEST_F(ObjectListTest, ItemsWalkFrontToBackAndSurviveRemovingTheCurrentNode)
{
    m_list.Append(A);
    m_list.Append(B);
    m_list.Append(C);
    m_list.Append(X);
    std::vector<PVOID> seen;
    for (int* item : m_list.Items<int>()) {
        seen.push_back(item);
        // The walk has already stepped past the current node, so unlinking it is safe.
        if (item == &g_b || item == &g_x) {
            ObjectListNode* node = m_list.GetHeadNode();
            while (node->Data<int>() != item) {
                node = node->m_pNext;
            }
            m_list.RemoveNode(node);
        }
    }
    EXPECT_EQ(seen, (std::vector<PVOID>{A, B, C, X}));
    EXPECT_EQ(Contents(), (std::vector<PVOID>{A, C}));
}

TEST_F(ObjectListTest, ReadableAtDispatchLevel)
{
    m_list.Append(A);
    m_list.Append(B);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    PVOID data = nullptr;
    EXPECT_TRUE(m_list.PeekTail(&data));
    EXPECT_TRUE(m_list.PopHead(&data));
    EXPECT_NE(m_list.Append(C), nullptr);
    KeLowerIrql(old);
    EXPECT_EQ(Contents(), (std::vector<PVOID>{B, C}));
}

}  // namespace
