// Object references and the handle table of the stand-in.
// Platform code registers the objects it hands out (threads, events, callback objects, device
// objects, registry keys, files); their reference counts are visible to tests.
#pragma once

#include "platform/nt/NtTypes.h"

struct OBJECT_TYPE;
using POBJECT_TYPE = OBJECT_TYPE*;

// Object types for ObReferenceObjectByHandle; each names the type string objects register with.
extern POBJECT_TYPE* PsThreadType;    // "Thread"
extern POBJECT_TYPE* ExEventObjectType;  // "Event"
extern POBJECT_TYPE* ExCallbackObjectType;  // "Callback"
extern POBJECT_TYPE* IoFileObjectType;   // "File"
extern POBJECT_TYPE* CmKeyObjectType;    // "Key"

constexpr ACCESS_MASK DELETE = 0x00010000;
constexpr ACCESS_MASK SYNCHRONIZE = 0x00100000;
constexpr ACCESS_MASK STANDARD_RIGHTS_REQUIRED = 0x000F0000;
constexpr ACCESS_MASK GENERIC_READ = 0x80000000;
constexpr ACCESS_MASK GENERIC_WRITE = 0x40000000;
constexpr ACCESS_MASK GENERIC_ALL = 0x10000000;
constexpr ACCESS_MASK EVENT_MODIFY_STATE = 0x0002;
constexpr ACCESS_MASK EVENT_ALL_ACCESS = 0x001F0003;

LONG_PTR ObfReferenceObject(PVOID Object);
LONG_PTR ObfDereferenceObject(PVOID Object);
inline LONG_PTR ObReferenceObject(PVOID Object) { return ObfReferenceObject(Object); }
inline LONG_PTR ObDereferenceObject(PVOID Object) { return ObfDereferenceObject(Object); }
// A permanent object (OBJ_PERMANENT) keeps its name until it is made temporary.
VOID ObMakeTemporaryObject(PVOID Object);

NTSTATUS ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess, POBJECT_TYPE ObjectType,
                                   KPROCESSOR_MODE AccessMode, PVOID* Object, PVOID HandleInformation);
NTSTATUS ZwClose(HANDLE Handle);

// ---- test and platform interface (not part of the kernel API) ----
namespace platform {

// Registers an object with one reference. `onLastReference` (may be null) runs when the count
// drops to zero, after which the object is unregistered. `typeName` must be a literal.
void ObRegister(void* object, const char* typeName, void (*onLastReference)(void* object));
// Hook run by ObMakeTemporaryObject for objects of the type (callback objects use it).
void ObSetMakeTemporaryHook(const char* typeName, void (*hook)(void* object));
// Current reference count; 0 for an object that is not registered.
LONG ObReferenceCount(void* object);
// The registered type name, or null.
const char* ObTypeName(void* object);
bool ObIsRegistered(void* object);

// Processes, as far as handles go: a user-mode reference (ObReferenceObjectByHandle in UserMode)
// sees only the handles of the calling thread's process, with the access they were opened with.
// Threads run in the kernel (no process) unless a ProcessScope puts them into one.
using ProcessId = uint32_t;
constexpr ProcessId KERNEL_PROCESS = 0;
ProcessId CurrentProcess();
class ProcessScope {
public:
    explicit ProcessScope(ProcessId process);
    ~ProcessScope();
    ProcessScope(const ProcessScope&) = delete;
    ProcessScope& operator=(const ProcessScope&) = delete;

private:
    ProcessId m_previous;
};

// Generic handle table. ZwClose removes the handle and calls `close(object)`. HandleCreate makes a
// kernel handle with every access.
HANDLE HandleCreate(void* object, void (*close)(void* object));
HANDLE HandleCreateInProcess(void* object, void (*close)(void* object), ProcessId process, ACCESS_MASK granted);
void* HandleLookup(HANDLE handle);
// The process a handle belongs to (KERNEL_PROCESS for kernel handles and unknown ones).
ProcessId HandleProcess(HANDLE handle);
// Handles the process holds.
size_t HandleCountOfProcess(ProcessId process);
// A process's end: every handle it holds is closed, as ZwClose closes it, in the order they
// were opened.
void HandleCloseProcess(ProcessId process);
// Handles opened since the machine's first reset (those made at start-up are not counted).
size_t HandleCount();

// Forgets every handle and registration made since the machine's first reset.
void ObReset();

}  // namespace platform
