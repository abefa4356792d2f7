#include "platform/nt/Callback.h"

#include <algorithm>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/nt/Dispatcher.h"
#include "platform/nt/Irql.h"
#include "platform/nt/Ob.h"
#include "platform/nt/Verifier.h"

struct CallbackRegistration;

struct CALLBACK_OBJECT {
    std::u16string Key;  // upper-cased name; empty for an unnamed object
    bool AllowMultiple = false;
    bool Permanent = false;
    std::vector<CallbackRegistration*> Registrations;
};

struct CallbackRegistration {
    CALLBACK_OBJECT* Object;
    PCALLBACK_FUNCTION Function;
    PVOID Context;
    int Busy;      // notifications holding this registration
    bool Removed;  // being unregistered: no further calls
    KEVENT Idle;   // notification event, set whenever Busy drops
};

namespace {

struct CallbackState {
    std::mutex Lock;
    std::map<std::u16string, CALLBACK_OBJECT*> Names;
    std::set<CALLBACK_OBJECT*> Objects;
    unsigned FailRegistrations = 0;
};

CallbackState* g_state = nullptr;

void MakeTemporary(void* object)
{
    auto* cb = static_cast<CALLBACK_OBJECT*>(object);
    std::lock_guard<std::mutex> guard(g_state->Lock);
    cb->Permanent = false;
}

CallbackState& State()
{
    static CallbackState* state = [] {
        g_state = new CallbackState();  // never destroyed: threads may notify at exit
        platform::ObSetMakeTemporaryHook("Callback", MakeTemporary);
        return g_state;
    }();
    return *state;
}

// Registrations this thread is notifying right now (a callback may unregister itself or another).
thread_local std::multiset<CallbackRegistration*> t_pinned;

std::u16string UpperKey(const UNICODE_STRING* name)
{
    std::u16string key;
    const size_t count = name->Length / sizeof(WCHAR);
    key.reserve(count);
    for (size_t i = 0; i < count; ++i) {
        WCHAR c = name->Buffer[i];
        if (c >= u'a' && c <= u'z') {
            c = static_cast<WCHAR>(c - u'a' + u'A');
        }
        key.push_back(c);
    }
    return key;
}

// The last reference went: a temporary object disappears with its name, a permanent one stays.
void OnLastReference(void* object)
{
    CallbackState& st = State();
    auto* cb = static_cast<CALLBACK_OBJECT*>(object);
    {
        std::lock_guard<std::mutex> guard(st.Lock);
        if (platform::ObIsRegistered(cb) || cb->Permanent || st.Objects.count(cb) == 0) {
            return;  // re-opened meanwhile, permanent, or already reset
        }
        auto it = st.Names.find(cb->Key);
        if (!cb->Key.empty() && it != st.Names.end() && it->second == cb) {
            st.Names.erase(it);
        }
        st.Objects.erase(cb);
    }
    delete cb;
}

}  // namespace

NTSTATUS ExCreateCallback(PCALLBACK_OBJECT* CallbackObject, POBJECT_ATTRIBUTES ObjectAttributes, BOOLEAN Create,
                          BOOLEAN AllowMultipleCallbacks)
{
    platform::IrqlCheckAtMost(PASSIVE_LEVEL, "ExCreateCallback");
    if (CallbackObject == nullptr || ObjectAttributes == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *CallbackObject = nullptr;
    const UNICODE_STRING* name = ObjectAttributes->ObjectName;
    const bool named = name != nullptr && name->Length != 0;
    if (named && name->Buffer == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (!named && !Create) {
        return STATUS_INVALID_PARAMETER;
    }
    CallbackState& st = State();
    std::lock_guard<std::mutex> guard(st.Lock);
    const std::u16string key = named ? UpperKey(name) : std::u16string();
    if (named) {
        auto it = st.Names.find(key);
        if (it != st.Names.end()) {
            CALLBACK_OBJECT* cb = it->second;
            if (platform::ObIsRegistered(cb)) {
                ObfReferenceObject(cb);
            } else {
                platform::ObRegister(cb, "Callback", OnLastReference);
            }
            *CallbackObject = cb;
            return STATUS_SUCCESS;
        }
    }
    if (!Create) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    auto* cb = new CALLBACK_OBJECT();
    cb->Key = key;
    cb->AllowMultiple = AllowMultipleCallbacks != FALSE;
    cb->Permanent = (ObjectAttributes->Attributes & OBJ_PERMANENT) != 0;
    st.Objects.insert(cb);
    if (named) {
        st.Names[key] = cb;
    }
    platform::ObRegister(cb, "Callback", OnLastReference);
    *CallbackObject = cb;
    return STATUS_SUCCESS;
}

PVOID ExRegisterCallback(PCALLBACK_OBJECT CallbackObject, PCALLBACK_FUNCTION CallbackFunction, PVOID CallbackContext)
{
    platform::IrqlCheckAtMost(APC_LEVEL, "ExRegisterCallback");
    if (CallbackObject == nullptr || CallbackFunction == nullptr) {
        return nullptr;
    }
    CallbackState& st = State();
    std::lock_guard<std::mutex> guard(st.Lock);
    if (st.Objects.count(CallbackObject) == 0) {
        platform::VerifierFault("CALLBACK_OBJECT", "ExRegisterCallback on %p, which is not a callback object",
                                static_cast<void*>(CallbackObject));
        return nullptr;
    }
    if (st.FailRegistrations > 0) {
        --st.FailRegistrations;
        return nullptr;
    }
    if (!CallbackObject->AllowMultiple && !CallbackObject->Registrations.empty()) {
        return nullptr;
    }
    auto* reg = new CallbackRegistration{CallbackObject, CallbackFunction, CallbackContext, 0, false, {}};
    KeInitializeEvent(&reg->Idle, NotificationEvent, TRUE);
    ObfReferenceObject(CallbackObject);  // the registration keeps its object alive
    CallbackObject->Registrations.push_back(reg);
    return reg;
}

VOID ExUnregisterCallback(PVOID CallbackRegistration_)
{
    auto* reg = static_cast<CallbackRegistration*>(CallbackRegistration_);
    CallbackState& st = State();
    std::unique_lock<std::mutex> lock(st.Lock);
    bool known = false;
    for (CALLBACK_OBJECT* cb : st.Objects) {
        auto& regs = cb->Registrations;
        known = known || std::find(regs.begin(), regs.end(), reg) != regs.end();
    }
    if (!known || reg->Removed) {
        platform::VerifierFault("CALLBACK_UNREGISTER", "ExUnregisterCallback of %p, which is not registered",
                                CallbackRegistration_);
        return;
    }
    reg->Removed = true;
    // Wait for notifications on other threads to leave this registration.
    while (reg->Busy > static_cast<int>(t_pinned.count(reg))) {
        KeClearEvent(&reg->Idle);
        lock.unlock();
        KeWaitForSingleObject(&reg->Idle, Executive, KernelMode, FALSE, nullptr);
        lock.lock();
    }
    CALLBACK_OBJECT* cb = reg->Object;
    cb->Registrations.erase(std::find(cb->Registrations.begin(), cb->Registrations.end(), reg));
    const bool pinnedHere = t_pinned.count(reg) != 0;
    lock.unlock();
    if (!pinnedHere) {
        delete reg;  // a notification on this thread still holds it; it frees it when done
    }
    ObfDereferenceObject(cb);
}

VOID ExNotifyCallback(PVOID CallbackObject, PVOID Argument1, PVOID Argument2)
{
    if (CallbackObject == nullptr) {
        return;
    }
    auto* cb = static_cast<CALLBACK_OBJECT*>(CallbackObject);
    CallbackState& st = State();
    std::vector<CallbackRegistration*> regs;
    {
        std::lock_guard<std::mutex> guard(st.Lock);
        if (st.Objects.count(cb) == 0) {
            platform::VerifierFault("CALLBACK_OBJECT", "ExNotifyCallback on %p, which is not a callback object",
                                    CallbackObject);
            return;
        }
        for (CallbackRegistration* reg : cb->Registrations) {
            if (!reg->Removed) {
                ++reg->Busy;
                t_pinned.insert(reg);
                regs.push_back(reg);
            }
        }
    }
    for (CallbackRegistration* reg : regs) {
        bool call;
        {
            std::lock_guard<std::mutex> guard(st.Lock);
            call = !reg->Removed;
        }
        if (call) {
            reg->Function(reg->Context, Argument1, Argument2);
        }
    }
    std::vector<CallbackRegistration*> orphans;
    {
        std::lock_guard<std::mutex> guard(st.Lock);
        for (CallbackRegistration* reg : regs) {
            t_pinned.erase(t_pinned.find(reg));
            --reg->Busy;
            const bool unlinked =
                std::find(reg->Object->Registrations.begin(), reg->Object->Registrations.end(), reg) ==
                reg->Object->Registrations.end();
            if (unlinked && reg->Busy == 0 && t_pinned.count(reg) == 0) {
                orphans.push_back(reg);  // unregistered from inside this notification
            } else {
                // An unregistration waiting on another thread re-checks the count.
                KeSetEvent(&reg->Idle, IO_NO_INCREMENT, FALSE);
            }
        }
    }
    for (CallbackRegistration* reg : orphans) {
        delete reg;
    }
}

namespace platform {

void CallbackFailNextRegistration(unsigned count)
{
    CallbackState& st = State();
    std::lock_guard<std::mutex> guard(st.Lock);
    st.FailRegistrations = count;
}

size_t CallbackRegistrationCount(PCALLBACK_OBJECT object)
{
    CallbackState& st = State();
    std::lock_guard<std::mutex> guard(st.Lock);
    return object == nullptr || st.Objects.count(object) == 0 ? 0 : object->Registrations.size();
}

size_t CallbackObjectCount()
{
    CallbackState& st = State();
    std::lock_guard<std::mutex> guard(st.Lock);
    return st.Objects.size();
}

size_t CallbackRegistrationTotal()
{
    CallbackState& st = State();
    std::lock_guard<std::mutex> guard(st.Lock);
    size_t n = 0;
    for (CALLBACK_OBJECT* cb : st.Objects) {
        n += cb->Registrations.size();
    }
    return n;
}

size_t CallbackObjectsReferenced()
{
    CallbackState& st = State();
    std::lock_guard<std::mutex> guard(st.Lock);
    size_t n = 0;
    for (CALLBACK_OBJECT* cb : st.Objects) {
        n += ObIsRegistered(cb) ? 1 : 0;
    }
    return n;
}

void CallbackReset()
{
    CallbackState& st = State();
    std::lock_guard<std::mutex> guard(st.Lock);
    for (CALLBACK_OBJECT* cb : st.Objects) {
        for (CallbackRegistration* reg : cb->Registrations) {
            delete reg;
        }
        delete cb;
    }
    st.Objects.clear();
    st.Names.clear();
    st.FailRegistrations = 0;
}

}  // namespace platform
