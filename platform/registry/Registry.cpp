// The machine's registry: one tree of keys with typed values, behind the Zw key calls, saved to
// and loaded from a file (RegistrySaveFile.cpp) so that values outlive the host program.
#include "platform/registry/Registry.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/nt/Irql.h"
#include "platform/registry/RegistryHost.h"
#include "platform/registry/RegistryInternal.h"
#include "platform/registry/RegistrySaveFile.h"
#include "platform/registry/RegistryTree.h"

namespace platform::reg {
namespace {

std::mutex g_lock;
std::shared_ptr<KeyNode> g_root;
std::atomic<size_t> g_openKeys{0};

struct KeyObject {
    static constexpr ULONG Tag = MakePoolTag("CMky");
    static constexpr const char* TypeName = "Key";

    KeyObject(std::shared_ptr<KeyNode> node, ACCESS_MASK access) : Node(std::move(node)), Access(access)
    {
        ++g_openKeys;
    }
    ~KeyObject() { --g_openKeys; }
    KeyObject(const KeyObject&) = delete;
    KeyObject& operator=(const KeyObject&) = delete;

    std::shared_ptr<KeyNode> Node;
    ACCESS_MASK Access;
};

KeyNode* MakeSkeleton(std::shared_ptr<KeyNode>& root)
{
    root = std::make_shared<KeyNode>();
    KeyNode* machine = root->AddChild(u"REGISTRY", false)->AddChild(u"MACHINE", false);
    root->FindChild(u"REGISTRY")->AddChild(u"USER", false);
    KeyNode* ccs = machine->AddChild(u"SYSTEM", false)->AddChild(u"CurrentControlSet", false);
    ccs->AddChild(u"Enum", false);
    ccs->AddChild(u"Control", false)->AddChild(u"Class", false);
    ccs->AddChild(u"Services", false);
    machine->AddChild(u"SOFTWARE", false);
    return root.get();
}

// A tree that is replaced stays alive for the handles still open on its keys; those keys count as
// deleted from then on, and no key refers to a parent that may be gone. Callers hold g_lock.
void DetachTree(KeyNode* top)
{
    std::vector<KeyNode*> pending{top};
    while (!pending.empty()) {
        KeyNode* node = pending.back();
        pending.pop_back();
        for (const auto& child : node->Children) {
            pending.push_back(child.get());
        }
        node->Deleted = true;
        node->Parent = nullptr;
    }
}

void ReplaceRoot(std::shared_ptr<KeyNode> root)
{
    if (g_root) {
        DetachTree(g_root.get());
    }
    g_root = std::move(root);
}

// Callers hold g_lock.
KeyNode* Root()
{
    if (!g_root) {
        MakeSkeleton(g_root);
    }
    return g_root.get();
}

std::shared_ptr<KeyNode> SharedOf(KeyNode* node)
{
    if (node == g_root.get()) {
        return g_root;
    }
    return node->Parent != nullptr ? node->Parent->ChildPtr(node) : nullptr;
}

ACCESS_MASK MapAccess(ACCESS_MASK access)
{
    ACCESS_MASK granted = access & 0x00FFFFFFu;
    if ((access & GENERIC_READ) != 0) granted |= KEY_READ;
    if ((access & GENERIC_WRITE) != 0) granted |= KEY_WRITE;
    if ((access & (GENERIC_ALL | 0x02000000u /* maximum allowed */)) != 0) granted |= KEY_ALL_ACCESS;
    return granted;
}


// Resolves the object attributes to the parent of the named key and the key's last component
// (empty when the attributes name the root directory itself). Callers hold g_lock.
NTSTATUS ResolveParent(POBJECT_ATTRIBUTES oa, KeyNode** parent, std::u16string_view* leaf,
                       std::vector<std::u16string_view>* parts)
{
    if (oa == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    std::u16string_view name;
    NTSTATUS status = ViewOf(oa->ObjectName, &name);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    KeyNode* start;
    if (oa->RootDirectory != nullptr) {
        KeyObject* rootKey;
        status = LookupHandleObject(oa->RootDirectory, &rootKey);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        if (!name.empty() && name.front() == u'\\') {
            return STATUS_OBJECT_PATH_SYNTAX_BAD;
        }
        start = rootKey->Node.get();
    } else {
        if (name.empty() || name.front() != u'\\') {
            return STATUS_OBJECT_PATH_SYNTAX_BAD;
        }
        name.remove_prefix(1);
        if (name.empty()) {
            return STATUS_OBJECT_NAME_INVALID;
        }
        start = Root();
    }
    if (start->Deleted) {
        return STATUS_KEY_DELETED;
    }
    status = SplitPath(name, parts);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    KeyNode* node = start;
    for (size_t i = 0; i + 1 < parts->size(); ++i) {
        node = node->FindChild((*parts)[i]);
        if (node == nullptr) {
            return STATUS_OBJECT_NAME_NOT_FOUND;
        }
    }
    *parent = node;
    *leaf = parts->empty() ? std::u16string_view() : parts->back();
    return STATUS_SUCCESS;
}

NTSTATUS OpenOrCreate(PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES oa, bool create, ULONG options,
                      PULONG disposition)
{
    if (handle == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *handle = nullptr;
    std::shared_ptr<KeyNode> target;
    ULONG how = REG_OPENED_EXISTING_KEY;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        KeyNode* parent = nullptr;
        std::u16string_view leaf;
        std::vector<std::u16string_view> parts;
        NTSTATUS status = ResolveParent(oa, &parent, &leaf, &parts);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        KeyNode* node = leaf.empty() ? parent : parent->FindChild(leaf);
        if (node == nullptr) {
            if (!create) {
                return STATUS_OBJECT_NAME_NOT_FOUND;
            }
            bool isVolatile = (options & REG_OPTION_VOLATILE) != 0;
            if (parent->Volatile && !isVolatile) {
                return STATUS_CHILD_MUST_BE_VOLATILE;
            }
            if (parent->Depth >= kMaxKeyDepth) {
                return STATUS_INVALID_PARAMETER;
            }
            node = parent->AddChild(leaf, isVolatile);
            how = REG_CREATED_NEW_KEY;
        }
        target = SharedOf(node);
    }
    NTSTATUS status = CreateHandleObject<KeyObject>(handle, std::move(target), MapAccess(access));
    if (NT_SUCCESS(status) && disposition != nullptr) {
        *disposition = how;
    }
    return status;
}

// Finds the key behind a handle and checks the access the operation needs. Callers hold g_lock.
NTSTATUS KeyOf(HANDLE handle, ACCESS_MASK needed, KeyNode** node)
{
    KeyObject* key;
    NTSTATUS status = LookupHandleObject(handle, &key);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if ((key->Access & needed) != needed) {
        return STATUS_ACCESS_DENIED;
    }
    if (key->Node->Deleted) {
        return STATUS_KEY_DELETED;
    }
    *node = key->Node.get();
    return STATUS_SUCCESS;
}

bool CheckIrql(const char* operation) { return IrqlCheckAtMost(PASSIVE_LEVEL, operation); }

// The checks every value call shares, then `action(node, valueName)` with g_lock held.
template <class Action>
NTSTATUS OnValue(HANDLE handle, PUNICODE_STRING valueName, ACCESS_MASK needed, Action action)
{
    std::u16string_view name;
    NTSTATUS status = ViewOf(valueName, &name);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (name.size() > kMaxValueNameChars) {
        return STATUS_INVALID_PARAMETER;
    }
    std::lock_guard<std::mutex> guard(g_lock);
    KeyNode* node;
    status = KeyOf(handle, needed, &node);
    return NT_SUCCESS(status) ? action(node, name) : status;
}

// ---- host-side path helpers (callers hold g_lock) ----

KeyNode* FindPath(std::u16string_view path)
{
    if (path.empty() || path.front() != u'\\') {
        return nullptr;
    }
    std::vector<std::u16string_view> parts;
    if (!NT_SUCCESS(SplitPath(path.substr(1), &parts))) {
        return nullptr;
    }
    KeyNode* node = Root();
    for (auto part : parts) {
        node = node->FindChild(part);
        if (node == nullptr) {
            return nullptr;
        }
    }
    return node;
}



}  // namespace

// Splits "a\b\c" into components; empty or overlong components are refused.
NTSTATUS SplitPath(std::u16string_view path, std::vector<std::u16string_view>* parts)
{
    parts->clear();
    if (path.empty()) {
        return STATUS_SUCCESS;
    }
    size_t start = 0;
    while (true) {
        size_t end = path.find(u'\\', start);
        std::u16string_view part = path.substr(start, end == std::u16string_view::npos ? path.npos : end - start);
        if (part.empty() || part.size() > kMaxKeyNameChars) {
            return STATUS_OBJECT_NAME_INVALID;
        }
        parts->push_back(part);
        if (end == std::u16string_view::npos) {
            return STATUS_SUCCESS;
        }
        start = end + 1;
    }
}

KeyNode* CreatePath(KeyNode* root, std::u16string_view path)
{
    if (path.empty() || path.front() != u'\\') {
        return nullptr;
    }
    std::vector<std::u16string_view> parts;
    if (!NT_SUCCESS(SplitPath(path.substr(1), &parts)) || parts.size() > kMaxKeyDepth) {
        return nullptr;
    }
    KeyNode* node = root;
    for (auto part : parts) {
        KeyNode* child = node->FindChild(part);
        node = child != nullptr ? child : node->AddChild(part, false);
    }
    return node;
}

void SetValueOn(KeyNode* node, std::u16string_view name, ULONG type, std::vector<uint8_t> data)
{
    Value* v = node->FindValue(name);
    if (v == nullptr) {
        node->Values.push_back(Value{std::u16string(name), type, std::move(data)});
    } else {
        v->Type = type;
        v->Data = std::move(data);
    }
}

}  // namespace platform::reg

using namespace platform::reg;

NTSTATUS ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes)
{
    CheckIrql("ZwOpenKey");
    return OpenOrCreate(KeyHandle, DesiredAccess, ObjectAttributes, false, 0, nullptr);
}

NTSTATUS ZwCreateKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                     ULONG TitleIndex, PUNICODE_STRING Class, ULONG CreateOptions, PULONG Disposition)
{
    UNREFERENCED_PARAMETER(TitleIndex);
    UNREFERENCED_PARAMETER(Class);
    CheckIrql("ZwCreateKey");
    return OpenOrCreate(KeyHandle, DesiredAccess, ObjectAttributes, true, CreateOptions, Disposition);
}

NTSTATUS ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                         KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass, PVOID KeyValueInformation,
                         ULONG Length, PULONG ResultLength)
{
    CheckIrql("ZwQueryValueKey");
    if (ResultLength == nullptr || (KeyValueInformation == nullptr && Length != 0) ||
        KeyValueInformationClass != KeyValuePartialInformation) {
        return STATUS_INVALID_PARAMETER;
    }
    return OnValue(KeyHandle, ValueName, KEY_QUERY_VALUE, [&](KeyNode* node, std::u16string_view name) {
        const Value* v = node->FindValue(name);
        if (v == nullptr) {
            return STATUS_OBJECT_NAME_NOT_FOUND;
        }
        constexpr ULONG header = FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data);
        const ULONG needed = header + static_cast<ULONG>(v->Data.size());
        *ResultLength = needed;
        if (Length < header) {
            return STATUS_BUFFER_TOO_SMALL;
        }
        auto* out = static_cast<uint8_t*>(KeyValueInformation);
        const ULONG fields[3] = {0, v->Type, static_cast<ULONG>(v->Data.size())};
        std::memcpy(out, fields, sizeof fields);
        if (Length < needed) {
            return STATUS_BUFFER_OVERFLOW;
        }
        if (!v->Data.empty()) {
            std::memcpy(out + header, v->Data.data(), v->Data.size());
        }
        return STATUS_SUCCESS;
    });
}

NTSTATUS ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG TitleIndex, ULONG Type, PVOID Data,
                       ULONG DataSize)
{
    UNREFERENCED_PARAMETER(TitleIndex);
    CheckIrql("ZwSetValueKey");
    if (Data == nullptr && DataSize != 0) {
        return STATUS_INVALID_PARAMETER;
    }
    return OnValue(KeyHandle, ValueName, KEY_SET_VALUE, [&](KeyNode* node, std::u16string_view name) {
        const auto* bytes = static_cast<const uint8_t*>(Data);
        SetValueOn(node, name, Type, std::vector<uint8_t>(bytes, bytes + (bytes != nullptr ? DataSize : 0)));
        return STATUS_SUCCESS;
    });
}

NTSTATUS ZwQueryKey(HANDLE KeyHandle, KEY_INFORMATION_CLASS KeyInformationClass, PVOID KeyInformation, ULONG Length,
                    PULONG ResultLength)
{
    CheckIrql("ZwQueryKey");
    if (ResultLength == nullptr || (KeyInformation == nullptr && Length != 0)) {
        return STATUS_INVALID_PARAMETER;
    }
    if (KeyInformationClass != KeyBasicInformation) {
        return STATUS_INVALID_PARAMETER;
    }
    std::lock_guard<std::mutex> guard(g_lock);
    KeyNode* node;
    NTSTATUS status = KeyOf(KeyHandle, KEY_QUERY_VALUE, &node);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    constexpr ULONG header = FIELD_OFFSET(KEY_BASIC_INFORMATION, Name);
    const ULONG nameBytes = static_cast<ULONG>(node->Name.size() * sizeof(WCHAR));
    *ResultLength = header + nameBytes;
    if (Length < header) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    auto* out = static_cast<uint8_t*>(KeyInformation);
    KEY_BASIC_INFORMATION head{};
    head.NameLength = nameBytes;
    std::memcpy(out, &head, header);
    const ULONG room = Length - header;
    std::memcpy(out + header, node->Name.data(), room < nameBytes ? room : nameBytes);
    return room < nameBytes ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

NTSTATUS ZwDeleteValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName)
{
    CheckIrql("ZwDeleteValueKey");
    return OnValue(KeyHandle, ValueName, KEY_SET_VALUE, [&](KeyNode* node, std::u16string_view name) {
        for (auto it = node->Values.begin(); it != node->Values.end(); ++it) {
            if (EqualNoCase(it->Name, name)) {
                node->Values.erase(it);
                return STATUS_SUCCESS;
            }
        }
        return STATUS_OBJECT_NAME_NOT_FOUND;
    });
}

NTSTATUS ZwDeleteKey(HANDLE KeyHandle)
{
    CheckIrql("ZwDeleteKey");
    std::lock_guard<std::mutex> guard(g_lock);
    KeyNode* node;
    NTSTATUS status = KeyOf(KeyHandle, DELETE, &node);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (!node->Children.empty() || node->Parent == nullptr) {
        return STATUS_CANNOT_DELETE;
    }
    node->Deleted = true;
    auto& siblings = node->Parent->Children;
    for (auto it = siblings.begin(); it != siblings.end(); ++it) {
        if (it->get() == node) {
            siblings.erase(it);  // open handles still hold the node
            break;
        }
    }
    node->Parent = nullptr;
    return STATUS_SUCCESS;
}

namespace platform {

void RegistryReset()
{
    {
        std::lock_guard<std::mutex> guard(g_lock);
        std::shared_ptr<KeyNode> root;
        MakeSkeleton(root);
        ReplaceRoot(std::move(root));
    }
    DeviceTableReset();
}

bool RegistrySave(const std::filesystem::path& file)
{
    std::string text;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        text = SaveText(Root());
    }
    return WriteAtomically(file, text);
}

bool RegistryLoad(const std::filesystem::path& file, RegistryLoadError* error)
{
    std::string text;
    if (!ReadSaveFile(file, &text, error)) {
        return false;
    }
    std::shared_ptr<KeyNode> root;
    if (!LoadText(text, &root, error)) {
        return false;
    }
    std::lock_guard<std::mutex> guard(g_lock);
    ReplaceRoot(std::move(root));
    return true;
}

bool RegistryKeyExists(std::u16string_view keyPath)
{
    std::lock_guard<std::mutex> guard(g_lock);
    return FindPath(keyPath) != nullptr;
}

void RegistryCreateKeyPath(std::u16string_view keyPath)
{
    std::lock_guard<std::mutex> guard(g_lock);
    CreatePath(Root(), keyPath);
}

std::optional<RegistryValue> RegistryGetValue(std::u16string_view keyPath, std::u16string_view valueName)
{
    std::lock_guard<std::mutex> guard(g_lock);
    KeyNode* node = FindPath(keyPath);
    const Value* v = node != nullptr ? node->FindValue(valueName) : nullptr;
    if (v == nullptr) {
        return std::nullopt;
    }
    return RegistryValue{v->Type, v->Data};
}

void RegistrySetValue(std::u16string_view keyPath, std::u16string_view valueName, ULONG type,
                      const std::vector<uint8_t>& data)
{
    std::lock_guard<std::mutex> guard(g_lock);
    KeyNode* node = CreatePath(Root(), keyPath);
    if (node != nullptr) {
        SetValueOn(node, valueName, type, data);
    }
}

void RegistrySetDword(std::u16string_view keyPath, std::u16string_view valueName, uint32_t value)
{
    std::vector<uint8_t> data(4);
    std::memcpy(data.data(), &value, 4);
    RegistrySetValue(keyPath, valueName, REG_DWORD, data);
}

std::vector<std::u16string> RegistrySubkeyNames(std::u16string_view keyPath)
{
    std::lock_guard<std::mutex> guard(g_lock);
    std::vector<std::u16string> names;
    if (KeyNode* node = FindPath(keyPath)) {
        for (const auto& c : node->Children) {
            names.push_back(c->Name);
        }
    }
    return names;
}

std::vector<std::u16string> RegistryValueNames(std::u16string_view keyPath)
{
    std::lock_guard<std::mutex> guard(g_lock);
    std::vector<std::u16string> names;
    if (KeyNode* node = FindPath(keyPath)) {
        for (const auto& v : node->Values) {
            names.push_back(v.Name);
        }
    }
    return names;
}

size_t RegistryOpenKeyCount() { return g_openKeys.load(); }

}  // namespace platform
