// Shared inside the registry stand-in: the tree of keys and values, and the path helpers the
// save file's loader shares with the Zw calls.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/nt/NtTypes.h"
#include "platform/registry/RegistryInternal.h"

namespace platform::reg {

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

// Splits "a\b\c" into components; empty or overlong components are refused.
NTSTATUS SplitPath(std::u16string_view path, std::vector<std::u16string_view>* parts);
// Creates the keys of an absolute path ("\REGISTRY\...") below `root`; null on a malformed path.
KeyNode* CreatePath(KeyNode* root, std::u16string_view path);
// Sets or replaces a value of a key.
void SetValueOn(KeyNode* node, std::u16string_view name, ULONG type, std::vector<uint8_t> data);

}  // namespace platform::reg
