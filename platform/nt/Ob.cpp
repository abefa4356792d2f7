#include "platform/nt/Ob.h"

#include <cstring>
#include <iterator>
#include <string>
#include <map>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "platform/nt/Irql.h"
#include "platform/nt/Verifier.h"

struct OBJECT_TYPE {
    const char* Name;
};

namespace {

OBJECT_TYPE g_threadType{"Thread"};
OBJECT_TYPE g_eventType{"Event"};
OBJECT_TYPE g_callbackType{"Callback"};
OBJECT_TYPE g_fileType{"File"};
OBJECT_TYPE g_keyType{"Key"};
POBJECT_TYPE g_threadTypePointer = &g_threadType;
POBJECT_TYPE g_eventTypePointer = &g_eventType;
POBJECT_TYPE g_callbackTypePointer = &g_callbackType;
POBJECT_TYPE g_fileTypePointer = &g_fileType;
POBJECT_TYPE g_keyTypePointer = &g_keyType;

struct Registration {
    const char* TypeName;
    LONG Count;
    void (*OnLastReference)(void*);
    uint64_t Serial = 0;
};

struct HandleEntry {
    void* Object;
    void (*Close)(void*);
    platform::ProcessId Process = platform::KERNEL_PROCESS;  // the kernel's handles belong to no process
    ACCESS_MASK Granted = 0xFFFFFFFF;
};

thread_local platform::ProcessId t_process = platform::KERNEL_PROCESS;

// Type name of objects that were referenced without being registered.
constexpr const char* UNREGISTERED_TYPE = "Object";

struct ObState {
    std::mutex Lock;
    std::unordered_map<void*, Registration> Objects;
    std::map<uintptr_t, HandleEntry> Handles;
    uintptr_t NextHandle = 4;  // never reused, so that a stale handle stays invalid
    uint64_t NextSerial = 1;
    // What existed before the first reset (made at start-up) survives resets.
    uintptr_t ResetHandleMark = 0;
    uint64_t ResetSerialMark = 0;
    bool ResetOnce = false;
    std::map<std::string, void (*)(void*)> TemporaryHooks;
};

ObState& State()
{
    static ObState* state = new ObState();  // never destroyed: threads may dereference at exit
    return *state;
}

}  // namespace

POBJECT_TYPE* PsThreadType = &g_threadTypePointer;
POBJECT_TYPE* ExEventObjectType = &g_eventTypePointer;
POBJECT_TYPE* ExCallbackObjectType = &g_callbackTypePointer;
POBJECT_TYPE* IoFileObjectType = &g_fileTypePointer;
POBJECT_TYPE* CmKeyObjectType = &g_keyTypePointer;

LONG_PTR ObfReferenceObject(PVOID Object)
{
    if (Object == nullptr) {
        platform::VerifierFault("OB_REFERENCE", "reference of a null object");
        return 0;
    }
    ObState& st = State();
    std::lock_guard<std::mutex> guard(st.Lock);
    // An object nobody registered starts counting here; its last dereference forgets it.
    auto [it, inserted] = st.Objects.try_emplace(Object, Registration{UNREGISTERED_TYPE, 0, nullptr, st.NextSerial});
    if (inserted) {
        ++st.NextSerial;
    }
    return ++it->second.Count;
}

LONG_PTR ObfDereferenceObject(PVOID Object)
{
    ObState& st = State();
    void (*onLast)(void*) = nullptr;
    {
        std::lock_guard<std::mutex> guard(st.Lock);
        auto it = st.Objects.find(Object);
        if (it == st.Objects.end()) {
            platform::VerifierFault("OB_DEREFERENCE", "dereference of %p, which holds no reference", Object);
            return 0;
        }
        if (--it->second.Count > 0) {
            return it->second.Count;
        }
        onLast = it->second.OnLastReference;
        st.Objects.erase(it);
    }
    if (onLast != nullptr) {
        onLast(Object);
    }
    return 0;
}

VOID ObMakeTemporaryObject(PVOID Object)
{
    ObState& st = State();
    void (*hook)(void*) = nullptr;
    {
        std::lock_guard<std::mutex> guard(st.Lock);
        auto it = st.Objects.find(Object);
        if (it == st.Objects.end()) {
            platform::VerifierFault("OB_TEMPORARY", "ObMakeTemporaryObject on %p, which holds no reference", Object);
            return;
        }
        auto hookIt = st.TemporaryHooks.find(it->second.TypeName);
        if (hookIt != st.TemporaryHooks.end()) {
            hook = hookIt->second;
        }
    }
    if (hook != nullptr) {
        hook(Object);
    }
}

NTSTATUS ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess, POBJECT_TYPE ObjectType,
                                   KPROCESSOR_MODE AccessMode, PVOID* Object, PVOID HandleInformation)
{
    UNREFERENCED_PARAMETER(HandleInformation);
    platform::IrqlCheckAtMost(APC_LEVEL, "ObReferenceObjectByHandle");
    if (Object == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *Object = nullptr;
    ObState& st = State();
    std::lock_guard<std::mutex> guard(st.Lock);
    auto it = st.Handles.find(reinterpret_cast<uintptr_t>(Handle));
    if (it == st.Handles.end()) {
        return STATUS_INVALID_HANDLE;
    }
    // A user-mode reference sees only its own process's handles: not the kernel's, nor another's.
    const bool bUser = AccessMode == UserMode;
    if (bUser && (it->second.Process == platform::KERNEL_PROCESS || it->second.Process != t_process)) {
        return STATUS_INVALID_HANDLE;
    }
    void* object = it->second.Object;
    auto [reg, inserted] = st.Objects.try_emplace(object, Registration{UNREGISTERED_TYPE, 0, nullptr, st.NextSerial});
    if (inserted) {
        ++st.NextSerial;
    }
    if (ObjectType != nullptr && std::strcmp(reg->second.TypeName, ObjectType->Name) != 0) {
        if (reg->second.Count == 0) {
            st.Objects.erase(reg);
        }
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    if (bUser && (DesiredAccess & ~it->second.Granted) != 0) {
        if (reg->second.Count == 0) {
            st.Objects.erase(reg);
        }
        return STATUS_ACCESS_DENIED;
    }
    ++reg->second.Count;
    *Object = object;
    return STATUS_SUCCESS;
}

NTSTATUS ZwClose(HANDLE Handle)
{
    ObState& st = State();
    HandleEntry entry;
    {
        std::lock_guard<std::mutex> guard(st.Lock);
        auto it = st.Handles.find(reinterpret_cast<uintptr_t>(Handle));
        if (it == st.Handles.end()) {
            return STATUS_INVALID_HANDLE;
        }
        entry = it->second;
        st.Handles.erase(it);
    }
    if (entry.Close != nullptr) {
        entry.Close(entry.Object);
    }
    return STATUS_SUCCESS;
}

namespace platform {

void ObRegister(void* object, const char* typeName, void (*onLastReference)(void* object))
{
    ObState& st = State();
    std::lock_guard<std::mutex> guard(st.Lock);
    auto [it, inserted] = st.Objects.try_emplace(object, Registration{typeName, 1, onLastReference, st.NextSerial++});
    if (!inserted) {
        // Referenced before it was registered: keep those references. Otherwise the entry is of an
        // earlier object at this address and the new object starts afresh.
        it->second.Count = it->second.TypeName == UNREGISTERED_TYPE ? it->second.Count + 1 : 1;
        it->second.TypeName = typeName;
        it->second.OnLastReference = onLastReference;
    }
}

void ObSetMakeTemporaryHook(const char* typeName, void (*hook)(void* object))
{
    ObState& st = State();
    std::lock_guard<std::mutex> guard(st.Lock);
    st.TemporaryHooks[typeName] = hook;
}

LONG ObReferenceCount(void* object)
{
    ObState& st = State();
    std::lock_guard<std::mutex> guard(st.Lock);
    auto it = st.Objects.find(object);
    return it == st.Objects.end() ? 0 : it->second.Count;
}

const char* ObTypeName(void* object)
{
    ObState& st = State();
    std::lock_guard<std::mutex> guard(st.Lock);
    auto it = st.Objects.find(object);
    return it == st.Objects.end() ? nullptr : it->second.TypeName;
}

bool ObIsRegistered(void* object) { return ObTypeName(object) != nullptr; }

HANDLE HandleCreate(void* object, void (*close)(void* object))
{
    ObState& st = State();
    std::lock_guard<std::mutex> guard(st.Lock);
    const uintptr_t value = st.NextHandle;
    st.NextHandle += 4;
    st.Handles[value] = HandleEntry{object, close};
    return reinterpret_cast<HANDLE>(value);
}

HANDLE HandleCreateInProcess(void* object, void (*close)(void* object), ProcessId process, ACCESS_MASK granted)
{
    ObState& st = State();
    std::lock_guard<std::mutex> guard(st.Lock);
    const uintptr_t value = st.NextHandle;
    st.NextHandle += 4;
    st.Handles[value] = HandleEntry{object, close, process, granted};
    return reinterpret_cast<HANDLE>(value);
}

ProcessId CurrentProcess() { return t_process; }

ProcessScope::ProcessScope(ProcessId process) : m_previous(t_process) { t_process = process; }
ProcessScope::~ProcessScope() { t_process = m_previous; }

void* HandleLookup(HANDLE handle)
{
    ObState& st = State();
    std::lock_guard<std::mutex> guard(st.Lock);
    auto it = st.Handles.find(reinterpret_cast<uintptr_t>(handle));
    return it == st.Handles.end() ? nullptr : it->second.Object;
}

ProcessId HandleProcess(HANDLE handle)
{
    ObState& st = State();
    std::lock_guard<std::mutex> guard(st.Lock);
    auto it = st.Handles.find(reinterpret_cast<uintptr_t>(handle));
    return it == st.Handles.end() ? KERNEL_PROCESS : it->second.Process;
}

size_t HandleCountOfProcess(ProcessId process)
{
    ObState& st = State();
    std::lock_guard<std::mutex> guard(st.Lock);
    size_t n = 0;
    for (const auto& [value, entry] : st.Handles) {
        n += entry.Process == process ? 1 : 0;
    }
    return n;
}

void HandleCloseProcess(ProcessId process)
{
    if (process == KERNEL_PROCESS) {
        return;
    }
    std::vector<HandleEntry> closing;
    {
        ObState& st = State();
        std::lock_guard<std::mutex> guard(st.Lock);
        for (auto it = st.Handles.begin(); it != st.Handles.end();) {
            if (it->second.Process == process) {
                closing.push_back(it->second);
                it = st.Handles.erase(it);
            } else {
                ++it;
            }
        }
    }
    // Outside the lock: a close routine may send requests that open or close other handles.
    for (const HandleEntry& entry : closing) {
        if (entry.Close != nullptr) {
            entry.Close(entry.Object);
        }
    }
}

size_t HandleCount()
{
    ObState& st = State();
    std::lock_guard<std::mutex> guard(st.Lock);
    return static_cast<size_t>(std::distance(st.Handles.lower_bound(st.ResetHandleMark), st.Handles.end()));
}

void ObReset()
{
    ObState& st = State();
    std::lock_guard<std::mutex> guard(st.Lock);
    if (!st.ResetOnce) {
        st.ResetOnce = true;
        st.ResetHandleMark = st.NextHandle;
        st.ResetSerialMark = st.NextSerial;
        return;
    }
    st.Handles.erase(st.Handles.lower_bound(st.ResetHandleMark), st.Handles.end());
    for (auto it = st.Objects.begin(); it != st.Objects.end();) {
        it = it->second.Serial >= st.ResetSerialMark ? st.Objects.erase(it) : std::next(it);
    }
}

}  // namespace platform
