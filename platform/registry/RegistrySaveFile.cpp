// The registry's save file: its text format, the atomic write and the checked load.
#include "platform/registry/RegistrySaveFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>

#include "platform/nt/RtlString.h"

namespace platform::reg {
namespace {

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

}  // namespace

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

bool ReadSaveFile(const std::filesystem::path& file, std::string* text, platform::RegistryLoadError* error)
{
    text->clear();
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
        text->append(buffer, static_cast<size_t>(n));
    }
    ::close(fd);
    return true;
}

}  // namespace platform::reg
