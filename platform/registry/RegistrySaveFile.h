// Shared inside the registry stand-in: the save file of the key tree.
//
// The first line names the format. Then, key by key from the root down, one "K <path>" line per
// key followed by one "V <type> <hex data or -> :<name>" line per value; names keep printable
// ASCII, every other character and '%' become %XXXX (UTF-16 unit). The last line,
// "E <records> <checksum>", counts the K and V lines and carries the FNV-1a hash of every byte
// before it, so that a cut or damaged file is refused rather than loaded with keys missing.
// Volatile keys are not saved.
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

#include "platform/registry/RegistryHost.h"
#include "platform/registry/RegistryTree.h"

namespace platform::reg {

// The whole save text of the tree below `root`, walked without recursion. Callers hold the
// registry's lock.
std::string SaveText(const KeyNode* root);
// Builds a tree from a save text; on failure nothing of it is kept and `error` names the line.
bool LoadText(std::string_view text, std::shared_ptr<KeyNode>* result, platform::RegistryLoadError* error);
// Writes `text` to a temporary file beside `file`, makes it durable, then renames it into place:
// a reader sees either the old file or the whole new one.
bool WriteAtomically(const std::filesystem::path& file, std::string_view text);
// The whole contents of a regular file (anything else is refused with line 0).
bool ReadSaveFile(const std::filesystem::path& file, std::string* text, platform::RegistryLoadError* error);

}  // namespace platform::reg
