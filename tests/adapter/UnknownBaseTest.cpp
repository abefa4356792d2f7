#include <gtest/gtest.h>

#include "adapter/UnknownBase.h"
#include "platform/nt/Pool.h"
#include "platform/nt/PoolHost.h"

namespace {

KVX_DEFINE_GUID(IID_IWidget, "{6B1F2C3D-4E5F-4A6B-8C7D-9E0F1A2B3C4D}");
KVX_DEFINE_GUID(IID_INotImplemented, "{00000001-0000-0000-C000-000000000046}");
constexpr ULONG WIDGET_TAG = MakePoolTag("TWdg");

class IWidget : public IUnknown {
public:
    virtual int Value() = 0;
};

struct Trace {
    int destructions = 0;
    LONG countSeenInDestructor = -1;
    ULONG addRefInDestructor = 0;
    ULONG releaseInDestructor = 0;
};

class Widget : public UnknownBase, public IWidget {
public:
    DECLARE_UNKNOWN_BASE()

    Widget(PUNKNOWN outer, Trace* trace) : UnknownBase(outer), m_pTrace(trace) {}
    ~Widget() override
    {
        m_pTrace->destructions++;
        m_pTrace->countSeenInDestructor = GetReferenceCount();
        // Teardown code may take and drop references to the object it destroys.
        m_pTrace->addRefInDestructor = NonDelegatingAddRef();
        m_pTrace->releaseInDestructor = NonDelegatingRelease();
    }
    int Value() override { return 42; }

    ULONG m_ulNeverSet;  // not touched by the constructor: shows that the object was zeroed
    Trace* m_pTrace;
};

NTSTATUS Widget::NonDelegatingQueryInterface(REFIID iid, PVOID* ppvObject)
{
    if (IsEqualGUID(iid, IID_IUnknown)) {
        return UnknownBase::NonDelegatingQueryInterface(iid, ppvObject);
    }
    if (IsEqualGUID(iid, IID_IWidget)) {
        return ReturnInterface(static_cast<IWidget*>(this), ppvObject);
    }
    *ppvObject = nullptr;
    return STATUS_INVALID_PARAMETER;
}

// The factory shape of the driver: returns the identity with the first reference.
NTSTATUS CreateWidget(PUNKNOWN* unknown, PUNKNOWN outer, Trace* trace)
{
    auto* widget = new (NonPagedPoolNx, WIDGET_TAG) Widget(outer, trace);
    if (widget == nullptr) {
        *unknown = nullptr;
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    *unknown = widget->GetNonDelegatingUnknown();
    widget->NonDelegatingAddRef();
    return STATUS_SUCCESS;
}

// An object that aggregates a widget: the widget's interface is reached through the outer object.
class Holder : public UnknownBase {
public:
    explicit Holder(Trace* trace) : UnknownBase(nullptr), m_pTrace(trace) {}
    ~Holder() override
    {
        if (m_pInner != nullptr) {
            m_pInner->Release();
        }
    }
    NTSTATUS Init() { return CreateWidget(&m_pInner, GetOuterUnknown(), m_pTrace); }
    NTSTATUS NonDelegatingQueryInterface(REFIID iid, PVOID* ppvObject) override
    {
        if (IsEqualGUID(iid, IID_IUnknown)) {
            return UnknownBase::NonDelegatingQueryInterface(iid, ppvObject);
        }
        if (IsEqualGUID(iid, IID_IWidget)) {
            return m_pInner->QueryInterface(iid, ppvObject);
        }
        *ppvObject = nullptr;
        return STATUS_INVALID_PARAMETER;
    }

    Trace* m_pTrace;
    PUNKNOWN m_pInner = nullptr;
};

TEST(UnknownBase, InterfaceIdsAreWrittenAsTheirText)
{
    const GUID unknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
    EXPECT_TRUE(IsEqualGUID(IID_IUnknown, unknown));
    const GUID widget = {0x6B1F2C3D, 0x4E5F, 0x4A6B, {0x8C, 0x7D, 0x9E, 0x0F, 0x1A, 0x2B, 0x3C, 0x4D}};
    EXPECT_TRUE(IsEqualGUID(IID_IWidget, widget));
    EXPECT_FALSE(IsEqualGUID(IID_IUnknown, IID_INotImplemented));
}

TEST(UnknownBase, QueryInterfaceAnswersIdentityFirstAndAddsReferences)
{
    Trace trace;
    PUNKNOWN unknown = nullptr;
    ASSERT_EQ(CreateWidget(&unknown, nullptr, &trace), STATUS_SUCCESS);

    PVOID identity = nullptr;
    ASSERT_EQ(unknown->QueryInterface(IID_IUnknown, &identity), STATUS_SUCCESS);
    EXPECT_EQ(identity, unknown);
    PVOID itf = nullptr;
    ASSERT_EQ(unknown->QueryInterface(IID_IWidget, &itf), STATUS_SUCCESS);
    auto* w = static_cast<IWidget*>(itf);
    EXPECT_EQ(w->Value(), 42);
    // Every interface leads back to the same identity.
    PVOID again = nullptr;
    ASSERT_EQ(w->QueryInterface(IID_IUnknown, &again), STATUS_SUCCESS);
    EXPECT_EQ(again, unknown);
    EXPECT_EQ(w->AddRef(), 5u);  // factory, two identity queries, interface query, this AddRef

    PVOID none = &trace;
    EXPECT_EQ(w->QueryInterface(IID_INotImplemented, &none), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(none, nullptr);
    EXPECT_EQ(unknown->QueryInterface(IID_IUnknown, nullptr), STATUS_INVALID_PARAMETER);

    EXPECT_EQ(w->Release(), 4u);
    EXPECT_EQ(w->Release(), 3u);
    EXPECT_EQ(static_cast<PUNKNOWN>(again)->Release(), 2u);
    EXPECT_EQ(static_cast<PUNKNOWN>(identity)->Release(), 1u);
    EXPECT_EQ(trace.destructions, 0);
    EXPECT_EQ(unknown->Release(), 0u);
    EXPECT_EQ(trace.destructions, 1);
}

TEST(UnknownBase, ObjectsComeZeroedFromTheirPool)
{
    Trace trace;
    PUNKNOWN unknown = nullptr;
    ASSERT_EQ(CreateWidget(&unknown, nullptr, &trace), STATUS_SUCCESS);
    PVOID itf = nullptr;
    unknown->QueryInterface(IID_IWidget, &itf);
    auto* widget = static_cast<Widget*>(static_cast<IWidget*>(itf));
    EXPECT_EQ(widget->m_ulNeverSet, 0u);
    ULONG tag = 0;
    POOL_TYPE type{};
    EXPECT_TRUE(platform::PoolQueryBlock(widget, &tag, &type, nullptr));
    EXPECT_EQ(tag, WIDGET_TAG);
    EXPECT_EQ(type, NonPagedPoolNx);
    widget->Release();
    unknown->Release();

    platform::PoolFailNextWithTag(WIDGET_TAG);
    EXPECT_EQ(CreateWidget(&unknown, nullptr, &trace), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(unknown, nullptr);
}

TEST(UnknownBase, ReferencesTakenDuringDestructionStartNoSecondDestruction)
{
    Trace trace;
    PUNKNOWN unknown = nullptr;
    ASSERT_EQ(CreateWidget(&unknown, nullptr, &trace), STATUS_SUCCESS);
    EXPECT_EQ(unknown->Release(), 0u);
    EXPECT_EQ(trace.destructions, 1);
    EXPECT_EQ(trace.countSeenInDestructor, 1);
    EXPECT_EQ(trace.addRefInDestructor, 2u);
    EXPECT_EQ(trace.releaseInDestructor, 1u);
}

TEST(UnknownBase, AggregatedObjectForwardsToItsOuterUnknown)
{
    Trace trace;
    auto* holder = new (NonPagedPoolNx, WIDGET_TAG) Holder(&trace);
    ASSERT_NE(holder, nullptr);
    holder->NonDelegatingAddRef();
    ASSERT_EQ(holder->Init(), STATUS_SUCCESS);
    PUNKNOWN outer = holder->GetNonDelegatingUnknown();

    PVOID itf = nullptr;
    ASSERT_EQ(outer->QueryInterface(IID_IWidget, &itf), STATUS_SUCCESS);
    auto* w = static_cast<IWidget*>(itf);
    // The reference went to the holder, not to the inner widget.
    EXPECT_EQ(holder->GetReferenceCount(), 2);
    PVOID identity = nullptr;
    ASSERT_EQ(w->QueryInterface(IID_IUnknown, &identity), STATUS_SUCCESS);
    EXPECT_EQ(identity, outer);
    EXPECT_EQ(holder->GetReferenceCount(), 3);
    static_cast<PUNKNOWN>(identity)->Release();
    w->Release();

    // The last release of the holder releases the inner object through its own unknown.
    EXPECT_EQ(outer->Release(), 0u);
    EXPECT_EQ(trace.destructions, 1);
}

// An object with no interfaces of its own: every id but IID_IUnknown reaches the base's refusal.
class Bare : public UnknownBase {
public:
    Bare() : UnknownBase(nullptr) {}
};

KVX_DEFINE_GUID(IID_NearlyUnknown, "{00000000-0000-0000-C000-000000000047}");
KVX_DEFINE_GUID(IID_Zero, "{00000000-0000-0000-0000-000000000000}");

TEST(UnknownBase, UnknownInterfaceIdsStoreNullAndFailWithoutAReference)
{
    auto* bare = new (NonPagedPoolNx, WIDGET_TAG) Bare();
    ASSERT_NE(bare, nullptr);
    bare->NonDelegatingAddRef();
    for (const GUID* iid : {&IID_INotImplemented, &IID_NearlyUnknown, &IID_Zero, &IID_IWidget}) {
        PVOID out = bare;  // a stale pointer that must be overwritten
        EXPECT_EQ(bare->NonDelegatingQueryInterface(*iid, &out), STATUS_INVALID_PARAMETER);
        EXPECT_EQ(out, nullptr);
        EXPECT_EQ(bare->GetReferenceCount(), 1);
    }
    PVOID identity = nullptr;
    ASSERT_EQ(bare->NonDelegatingQueryInterface(IID_IUnknown, &identity), STATUS_SUCCESS);
    EXPECT_EQ(identity, bare->GetNonDelegatingUnknown());
    EXPECT_EQ(bare->NonDelegatingRelease(), 1u);
    EXPECT_EQ(bare->NonDelegatingRelease(), 0u);
}

}  // namespace
