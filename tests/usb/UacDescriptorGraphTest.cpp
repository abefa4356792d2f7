// The unit graph of the AudioControl descriptors (dangling sources and loops), and the id ring and
// visited set of the entity walks.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "usb/EntityWalk.h"
#include "usb/UacDescriptors.h"
#include "usb/UacUnitGraph.h"

namespace {

using Bytes = std::vector<UCHAR>;

Bytes Terminal(UCHAR id) { return {12, USB_AUDIO_CS_INTERFACE, USB_AUDIO_AC_INPUT_TERMINAL, id, 1, 1, 0, 2, 3, 0, 0, 0}; }
Bytes Output(UCHAR id, UCHAR source) { return {9, USB_AUDIO_CS_INTERFACE, USB_AUDIO_AC_OUTPUT_TERMINAL, id, 1, 3, 0, source, 0}; }
Bytes Feature(UCHAR id, UCHAR source) { return {7, USB_AUDIO_CS_INTERFACE, USB_AUDIO_AC_FEATURE_UNIT, id, source, 0, 0}; }
Bytes Mixer(UCHAR id, std::vector<UCHAR> sources)
{
    Bytes d(11 + sources.size(), 0);  // then bNrChannels, wChannelConfig, names, one control byte, iMixer
    d[0] = static_cast<UCHAR>(d.size());
    d[1] = USB_AUDIO_CS_INTERFACE;
    d[2] = USB_AUDIO_AC_MIXER_UNIT;
    d[3] = id;
    d[4] = static_cast<UCHAR>(sources.size());
    for (size_t i = 0; i < sources.size(); ++i) {
        d[5 + i] = sources[i];
    }
    return d;
}

struct GraphDeleter {
    void operator()(UacUnitGraph* g) const { delete g; }
};

std::unique_ptr<UacUnitGraph, GraphDeleter> NewGraph(const std::vector<Bytes>& units)
{
    std::unique_ptr<UacUnitGraph, GraphDeleter> g(new (PagedPool, UAC_PARSE_TAG) UacUnitGraph(UAC_VERSION_1));
    for (const Bytes& u : units) {
        g->AddUnit(u.data());
    }
    return g;
}

TEST(UacUnitGraph, DanglingSourcesAndLoopsAreRefused)
{
    struct Row {
        const char* Name;
        std::vector<Bytes> Units;
        NTSTATUS Expected;
    } rows[] = {
        {"terminal, feature unit, output", {Terminal(1), Feature(2, 1), Output(3, 2)}, STATUS_SUCCESS},
        {"forward references", {Output(3, 2), Feature(2, 1), Terminal(1)}, STATUS_SUCCESS},
        {"a diamond through a mixer", {Terminal(1), Feature(2, 1), Feature(3, 1), Mixer(4, {2, 3}), Output(5, 4)},
         STATUS_SUCCESS},
        {"the same source twice", {Terminal(1), Mixer(4, {1, 1}), Output(5, 4)}, STATUS_SUCCESS},
        {"a source naming no unit", {Terminal(1), Feature(2, 9), Output(3, 2)}, STATUS_UNSUCCESSFUL},
        {"a mixer pin naming no unit", {Terminal(1), Mixer(4, {1, 200}), Output(5, 4)}, STATUS_UNSUCCESSFUL},
        {"an output naming no unit", {Output(3, 0)}, STATUS_UNSUCCESSFUL},
        {"a unit that is its own source", {Feature(2, 2), Output(3, 2)}, STATUS_INVALID_PARAMETER},
        {"two units feeding each other", {Terminal(1), Mixer(2, {1, 3}), Feature(3, 2), Output(4, 3)},
         STATUS_INVALID_PARAMETER},
        {"a loop no output reaches", {Terminal(1), Output(2, 1), Feature(5, 6), Feature(6, 5)},
         STATUS_INVALID_PARAMETER},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(NewGraph(row.Units)->Check(), row.Expected) << row.Name;
    }
}

TEST(UacUnitGraph, FirstUnitOfAnIdStandsAndTerminalLinksNameTerminals)
{
    // A second unit 2 is never looked up, so its self-loop is not met.
    const std::vector<Bytes> units = {Terminal(1), Feature(2, 1), Feature(2, 2), Output(3, 2), Mixer(4, {1})};
    auto g = NewGraph(units);
    EXPECT_EQ(g->FindUnit(2), units[1].data());
    EXPECT_EQ(g->FindUnit(7), nullptr);
    EXPECT_EQ(g->Check(), STATUS_SUCCESS);
    EXPECT_EQ(g->CheckSources(Feature(9, 8).data()), STATUS_UNSUCCESSFUL);

    EXPECT_EQ(g->CheckTerminalLink(1), STATUS_SUCCESS);
    EXPECT_EQ(g->CheckTerminalLink(3), STATUS_SUCCESS);
    EXPECT_EQ(g->CheckTerminalLink(4), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(g->CheckTerminalLink(0), STATUS_UNSUCCESSFUL);
}

TEST(UacUnitGraph, ChainOf255UnitsIsWalkedAndALoopAtItsEndFound)
{
    std::vector<Bytes> units = {Terminal(1)};
    for (UCHAR id = 2; id != 0; ++id) {
        units.push_back(Feature(id, static_cast<UCHAR>(id - 1)));
    }
    EXPECT_EQ(NewGraph(units)->Check(), STATUS_SUCCESS);
    units[0] = Feature(1, 255);  // unit 1 now takes the chain's end: one loop through all of them
    EXPECT_EQ(NewGraph(units)->Check(), STATUS_INVALID_PARAMETER);
}

TEST(EntityIdRing, HoldsNineteenIdsAndNeverLooksEmptyWhenFull)
{
    EntityIdRing ring;
    EXPECT_TRUE(ring.IsEmpty());
    EXPECT_EQ(ring.FreeSpace(), 19u);
    // Walk it round the end of the slots first.
    for (ULONG i = 0; i < 13; ++i) {
        ASSERT_EQ(ring.Append(i), STATUS_SUCCESS);
        EXPECT_EQ(ring.Take(), i);
    }
    for (ULONG i = 0; i < 19; ++i) {
        ASSERT_EQ(ring.Append(100 + i), STATUS_SUCCESS) << i;
    }
    EXPECT_FALSE(ring.IsEmpty());
    EXPECT_EQ(ring.Count(), 19u);
    EXPECT_EQ(ring.FreeSpace(), 0u);
    EXPECT_EQ(ring.Append(999), STATUS_INSUFFICIENT_RESOURCES);
    for (ULONG i = 0; i < 19; ++i) {
        EXPECT_EQ(ring.Peek(), 100 + i);
        EXPECT_EQ(ring.Take(), 100 + i);
    }
    EXPECT_TRUE(ring.IsEmpty());
}

TEST(EntityIdRing, AppendsAllSourcesOrNoneAndSkipsVisitedIds)
{
    EntityIdSet visited;
    ASSERT_EQ(visited.Init(64, UAC_PARSE_TAG), STATUS_SUCCESS);
    EntityIdRing ring;
    const ULONG first[] = {5, 7, 5, 9};
    ASSERT_EQ(ring.AppendUnvisited(first, 4, &visited), STATUS_SUCCESS);
    EXPECT_EQ(ring.Count(), 3u);
    const ULONG again[] = {9, 7, 11, 500};  // 500 is past the set: never recorded, always queued
    ASSERT_EQ(ring.AppendUnvisited(again, 4, &visited), STATUS_SUCCESS);
    std::vector<ULONG> order;
    while (!ring.IsEmpty()) {
        order.push_back(ring.Take());
    }
    EXPECT_EQ(order, (std::vector<ULONG>{5, 7, 9, 11, 500}));
    EXPECT_TRUE(visited.Contains(11));
    EXPECT_FALSE(visited.Contains(500));

    // Seventeen queued, three new sources: none are taken, nothing is lost.
    for (ULONG i = 20; i < 37; ++i) {
        ASSERT_EQ(ring.Append(i), STATUS_SUCCESS);
    }
    const ULONG three[] = {40, 41, 42};
    EXPECT_EQ(ring.AppendUnvisited(three, 3, &visited), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(ring.Count(), 17u);
    EXPECT_FALSE(visited.Contains(40));
    const ULONG twoNew[] = {40, 5, 41};  // 5 was visited: only two need room
    EXPECT_EQ(ring.AppendUnvisited(twoNew, 3, &visited), STATUS_SUCCESS);
    EXPECT_EQ(ring.Count(), 19u);

    EntityIdRing plain;
    const ULONG twice[] = {3, 3};
    ASSERT_EQ(plain.AppendUnvisited(twice, 2, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(plain.Count(), 2u);
}

TEST(EntityIdSet, EmptyCapacityAndReuse)
{
    EntityIdSet set;
    ASSERT_EQ(set.Init(0, UAC_PARSE_TAG), STATUS_SUCCESS);
    EXPECT_TRUE(set.Insert(0));
    EXPECT_TRUE(set.Insert(0));
    ASSERT_EQ(set.Init(9, UAC_PARSE_TAG), STATUS_SUCCESS);
    EXPECT_TRUE(set.Insert(8));
    EXPECT_FALSE(set.Insert(8));
    EXPECT_FALSE(set.Contains(7));
}

}  // namespace
