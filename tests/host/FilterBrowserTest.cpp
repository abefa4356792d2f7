#include <gtest/gtest.h>

#include <cstring>

#include "tests/host/HostFixture.h"

namespace kvxtest {
namespace {

class FilterBrowserTest : public HostFixture {
protected:
    void SetUp() override
    {
        HostFixture::SetUp();
        Install();
        m_topology = Browser().Open(u"Topo");
        ASSERT_NE(m_topology, nullptr);
    }

    PFILE_OBJECT Topology() { return m_topology; }

private:
    PFILE_OBJECT m_topology = nullptr;
};

TEST_F(FilterBrowserTest, DescribesFiltersAndListsThemByCategory)
{
    EXPECT_EQ(Browser().FiltersOfCategory(KSCATEGORY_RENDER), std::vector<std::u16string>{u"Wave"});
    EXPECT_EQ(Browser().FiltersOfCategory(KSCATEGORY_TOPOLOGY), std::vector<std::u16string>{u"Topo"});
    EXPECT_EQ(Browser().FiltersOfCategory(KSCATEGORY_AUDIO), (std::vector<std::u16string>{u"Topo", u"Wave"}));

    auto d = Browser().Describe(u"topo");
    ASSERT_TRUE(d.has_value());
    ASSERT_EQ(d->Pins.size(), 2u);
    EXPECT_EQ(d->Pins[0].DataFlow, KSPIN_DATAFLOW_IN);
    EXPECT_EQ(d->Pins[0].Communication, KSPIN_COMMUNICATION_SINK);
    EXPECT_EQ(d->Pins[1].Category, KSNODETYPE_SPEAKER);
    ASSERT_EQ(d->Nodes.size(), 2u);
    EXPECT_EQ(d->Nodes[0].Type, KSNODETYPE_VOLUME);
    EXPECT_EQ(d->Nodes[1].Type, KSNODETYPE_MUTE);
    ASSERT_EQ(d->Connections.size(), 3u);
    EXPECT_EQ(d->Connections[0].FromNode, PCFILTER_NODE);
    EXPECT_FALSE(Browser().Describe(u"Nothing").has_value());

    NTSTATUS status = STATUS_SUCCESS;
    EXPECT_EQ(Browser().Open(u"Nothing", &status), nullptr);
    EXPECT_EQ(status, STATUS_OBJECT_NAME_NOT_FOUND);
}

// Requests the port refuses itself: no handler runs.
TEST_F(FilterBrowserTest, PortRefusesBadRequestsBeforeAnyHandler)
{
    const GUID unknownSet = {0x12345678, 0x1, 0x2, {1, 2, 3, 4, 5, 6, 7, 8}};
    struct Case {
        const char* What;
        host::KsTarget Target;
        const GUID* Set;
        ULONG Id;
        ULONG Verb;
        NTSTATUS Expected;
    } cases[] = {
        {"set on a get-only filter item", host::KsTarget::Filter(), &TestPropertySet, 2, KSPROPERTY_TYPE_SET,
         STATUS_INVALID_DEVICE_REQUEST},
        {"set on a get-only node item", host::KsTarget::Node(1), &KSPROPSETID_Audio, KSPROPERTY_AUDIO_MUTE,
         KSPROPERTY_TYPE_SET, STATUS_INVALID_DEVICE_REQUEST},
        {"two verbs at once", host::KsTarget::Filter(), &TestPropertySet, 1,
         KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET, STATUS_INVALID_DEVICE_REQUEST},
        {"unknown set", host::KsTarget::Filter(), &unknownSet, 1, KSPROPERTY_TYPE_GET, STATUS_NOT_FOUND},
        {"unknown id", host::KsTarget::Filter(), &TestPropertySet, 9, KSPROPERTY_TYPE_GET, STATUS_NOT_FOUND},
        {"filter item asked of a node", host::KsTarget::Node(0), &TestPropertySet, 1, KSPROPERTY_TYPE_GET,
         STATUS_NOT_FOUND},
        {"node item asked of the filter", host::KsTarget::Filter(), &KSPROPSETID_Audio,
         KSPROPERTY_AUDIO_VOLUMELEVEL, KSPROPERTY_TYPE_GET, STATUS_NOT_FOUND},
        {"pin item of another pin", host::KsTarget::Pin(0), &TestPinPropertySet, 1, KSPROPERTY_TYPE_GET,
         STATUS_NOT_FOUND},
        {"node beyond the filter", host::KsTarget::Node(2), &KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL,
         KSPROPERTY_TYPE_GET, STATUS_INVALID_PARAMETER},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.What);
        LONG value = 0;
        auto r = Browser().Property(Topology(), c.Target, *c.Set, c.Id, c.Verb, &value, sizeof value);
        EXPECT_EQ(r.Status, c.Expected);
        EXPECT_EQ(r.Bytes, 0u);
    }

    // Headers shorter than the request kind needs.
    KSNODEPROPERTY node{{KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL,
                         KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_TOPOLOGY},
                        0,
                        0};
    LONG value = 0;
    EXPECT_EQ(Browser().RawProperty(Topology(), &node, sizeof(KSPROPERTY), &value, sizeof value).Status,
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(Browser().RawProperty(Topology(), &node, sizeof(KSPROPERTY) - 1, &value, sizeof value).Status,
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(TestHandlerLog().Calls, 0);
}

TEST_F(FilterBrowserTest, RequestsReachTheHandlerOfTheirTargetWithInstanceAndValue)
{
    LONG value = 0;
    const LONG channel[2] = {1, 0};  // KSNODEPROPERTY_AUDIO_CHANNEL's Channel and Reserved
    auto r = Browser().Get(Topology(), host::KsTarget::Node(0), KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL,
                           &value, channel, sizeof channel);
    EXPECT_EQ(r.Status, STATUS_SUCCESS);
    EXPECT_EQ(r.Bytes, sizeof(LONG));
    EXPECT_EQ(value, 0x1234);
    HandlerLog& log = TestHandlerLog();
    EXPECT_EQ(log.Calls, 1);
    EXPECT_EQ(log.Node, 0u);
    EXPECT_EQ(log.Verb, KSPROPERTY_TYPE_GET);
    ASSERT_EQ(log.InstanceSize, sizeof channel);
    EXPECT_EQ(std::memcmp(log.Instance.data(), channel, sizeof channel), 0);

    // A pin request carries the pin id as its instance and reaches the pin's table.
    r = Browser().Get(Topology(), host::KsTarget::Pin(1), TestPinPropertySet, 1, &value);
    EXPECT_EQ(r.Status, STATUS_SUCCESS);
    EXPECT_EQ(log.Node, PCFILTER_NODE);
    ASSERT_EQ(log.InstanceSize, 8u);
    EXPECT_EQ(log.Instance[0], 1u);

    // A size query: the handler's answer passes through.
    r = Browser().Property(Topology(), host::KsTarget::Filter(), TestPropertySet, 1, KSPROPERTY_TYPE_GET, nullptr, 0);
    EXPECT_EQ(r.Status, STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(r.Bytes, sizeof(LONG));

    EXPECT_EQ(Browser().Set(Topology(), host::KsTarget::Filter(), TestPropertySet, 1, LONG{5}).Status,
              STATUS_SUCCESS);
    EXPECT_EQ(log.Verb, KSPROPERTY_TYPE_SET);
    EXPECT_EQ(log.ValueSize, sizeof(LONG));

    // Basic support goes to a handler that declares it, and is answered by the port otherwise.
    const int calls = log.Calls;
    r = Browser().Property(Topology(), host::KsTarget::Node(0), KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL,
                           KSPROPERTY_TYPE_BASICSUPPORT, &value, sizeof value);
    EXPECT_EQ(log.Calls, calls + 1);
    EXPECT_EQ(log.Verb, KSPROPERTY_TYPE_BASICSUPPORT);
    KSPROPERTY_DESCRIPTION description{};
    r = Browser().Property(Topology(), host::KsTarget::Filter(), TestPropertySet, 2, KSPROPERTY_TYPE_BASICSUPPORT,
                           &description, sizeof description);
    EXPECT_EQ(r.Status, STATUS_SUCCESS);
    EXPECT_EQ(r.Bytes, sizeof description);
    EXPECT_EQ(description.AccessFlags, KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_BASICSUPPORT);
    EXPECT_EQ(log.Calls, calls + 1);
}

TEST_F(FilterBrowserTest, NodeEventsAreSignalledForTheirNodeUntilDisabled)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    KSEVENTDATA data{};
    data.NotificationType = KSEVENTF_EVENT_OBJECT;
    data.EventObject.Event = &event;
    ASSERT_EQ(Browser().EnableEvent(Topology(), host::KsTarget::Node(0), KSEVENTSETID_AudioControlChange,
                                    KSEVENT_CONTROL_CHANGE, &data),
              STATUS_SUCCESS);
    EXPECT_EQ(TestHandlerLog().EventAdds, 1);

    IPortEvents* events = nullptr;
    ASSERT_EQ(Browser().Filters()[0].Port->QueryInterface(IID_IPortEvents, reinterpret_cast<PVOID*>(&events)),
              STATUS_SUCCESS);
    GUID set = KSEVENTSETID_AudioControlChange;
    events->GenerateEventList(&set, KSEVENT_CONTROL_CHANGE, FALSE, 0, TRUE, 1);
    EXPECT_EQ(KeReadStateEvent(&event), 0);
    events->GenerateEventList(&set, KSEVENT_CONTROL_CHANGE, FALSE, 0, TRUE, 0);
    EXPECT_NE(KeReadStateEvent(&event), 0);

    KeClearEvent(&event);
    EXPECT_EQ(Browser().DisableEvent(Topology(), &data), STATUS_SUCCESS);
    EXPECT_EQ(TestHandlerLog().EventRemoves, 1);
    events->GenerateEventList(&set, KSEVENT_CONTROL_CHANGE, FALSE, 0, TRUE, 0);
    EXPECT_EQ(KeReadStateEvent(&event), 0);
    EXPECT_EQ(Browser().DisableEvent(Topology(), &data), STATUS_NOT_FOUND);

    // An event the node does not have.
    EXPECT_EQ(Browser().EnableEvent(Topology(), host::KsTarget::Node(0), KSPROPSETID_Audio, 0, &data),
              STATUS_NOT_FOUND);
    events->Release();
}

}  // namespace
}  // namespace kvxtest
