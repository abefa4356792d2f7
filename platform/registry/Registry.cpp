// The machine's registry: one tree of keys with typed values, behind the Zw key calls, and its
// save/load file so that values outlive the host program.
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

namespace platform::reg {
namespace {

constexpr size_t kMaxKeyNameChars = 255;
constexpr size_t kMaxValueNameChars = 16383;
// Keys nest at most this deep below the root ("\REGISTRY" is depth 1).
constexpr unsigned kMaxKeyDepth = 512;

struct Value {
    std::u16string Name;
    ULONG Type = 0;
    std::vector<uint8_t> Data;
};

struct KeyNode {
    std::u16string Name;
    KeyNode* Parent = nullptr;
    unsigned Depth = 0;
    bool Volatile = false;
    bool Deleted = false;
    std::vector<std::shared_ptr<KeyNode>> Children;
    std::vector<Value> Values;

    KeyNode() = default;
    KeyNode(const KeyNode&) = delete;
    KeyNode& operator=(const KeyNode&) = delete;
    // A key goes only once it has left the tree, so its subtree has left it too: the subtree is
    // taken apart here level by level, not by a chain of destructors as deep as the tree.
    ~KeyNode()
    {
        std::vector<std::shared_ptr<KeyNode>> pending = std::move(Children);
        while (!pending.empty()) {
            std::shared_ptr<KeyNode> node = std::move(pending.back());
            pending.pop_back();
            for (auto& child : node->Children) {
                if (child->Parent != nullptr) {
                    child->Parent = nullptr;  // a detached key's parent was cleared already
                }
                pending.push_back(std::move(child));
            }
            node->Children.clear();
        }
    }

    KeyNode* FindChild(std::u16string_view name) const
    {
        for (const auto& c : Children) {
            if (EqualNoCase(c->Name, name)) {
                return c.get();
            }
        }
        return nullptr;
    }
    std::shared_ptr<KeyNode> ChildPtr(KeyNode* child) const
    {
        for (const auto& c : Children) {
            if (c.get() == child) {
                return c;
            }
        }
        return nullptr;
    }
    Value* FindValue(std::u16string_view name)
    {
        for (auto& v : Values) {
            if (EqualNoCase(v.Name, name)) {
                return &v;
            }
        }
        return nullptr;
    }
    KeyNode* AddChild(std::u16string_view name, bool isVolatile)
    {
        auto child = std::make_shared<KeyNode>();
        child->Name = std::u16string(name);
        child->Parent = this;
        child->Depth = Depth + 1;
        child->Volatile = isVolatile;
        Children.push_back(child);
        return child.get();
    }
};

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

// ---- save file ----
// The first line names the format. Then, key by key from the root down, one "K <path>" line per
// key followed by one "V <type> <hex data or -> :<name>" line per value; names keep printable
// ASCII, every other character and '%' become %XXXX (UTF-16 unit). The last line,
// "E <records> <checksum>", counts the K and V lines and carries the FNV-1a hash of every byte
// before it, so that a cut or damaged file is refused rather than loaded with keys missing.

constexpr std::string_view kSaveHeader = "KVX-REGISTRY 2";

std::string Escape(std::u16string_view text)
{
    std::string out;
    for (char16_t c : text) {
        if (c > 0x20 && c < 0x7F && c != u'%') {
            out.push_back(static_cast<char>(c));
        } else {
            out.push_back('%');
            for (int shift = 12; shift >= 0; shift -= 4) {
                out.push_back(kHexDigitsUpper[(c >> shift) & 0xF]);
            }
        }
    }
    return out;
}

bool Unescape(std::string_view text, std::u16string* out)
{
    out->clear();
    for (size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c != '%') {
            if (c <= 0x20 || c >= 0x7F) {
                return false;  // never written unescaped
            }
            out->push_back(static_cast<char16_t>(c));
            continue;
        }
        if (text.size() - i < 5) {
            return false;
        }
        char16_t unit = 0;
        for (size_t k = 1; k <= 4; ++k) {
            const int d = HexDigitValue(static_cast<unsigned char>(text[i + k]));
            if (d < 0) {
                return false;
            }
            unit = static_cast<char16_t>((unit << 4) | d);
        }
        out->push_back(unit);
        i += 4;
    }
    return true;
}

uint64_t Fnv1a(std::string_view bytes)
{
    uint64_t hash = 0xCBF29CE484222325ull;
    for (char c : bytes) {
        hash = (hash ^ static_cast<unsigned char>(c)) * 0x100000001B3ull;
    }
    return hash;
}

std::string Hex64(uint64_t v)
{
    std::string out(16, '0');
    for (int i = 15; i >= 0; --i, v >>= 4) {
        out[static_cast<size_t>(i)] = kHexDigitsUpper[v & 0xF];
    }
    return out;
}

// A decimal number of 1 to 10 digits that fits 32 bits; no sign, no blanks.
bool ParseU32(std::string_view text, uint32_t* value)
{
    if (text.empty() || text.size() > 10) {
        return false;
    }
    uint64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
        v = v * 10 + static_cast<uint64_t>(c - '0');
    }
    if (v > 0xFFFFFFFFull) {
        return false;
    }
    *value = static_cast<uint32_t>(v);
    return true;
}

// The whole save text of the tree below `root`, walked without recursion. Callers hold g_lock.
std::string SaveText(const KeyNode* root)
{
    std::string out;
    out.append(kSaveHeader).push_back('\n');
    uint64_t records = 0;
    struct Pending {
        const KeyNode* Node;
        std::string Path;
    };
    std::vector<Pending> pending;
    pending.push_back({root, "\\"});
    while (!pending.empty()) {
        Pending item = std::move(pending.back());
        pending.pop_back();
        if (item.Node->Volatile) {
            continue;  // and its subtree, which is volatile too
        }
        out.append("K ").append(item.Path).push_back('\n');
        ++records;
        for (const auto& v : item.Node->Values) {
            out.append("V ").append(std::to_string(v.Type)).push_back(' ');
            if (v.Data.empty()) {
                out.push_back('-');
            }
            for (uint8_t b : v.Data) {
                out.push_back(kHexDigitsUpper[b >> 4]);
                out.push_back(kHexDigitsUpper[b & 0xF]);
            }
            out.append(" :").append(Escape(v.Name)).push_back('\n');
            ++records;
        }
        const std::string prefix = item.Node == root ? "" : item.Path;
        for (auto it = item.Node->Children.rbegin(); it != item.Node->Children.rend(); ++it) {
            pending.push_back({it->get(), prefix + "\\" + Escape((*it)->Name)});
        }
    }
    const uint64_t hash = Fnv1a(out);
    out.append("E ").append(std::to_string(records)).append(" ").append(Hex64(hash)).push_back('\n');
    return out;
}

bool Fail(platform::RegistryLoadError* error, size_t line, std::string reason)
{
    if (error != nullptr) {
        error->Line = line;
        error->Reason = std::move(reason);
    }
    return false;
}

// One "V" record (after "V "): type, data, name.
bool ParseValueRecord(std::string_view text, ULONG* type, std::vector<uint8_t>* data, std::u16string* name,
                      std::string* reason)
{
    const size_t typeEnd = text.find(' ');
    const size_t dataEnd = typeEnd == text.npos ? text.npos : text.find(' ', typeEnd + 1);
    if (dataEnd == text.npos || dataEnd + 1 >= text.size() || text[dataEnd + 1] != ':') {
        *reason = "value record without type, data and name";
        return false;
    }
    uint32_t t;
    if (!ParseU32(text.substr(0, typeEnd), &t)) {
        *reason = "value type is not a 32-bit number";
        return false;
    }
    *type = t;
    const std::string_view hex = text.substr(typeEnd + 1, dataEnd - typeEnd - 1);
    data->clear();
    if (hex != "-") {
        if (hex.empty() || hex.size() % 2 != 0) {
            *reason = "value data of odd length";
            return false;
        }
        data->reserve(hex.size() / 2);
        for (size_t i = 0; i < hex.size(); i += 2) {
            const int hi = HexDigitValue(static_cast<unsigned char>(hex[i]));
            const int lo = HexDigitValue(static_cast<unsigned char>(hex[i + 1]));
            if (hi < 0 || lo < 0) {
                *reason = "value data is not hexadecimal";
                return false;
            }
            data->push_back(static_cast<uint8_t>(hi * 16 + lo));
        }
    }
    if (!Unescape(text.substr(dataEnd + 2), name) || name->size() > kMaxValueNameChars) {
        *reason = "malformed value name";
        return false;
    }
    return true;
}

// Builds a tree from a save text; on failure nothing of it is kept and `error` names the line.
bool LoadText(std::string_view text, std::shared_ptr<KeyNode>* result, platform::RegistryLoadError* error)
{
    auto root = std::make_shared<KeyNode>();
    KeyNode* current = nullptr;
    uint64_t records = 0;
    size_t lineNumber = 0;
    size_t position = 0;
    while (position < text.size()) {
        ++lineNumber;
        const size_t end = text.find('\n', position);
        if (end == text.npos) {
            return Fail(error, lineNumber, "line cut short (no line end)");
        }
        const std::string_view line = text.substr(position, end - position);
        const size_t lineStart = position;
        position = end + 1;
        if (lineNumber == 1) {
            if (line != kSaveHeader) {
                return Fail(error, 1, "not a registry save file of this format");
            }
            continue;
        }
        if (line.size() >= 2 && line[0] == 'K' && line[1] == ' ') {
            std::u16string path;
            if (!Unescape(line.substr(2), &path)) {
                return Fail(error, lineNumber, "malformed key path");
            }
            if (path == u"\\") {
                current = root.get();
            } else {
                std::vector<std::u16string_view> parts;
                const std::u16string_view view(path);
                if (view.empty() || view.front() != u'\\' || !NT_SUCCESS(SplitPath(view.substr(1), &parts))) {
                    return Fail(error, lineNumber, "malformed key path");
                }
                if (parts.size() > kMaxKeyDepth) {
                    return Fail(error, lineNumber, "key nests deeper than " + std::to_string(kMaxKeyDepth));
                }
                current = CreatePath(root.get(), path);
            }
            ++records;
        } else if (line.size() >= 2 && line[0] == 'V' && line[1] == ' ') {
            if (current == nullptr) {
                return Fail(error, lineNumber, "value record before any key");
            }
            ULONG type = 0;
            std::vector<uint8_t> data;
            std::u16string name;
            std::string reason;
            if (!ParseValueRecord(line.substr(2), &type, &data, &name, &reason)) {
                return Fail(error, lineNumber, reason);
            }
            SetValueOn(current, name, type, std::move(data));
            ++records;
        } else if (line.size() >= 2 && line[0] == 'E' && line[1] == ' ') {
            const std::string_view fields = line.substr(2);
            const size_t space = fields.find(' ');
            uint32_t count;
            if (space == fields.npos || !ParseU32(fields.substr(0, space), &count)) {
                return Fail(error, lineNumber, "malformed record count line");
            }
            if (count != records) {
                return Fail(error, lineNumber,
                            "record count " + std::to_string(count) + " but " + std::to_string(records) + " records");
            }
            if (fields.substr(space + 1) != Hex64(Fnv1a(text.substr(0, lineStart)))) {
                return Fail(error, lineNumber, "checksum does not match the contents");
            }
            if (position != text.size()) {
                return Fail(error, lineNumber + 1, "text after the record count line");
            }
            *result = std::move(root);
            return true;
        } else {
            return Fail(error, lineNumber, "unknown record");
        }
    }
    return Fail(error, lineNumber + 1, "file ends without its record count line");
}

// Writes `text` to a temporary file beside `file`, makes it durable, then renames it into place:
// a reader sees either the old file or the whole new one.
bool WriteAtomically(const std::filesystem::path& file, std::string_view text)
{
    static std::atomic<unsigned> s_serial{0};
    std::filesystem::path temp = file;
    temp += ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(s_serial.fetch_add(1));
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) {
        return false;
    }
    bool ok = true;
    for (size_t done = 0; ok && done < text.size();) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        ok = n > 0;
        done += ok ? static_cast<size_t>(n) : 0;
    }
    ok = ok && ::fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    ok = ok && std::rename(temp.c_str(), file.c_str()) == 0;
    if (!ok) {
        ::unlink(temp.c_str());
        return false;
    }
    // The rename itself is made durable with the folder.
    const std::filesystem::path folder = file.has_parent_path() ? file.parent_path() : std::filesystem::path(".");
    const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return true;
}

}  // namespace
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
    {
        const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
        struct stat info {};
        if (fd < 0 || ::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
            if (fd >= 0) {
                ::close(fd);
            }
            return Fail(error, 0, "cannot be opened as a regular file");
        }
        char buffer[65536];
        for (;;) {
            const ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n < 0) {
                ::close(fd);
                return Fail(error, 0, "read error");
            }
            if (n == 0) {
                break;
            }
            text.append(buffer, static_cast<size_t>(n));
        }
        ::close(fd);
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
