#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "platform/nt/Callback.h"
#include "platform/nt/Clock.h"
#include "platform/nt/Dispatcher.h"
#include "platform/nt/Ob.h"
#include "platform/nt/Verifier.h"
#include "tests/platform/nt/SystemThreadHelper.h"

namespace {

using namespace std::chrono_literals;

struct Name {
    explicit Name(const char16_t* text)
    {
        m_string.Buffer = const_cast<PWSTR>(text);
        m_string.Length = static_cast<USHORT>(std::char_traits<char16_t>::length(text) * 2);
        m_string.MaximumLength = m_string.Length;
        InitializeObjectAttributes(&Attributes, &m_string, OBJ_CASE_INSENSITIVE | OBJ_PERMANENT, nullptr, nullptr);
    }
    OBJECT_ATTRIBUTES Attributes;

private:
    UNICODE_STRING m_string;
};

// Creates a permanent, case-insensitive callback object, as the driver does.
PCALLBACK_OBJECT CreatePermanent(const char16_t* text, BOOLEAN allowMultiple = TRUE)
{
    Name name(text);
    PCALLBACK_OBJECT object = nullptr;
    EXPECT_EQ(ExCreateCallback(&object, &name.Attributes, TRUE, allowMultiple), STATUS_SUCCESS);
    return object;
}

// The driver's teardown of such an object.
void Destroy(PCALLBACK_OBJECT object)
{
    ObMakeTemporaryObject(object);
    ObDereferenceObject(object);
}

struct Received {
    std::vector<std::pair<int, PVOID>> Calls;
};

VOID Record(PVOID context, PVOID argument1, PVOID argument2)
{
    auto* r = static_cast<Received*>(static_cast<void**>(context)[0]);
    r->Calls.emplace_back(static_cast<int>(reinterpret_cast<intptr_t>(static_cast<void**>(context)[1])), argument1);
    EXPECT_EQ(argument2, nullptr);
}

TEST(Callback, RegistrationsAreNotifiedAndANameInAnotherCaseOpensTheSameObject)
{
    PCALLBACK_OBJECT object = CreatePermanent(u"\\Callback\\AudioHalAddr0000ABCD");
    ASSERT_NE(object, nullptr);
    Name other(u"\\CALLBACK\\audiohaladdr0000abcd");
    PCALLBACK_OBJECT opened = nullptr;
    ASSERT_EQ(ExCreateCallback(&opened, &other.Attributes, FALSE, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(opened, object);
    EXPECT_EQ(platform::ObReferenceCount(object), 2);

    Received received;
    void* first[2] = {&received, reinterpret_cast<void*>(1)};
    void* second[2] = {&received, reinterpret_cast<void*>(2)};
    PVOID r1 = ExRegisterCallback(object, Record, first);
    PVOID r2 = ExRegisterCallback(opened, Record, second);
    ASSERT_NE(r1, nullptr);
    ASSERT_NE(r2, nullptr);
    int message = 7;
    ExNotifyCallback(object, &message, nullptr);
    EXPECT_EQ(received.Calls, (std::vector<std::pair<int, PVOID>>{{1, &message}, {2, &message}}));

    ExUnregisterCallback(r1);
    ExNotifyCallback(object, nullptr, nullptr);
    EXPECT_EQ(received.Calls.size(), 3u);
    ExUnregisterCallback(r2);
    ObDereferenceObject(opened);
    Destroy(object);
    EXPECT_EQ(platform::CallbackObjectCount(), 0u);
}

TEST(Callback, PermanentNamesOutliveTheirReferencesUntilMadeTemporary)
{
    Name name(u"\\Callback\\Perm");
    PCALLBACK_OBJECT object = nullptr;
    ASSERT_EQ(ExCreateCallback(&object, &name.Attributes, TRUE, FALSE), STATUS_SUCCESS);
    ObDereferenceObject(object);
    EXPECT_EQ(platform::CallbackObjectCount(), 1u);
    PCALLBACK_OBJECT again = nullptr;
    ASSERT_EQ(ExCreateCallback(&again, &name.Attributes, FALSE, FALSE), STATUS_SUCCESS);
    EXPECT_EQ(again, object);
    // This object allows one registration only.
    PVOID reg = ExRegisterCallback(again, Record, nullptr);
    EXPECT_NE(reg, nullptr);
    EXPECT_EQ(ExRegisterCallback(again, Record, nullptr), nullptr);
    ExUnregisterCallback(reg);
    ObMakeTemporaryObject(again);
    ObDereferenceObject(again);
    EXPECT_EQ(platform::CallbackObjectCount(), 0u);
    PCALLBACK_OBJECT gone = nullptr;
    EXPECT_EQ(ExCreateCallback(&gone, &name.Attributes, FALSE, FALSE), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(gone, nullptr);

    // A temporary object goes with its last reference.
    OBJECT_ATTRIBUTES temporary = name.Attributes;
    temporary.Attributes = OBJ_CASE_INSENSITIVE;
    ASSERT_EQ(ExCreateCallback(&object, &temporary, TRUE, TRUE), STATUS_SUCCESS);
    ObDereferenceObject(object);
    EXPECT_EQ(platform::CallbackObjectCount(), 0u);
}

TEST(Callback, RegistrationCanBeMadeToFail)
{
    PCALLBACK_OBJECT object = CreatePermanent(u"\\Callback\\Fail");
    platform::CallbackFailNextRegistration();
    EXPECT_EQ(ExRegisterCallback(object, Record, nullptr), nullptr);
    PVOID reg = ExRegisterCallback(object, Record, nullptr);
    EXPECT_NE(reg, nullptr);
    ExUnregisterCallback(reg);
    Destroy(object);
}

struct Blocking {
    KEVENT Entered;
    KEVENT Release;
    std::atomic<int> Calls{0};
};

VOID BlockInCallback(PVOID context, PVOID, PVOID)
{
    auto* b = static_cast<Blocking*>(context);
    ++b->Calls;
    KeSetEvent(&b->Entered, IO_NO_INCREMENT, FALSE);
    KeWaitForSingleObject(&b->Release, Executive, KernelMode, FALSE, nullptr);
}

TEST(Callback, UnregisterWaitsForARunningNotification)
{
    PCALLBACK_OBJECT object = CreatePermanent(u"\\Callback\\Busy");
    Blocking blocking;
    KeInitializeEvent(&blocking.Entered, NotificationEvent, FALSE);
    KeInitializeEvent(&blocking.Release, NotificationEvent, FALSE);
    PVOID reg = ExRegisterCallback(object, BlockInCallback, &blocking);
    ASSERT_NE(reg, nullptr);

    std::atomic<bool> unregistered{false};
    kvxtest::SystemThread notifier([&] { ExNotifyCallback(object, nullptr, nullptr); });
    KeWaitForSingleObject(&blocking.Entered, Executive, KernelMode, FALSE, nullptr);
    kvxtest::SystemThread remover([&] {
        ExUnregisterCallback(reg);
        unregistered = true;
    });
    platform::RunFor(50ms);
    EXPECT_FALSE(unregistered.load());
    KeSetEvent(&blocking.Release, IO_NO_INCREMENT, FALSE);
    remover.Join();
    EXPECT_TRUE(unregistered.load());
    notifier.Join();
    EXPECT_EQ(blocking.Calls.load(), 1);
    Destroy(object);
}

struct SelfRemoving {
    Blocking Block;
    PVOID Registration = nullptr;
    std::atomic<bool> Unregistered{false};
};

// The first call blocks; a second one, on another thread, unregisters the registration it runs in.
VOID BlockOrUnregister(PVOID context, PVOID, PVOID)
{
    auto* s = static_cast<SelfRemoving*>(context);
    if (s->Block.Calls.load() == 0) {
        BlockInCallback(&s->Block, nullptr, nullptr);
        return;
    }
    ExUnregisterCallback(s->Registration);
    s->Unregistered = true;
}

TEST(Callback, SelfUnregistrationWaitsForNotificationsOnOtherThreads)
{
    PCALLBACK_OBJECT object = CreatePermanent(u"\\Callback\\SelfBusy");
    SelfRemoving s;
    KeInitializeEvent(&s.Block.Entered, NotificationEvent, FALSE);
    KeInitializeEvent(&s.Block.Release, NotificationEvent, FALSE);
    s.Registration = ExRegisterCallback(object, BlockOrUnregister, &s);
    ASSERT_NE(s.Registration, nullptr);
    kvxtest::SystemThread blocked([&] { ExNotifyCallback(object, nullptr, nullptr); });
    KeWaitForSingleObject(&s.Block.Entered, Executive, KernelMode, FALSE, nullptr);
    kvxtest::SystemThread removing([&] { ExNotifyCallback(object, nullptr, nullptr); });
    platform::RunFor(20ms);
    EXPECT_FALSE(s.Unregistered.load());
    KeSetEvent(&s.Block.Release, IO_NO_INCREMENT, FALSE);
    removing.Join();
    blocked.Join();
    EXPECT_TRUE(s.Unregistered.load());
    EXPECT_EQ(platform::CallbackRegistrationCount(object), 0u);
    Destroy(object);
}

TEST(Callback, ACallbackMayUnregisterItself)
{
    PCALLBACK_OBJECT object = CreatePermanent(u"\\Callback\\Self");
    static PVOID s_reg;
    static int s_calls;
    s_calls = 0;
    s_reg = ExRegisterCallback(
        object,
        [](PVOID, PVOID, PVOID) {
            ++s_calls;
            ExUnregisterCallback(s_reg);
        },
        nullptr);
    ExNotifyCallback(object, nullptr, nullptr);
    ExNotifyCallback(object, nullptr, nullptr);
    EXPECT_EQ(s_calls, 1);
    EXPECT_EQ(platform::CallbackRegistrationCount(object), 0u);
    Destroy(object);
}

}  // namespace
