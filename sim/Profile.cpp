#include "sim/Profile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <set>
#include <sstream>

#include "sim/Json.h"
#include "sim/VendorSwitches.h"

namespace sim {

namespace {

using json::Value;

std::string At(const Value& v) { return " (line " + std::to_string(v.Line) + ", column " + std::to_string(v.Column) + ")"; }

bool Fail(std::string* error, const std::string& where, const std::string& what, const Value* v = nullptr)
{
    *error = where + ": " + what + (v != nullptr ? At(*v) : std::string());
    return false;
}

// The whole of a regular file of at most `limit` bytes; false with why not. A directory, a device
// or a FIFO is refused before it is read (they could block or never end).
bool ReadRegular(const std::string& path, size_t limit, Bytes* out, std::string* why)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        *why = std::strerror(errno);
        return false;
    }
    struct stat info {};
    bool ok = ::fstat(fd, &info) == 0;
    if (!ok) {
        *why = std::strerror(errno);
    } else if (S_ISDIR(info.st_mode)) {
        *why = "is a directory";
        ok = false;
    } else if (!S_ISREG(info.st_mode)) {
        *why = "is not a regular file";
        ok = false;
    } else if (static_cast<uint64_t>(info.st_size) > limit) {
        *why = "is larger than " + std::to_string(limit) + " bytes";
        ok = false;
    }
    out->clear();
    uint8_t buffer[65536];
    while (ok) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            *why = std::strerror(errno);
            ok = false;
        } else if (n == 0) {
            break;
        } else if (out->size() + static_cast<size_t>(n) > limit) {
            *why = "is larger than " + std::to_string(limit) + " bytes";
            ok = false;
        } else {
            out->insert(out->end(), buffer, buffer + n);
        }
    }
    ::close(fd);
    return ok;
}

// What a device could send: its 18-byte descriptor and up to 255 configurations of 65535 bytes.
constexpr size_t MAX_DESCRIPTOR_BYTES = 18 + 255 * 65535;
// A profile is text of modest size; anything far larger is not one.
constexpr size_t MAX_PROFILE_BYTES = 64u << 20;

// The ids of the AudioControl interfaces' units, terminals and clocks (class-specific descriptors
// of subtype 2 and above, their id at byte 3).
std::set<uint8_t> AudioControlIds(const Bytes& c)
{
    std::set<uint8_t> ids;
    bool audioControl = false;
    for (size_t p = 0; p + 2 <= c.size() && c[p] >= 2 && c[p] <= c.size() - p; p += c[p]) {
        if (c[p + 1] == USB_INTERFACE_DESCRIPTOR_TYPE && c[p] >= 9) {
            audioControl = c[p + 5] == 1 && c[p + 6] == 1;
        } else if (audioControl && c[p + 1] == 0x24 && c[p] >= 4 && c[p + 2] >= 2) {
            ids.insert(c[p + 3]);
        }
    }
    return ids;
}

bool ParseHex(const std::string& text, Bytes* out)
{
    out->clear();
    int high = -1;
    for (const char c : text) {
        int d;
        if (c >= '0' && c <= '9') d = c - '0';
        else if (c >= 'a' && c <= 'f') d = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F') d = c - 'A' + 10;
        else if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == ',' || c == ':') {
            if (high >= 0) return false;  // a lone digit
            continue;
        } else return false;
        if (high < 0) {
            high = d;
        } else {
            out->push_back(static_cast<uint8_t>(high * 16 + d));
            high = -1;
        }
    }
    return high < 0;
}

std::string Hex(const Bytes& b)
{
    std::string out;
    char buf[4];
    for (size_t i = 0; i < b.size(); ++i) {
        std::snprintf(buf, sizeof buf, i == 0 ? "%02x" : " %02x", b[i]);
        out += buf;
    }
    return out;
}

bool Integer(const Value& v, int64_t lo, int64_t hi, int64_t* out)
{
    if (v.Kind != Value::Type::Number || !v.Integer || v.IntegerValue < lo || v.IntegerValue > hi) {
        return false;
    }
    *out = v.IntegerValue;
    return true;
}

// A key written as decimal or 0x hex text.
bool KeyNumber(const std::string& key, int64_t hi, int64_t* out)
{
    if (key.empty()) return false;
    const bool hex = key.size() > 2 && key[0] == '0' && (key[1] == 'x' || key[1] == 'X');
    size_t used = 0;
    try {
        const long long v = std::stoll(hex ? key.substr(2) : key, &used, hex ? 16 : 10);
        if (used != key.size() - (hex ? 2 : 0) || v < 0 || v > hi) return false;
        *out = v;
        return true;
    } catch (...) {
        return false;
    }
}

std::u16string FromUtf8(const std::string& s)
{
    std::u16string out;
    for (size_t i = 0; i < s.size();) {
        const auto c = static_cast<unsigned char>(s[i]);
        uint32_t cp;
        int extra;
        if (c < 0x80) { cp = c; extra = 0; }
        else if ((c >> 5) == 6) { cp = c & 0x1F; extra = 1; }
        else if ((c >> 4) == 14) { cp = c & 0x0F; extra = 2; }
        else { cp = c & 0x07; extra = 3; }
        ++i;
        for (int k = 0; k < extra && i < s.size(); ++k, ++i) {
            cp = (cp << 6) | (static_cast<unsigned char>(s[i]) & 0x3F);
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (cp >> 10));
            out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
        } else {
            out += static_cast<char16_t>(cp);
        }
    }
    return out;
}

std::string ToUtf8(const std::u16string& s)
{
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        uint32_t cp = s[i];
        if (cp >= 0xD800 && cp < 0xDC00 && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] < 0xE000) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (s[++i] - 0xDC00);
        }
        if (cp < 0x80) out += static_cast<char>(cp);
        else if (cp < 0x800) { out += static_cast<char>(0xC0 | (cp >> 6)); out += static_cast<char>(0x80 | (cp & 0x3F)); }
        else if (cp < 0x10000) {
            out += static_cast<char>(0xE0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (cp >> 18));
            out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }
    return out;
}

// Splits the descriptor bytes into the device descriptor and the first configuration, checking
// every length against the bytes there are.
bool SplitDescriptors(const Bytes& all, const std::string& where, Bytes* device, Bytes* config,
                      std::vector<Bytes>* others, std::string* error)
{
    if (all.size() < 18 || all[0] != 18 || all[1] != 1) {
        return Fail(error, where, "must start with the 18-byte device descriptor (bLength 18, type 1)");
    }
    device->assign(all.begin(), all.begin() + 18);
    const uint8_t count = all[17];
    if (count == 0) {
        return Fail(error, where, "the device descriptor lists no configuration");
    }
    size_t at = 18;
    for (uint8_t i = 0; i < count; ++i) {
        if (all.size() - at < 9 || all[at + 1] != 2 || all[at] < 9) {
            return Fail(error, where, "configuration " + std::to_string(i + 1) + " has no valid 9-byte header at byte " +
                                          std::to_string(at));
        }
        const size_t total = all[at + 2] | (all[at + 3] << 8);
        if (total < 9 || total > all.size() - at) {
            return Fail(error, where, "configuration " + std::to_string(i + 1) + " has wTotalLength " +
                                          std::to_string(total) + " but " + std::to_string(all.size() - at) +
                                          " bytes are left");
        }
        Bytes one(all.begin() + static_cast<ptrdiff_t>(at), all.begin() + static_cast<ptrdiff_t>(at + total));
        if (i == 0) {
            *config = std::move(one);
        } else {
            others->push_back(std::move(one));
        }
        at += total;
    }
    if (at != all.size()) {
        return Fail(error, where, std::to_string(all.size() - at) + " bytes follow the last configuration");
    }
    return true;
}

bool Apply(const Value& root, const std::string& base, std::unique_ptr<SimDevice>* out, std::string* error)
{
    if (root.Kind != Value::Type::Object) {
        return Fail(error, "profile", "must be a JSON object", &root);
    }
    static const char* const known[] = {"descriptors", "descriptorsHex", "speed",          "strings",
                                        "controls",    "clockRates",     "requests",       "losesControlsOnSuspend",
                                        "vendorSwitches", "loopback"};
    for (const auto& [key, value] : root.Object) {
        bool ok = false;
        for (const char* k : known) ok = ok || key == k;
        if (!ok) {
            return Fail(error, "\"" + key + "\"", "unknown key", &value);
        }
    }

    Bytes all;
    const Value* file = root.Find("descriptors");
    const Value* hex = root.Find("descriptorsHex");
    if ((file == nullptr) == (hex == nullptr)) {
        return Fail(error, "profile", "needs exactly one of \"descriptors\" and \"descriptorsHex\"");
    }
    if (file != nullptr) {
        if (file->Kind != Value::Type::String || file->String.empty()) {
            return Fail(error, "\"descriptors\"", "must be a file path", file);
        }
        const std::string path = file->String[0] == '/' || base.empty() ? file->String : base + "/" + file->String;
        std::string why;
        if (!ReadRegular(path, MAX_DESCRIPTOR_BYTES, &all, &why)) {
            return Fail(error, "\"descriptors\"", path + " " + (why.rfind("is ", 0) == 0 ? why : "cannot be read: " + why),
                        file);
        }
    } else if (hex->Kind != Value::Type::String || !ParseHex(hex->String, &all)) {
        return Fail(error, "\"descriptorsHex\"", "must be hex bytes (pairs of digits, spaces allowed)", hex);
    }
    Bytes device;
    Bytes config;
    std::vector<Bytes> others;
    if (!SplitDescriptors(all, file != nullptr ? "\"descriptors\"" : "\"descriptorsHex\"", &device, &config, &others,
                          error)) {
        return false;
    }

    std::optional<bool> high;
    if (const Value* speed = root.Find("speed")) {
        if (speed->Kind != Value::Type::String || (speed->String != "full" && speed->String != "high")) {
            return Fail(error, "\"speed\"", "must be \"full\" or \"high\"", speed);
        }
        high = speed->String == "high";
    }
    auto sim = std::make_unique<SimDevice>(device, config, high);
    sim->SetOtherConfigurations(std::move(others));
    if (const Value* loses = root.Find("losesControlsOnSuspend")) {
        if (loses->Kind != Value::Type::Bool) {
            return Fail(error, "\"losesControlsOnSuspend\"", "must be true or false", loses);
        }
        sim->SetLosesControlsOnSuspend(loses->Bool);
    }

    if (const Value* strings = root.Find("strings")) {
        if (strings->Kind != Value::Type::Object) {
            return Fail(error, "\"strings\"", "must be an object of index: text", strings);
        }
        for (const auto& [key, text] : strings->Object) {
            int64_t index;
            if (!KeyNumber(key, 255, &index) || index == 0) {
                return Fail(error, "\"strings\".\"" + key + "\"", "index must be 1..255, decimal or 0x hex", &text);
            }
            if (text.Kind != Value::Type::String) {
                return Fail(error, "\"strings\".\"" + key + "\"", "must be text", &text);
            }
            const std::u16string wide = FromUtf8(text.String);
            if (wide.size() > 126) {
                return Fail(error, "\"strings\".\"" + key + "\"", "is longer than a string descriptor holds (126)", &text);
            }
            sim->SetString(static_cast<uint8_t>(index), wide);
        }
    }

    if (const Value* controls = root.Find("controls")) {
        if (controls->Kind != Value::Type::Array) {
            return Fail(error, "\"controls\"", "must be a list", controls);
        }
        const std::set<uint8_t> units = AudioControlIds(config);
        for (size_t i = 0; i < controls->Array.size(); ++i) {
            const Value& c = controls->Array[i];
            const std::string where = "\"controls\"[" + std::to_string(i) + "]";
            if (c.Kind != Value::Type::Object) {
                return Fail(error, where, "must be an object", &c);
            }
            for (const auto& [key, value] : c.Object) {
                if (key != "unit" && key != "selector" && key != "channel" && key != "cur" && key != "min" &&
                    key != "max" && key != "res" && key != "size") {
                    return Fail(error, where + ".\"" + key + "\"", "unknown key", &value);
                }
            }
            int64_t unit, selector, channel = -1;
            const Value* u = c.Find("unit");
            const Value* s = c.Find("selector");
            const Value* ch = c.Find("channel");
            if (u == nullptr || !Integer(*u, 0, 255, &unit)) {
                return Fail(error, where + ".\"unit\"", "must be a number 0..255", u ? u : &c);
            }
            if (units.count(static_cast<uint8_t>(unit)) == 0) {
                return Fail(error, where + ".\"unit\"",
                            "the descriptors have no unit, terminal or clock " + std::to_string(unit), u);
            }
            if (s == nullptr || !Integer(*s, 0, 255, &selector)) {
                return Fail(error, where + ".\"selector\"", "must be a number 0..255", s ? s : &c);
            }
            if (ch == nullptr || !((ch->Kind == Value::Type::String && ch->String == "*") || Integer(*ch, 0, 254, &channel))) {
                return Fail(error, where + ".\"channel\"", "must be a number 0..254 or \"*\"", ch ? ch : &c);
            }
            ControlValues v = {};
            const auto existing = sim->Control(static_cast<uint8_t>(unit), static_cast<uint8_t>(selector),
                                               static_cast<uint8_t>(channel < 0 ? 0 : channel));
            v.Size = existing ? existing->Size : static_cast<uint8_t>(selector == 2 || selector == 8 ? 2 : 1);
            if (const Value* size = c.Find("size")) {
                int64_t n;
                if (!Integer(*size, 1, 4, &n)) {
                    return Fail(error, where + ".\"size\"", "must be 1, 2, 3 or 4 bytes", size);
                }
                v.Size = static_cast<uint8_t>(n);
            }
            const int64_t lo = -(int64_t{1} << (8 * v.Size - 1));
            const int64_t hi = (int64_t{1} << (8 * v.Size)) - 1;
            for (auto [name, field] : {std::pair{"cur", &v.Cur}, {"min", &v.Min}, {"max", &v.Max}, {"res", &v.Res}}) {
                const Value* f = c.Find(name);
                if (f == nullptr || !Integer(*f, lo, hi, field)) {
                    return Fail(error, where + ".\"" + name + "\"",
                                "must be a number that fits " + std::to_string(v.Size) + " byte(s)", f ? f : &c);
                }
            }
            if (v.Min > v.Max) {
                return Fail(error, where + ".\"min\"", "is above \"max\"", c.Find("min"));
            }
            if (v.Res <= 0) {
                return Fail(error, where + ".\"res\"", "must be at least 1 (the step between values)", c.Find("res"));
            }
            sim->SetControl(static_cast<uint8_t>(unit), static_cast<uint8_t>(selector), static_cast<int>(channel), v);
        }
    }

    if (const Value* clocks = root.Find("clockRates")) {
        if (clocks->Kind != Value::Type::Object) {
            return Fail(error, "\"clockRates\"", "must be an object of clock id: [rates]", clocks);
        }
        for (const auto& [key, rates] : clocks->Object) {
            const std::string where = "\"clockRates\".\"" + key + "\"";
            int64_t id;
            if (!KeyNumber(key, 255, &id)) {
                return Fail(error, where, "clock id must be 0..255, decimal or 0x hex", &rates);
            }
            if (rates.Kind != Value::Type::Array || rates.Array.empty()) {
                return Fail(error, where, "must be a non-empty list of rates", &rates);
            }
            std::vector<uint32_t> list;
            for (const Value& r : rates.Array) {
                int64_t rate;
                if (!Integer(r, 1, 0xFFFFFFFF, &rate)) {
                    return Fail(error, where, "rates must be whole numbers 1..4294967295", &r);
                }
                list.push_back(static_cast<uint32_t>(rate));
            }
            if (!sim->IsUac2()) {
                return Fail(error, where, "clock rates apply to UAC 2.0 clock sources; this device is UAC 1.0", &rates);
            }
            sim->SetClockRates(static_cast<uint8_t>(id), list);
        }
    }

    if (const Value* switches = root.Find("vendorSwitches")) {
        if (switches->Kind != Value::Type::Array) {
            return Fail(error, "\"vendorSwitches\"", "must be a list", switches);
        }
        auto chip = std::make_shared<VendorSwitches>();
        for (size_t i = 0; i < switches->Array.size(); ++i) {
            const Value& v = switches->Array[i];
            const std::string where = "\"vendorSwitches\"[" + std::to_string(i) + "]";
            if (v.Kind != Value::Type::Object) {
                return Fail(error, where, "must be an object", &v);
            }
            int64_t fields[3] = {};
            const char* const names[3] = {"unit", "selector", "cur"};
            for (int f = 0; f < 3; ++f) {
                const Value* field = v.Find(names[f]);
                if (field == nullptr || field->Kind != Value::Type::Number || field->Number < 0 || field->Number > 255 ||
                    field->Number != static_cast<double>(static_cast<int64_t>(field->Number))) {
                    return Fail(error, where + ".\"" + names[f] + "\"", "must be a whole number from 0 to 255",
                                field ? field : &v);
                }
                fields[f] = static_cast<int64_t>(field->Number);
            }
            for (const auto& [key, value] : v.Object) {
                if (key != "unit" && key != "selector" && key != "cur") {
                    return Fail(error, where + ".\"" + key + "\"", "unknown key", &value);
                }
            }
            chip->Add(static_cast<uint8_t>(fields[0]), static_cast<uint8_t>(fields[1]), static_cast<uint8_t>(fields[2]));
        }
        sim->AddChip(chip);
    }

    if (const Value* loopback = root.Find("loopback")) {
        // One loop as an object, or a list of them: {"out": 1, "in": "0x82", "delay": 0}.
        std::vector<const Value*> loops;
        if (loopback->Kind == Value::Type::Array) {
            for (const Value& v : loopback->Array) loops.push_back(&v);
        } else {
            loops.push_back(loopback);
        }
        for (size_t i = 0; i < loops.size(); ++i) {
            const Value& v = *loops[i];
            const std::string where =
                loopback->Kind == Value::Type::Array ? "\"loopback\"[" + std::to_string(i) + "]" : "\"loopback\"";
            if (v.Kind != Value::Type::Object) {
                return Fail(error, where, "must be an object {\"out\", \"in\", \"delay\"} or a list of them", &v);
            }
            for (const auto& [key, value] : v.Object) {
                if (key != "out" && key != "in" && key != "delay") {
                    return Fail(error, where + ".\"" + key + "\"", "unknown key", &value);
                }
            }
            int64_t fields[3] = {};
            const char* const names[3] = {"out", "in", "delay"};
            const int64_t limits[3] = {255, 255, 96000};
            for (int f = 0; f < 3; ++f) {
                const Value* field = v.Find(names[f]);
                const bool ok = field != nullptr && (Integer(*field, 0, limits[f], &fields[f]) ||
                                                     (field->Kind == Value::Type::String &&
                                                      KeyNumber(field->String, limits[f], &fields[f])));
                if (!ok) {
                    return Fail(error, where + ".\"" + names[f] + "\"",
                                f == 2 ? "must be a whole number of frames from 0 to 96000"
                                       : "must be an endpoint address 0..255, decimal or 0x hex",
                                field ? field : &v);
                }
            }
            if (!sim->SetLoopback({static_cast<uint8_t>(fields[0]), static_cast<uint8_t>(fields[1]),
                                   static_cast<uint32_t>(fields[2])})) {
                return Fail(error, where,
                            "needs an isochronous OUT data endpoint (\"out\") and an IN one (\"in\") of the device", &v);
            }
        }
    }

    if (const Value* requests = root.Find("requests")) {
        if (requests->Kind != Value::Type::Array) {
            return Fail(error, "\"requests\"", "must be a list", requests);
        }
        for (size_t i = 0; i < requests->Array.size(); ++i) {
            const Value& r = requests->Array[i];
            const std::string where = "\"requests\"[" + std::to_string(i) + "]";
            if (r.Kind != Value::Type::Object) {
                return Fail(error, where, "must be an object", &r);
            }
            RawRequest raw;
            const Value* setup = r.Find("setup");
            Bytes setupBytes;
            if (setup == nullptr || setup->Kind != Value::Type::String || !ParseHex(setup->String, &setupBytes) ||
                setupBytes.size() != 8) {
                return Fail(error, where + ".\"setup\"", "must be 8 bytes of hex", setup ? setup : &r);
            }
            std::copy(setupBytes.begin(), setupBytes.end(), raw.Setup);
            const Value* reply = r.Find("reply");
            const Value* stall = r.Find("stall");
            if ((reply == nullptr) == (stall == nullptr)) {
                return Fail(error, where, "needs exactly one of \"reply\" and \"stall\"", &r);
            }
            if (reply != nullptr && (reply->Kind != Value::Type::String || !ParseHex(reply->String, &raw.Reply))) {
                return Fail(error, where + ".\"reply\"", "must be hex bytes", reply);
            }
            if (stall != nullptr) {
                if (stall->Kind != Value::Type::Bool || !stall->Bool) {
                    return Fail(error, where + ".\"stall\"", "must be true", stall);
                }
                raw.Stall = true;
            }
            for (const auto& [key, value] : r.Object) {
                if (key != "setup" && key != "reply" && key != "stall") {
                    return Fail(error, where + ".\"" + key + "\"", "unknown key", &value);
                }
            }
            sim->AddRaw(raw);
        }
    }
    *out = std::move(sim);
    return true;
}

}  // namespace

std::unique_ptr<SimDevice> ParseProfile(const std::string& text, const std::string& baseDirectory, std::string* error)
{
    std::string jsonError;
    std::optional<Value> root = json::Parse(text, &jsonError);
    if (!root) {
        *error = "not valid JSON: " + jsonError;
        return nullptr;
    }
    std::unique_ptr<SimDevice> device;
    if (!Apply(*root, baseDirectory, &device, error)) {
        return nullptr;
    }
    return device;
}

std::unique_ptr<SimDevice> LoadProfile(const std::string& path, std::string* error)
{
    Bytes text;
    std::string why;
    if (!ReadRegular(path, MAX_PROFILE_BYTES, &text, &why)) {
        *error = path + ": " + (why.rfind("is ", 0) == 0 ? why : "cannot be read: " + why);
        return nullptr;
    }
    const size_t slash = path.find_last_of('/');
    const std::string base = slash == std::string::npos ? std::string(".") : path.substr(0, slash);
    std::string inner;
    auto device = ParseProfile(std::string(text.begin(), text.end()), base, &inner);
    if (device == nullptr) {
        *error = path + ": " + inner;
    }
    return device;
}

std::string SaveProfile(SimDevice& device)
{
    std::ostringstream out;
    Bytes all = device.DeviceBytes();
    const Bytes& config = device.ConfigurationBytes();
    all.insert(all.end(), config.begin(), config.end());
    for (const Bytes& other : device.OtherConfigurations()) {
        all.insert(all.end(), other.begin(), other.end());
    }
    out << "{\n  \"descriptorsHex\": " << json::Quote(Hex(all)) << ",\n";
    out << "  \"speed\": \"" << (device.HighSpeedFlag() ? "high" : "full") << "\",\n";
    if (device.LosesControlsOnSuspend()) {
        out << "  \"losesControlsOnSuspend\": true,\n";
    }
    out << "  \"strings\": {";
    bool first = true;
    for (const auto& [index, text] : device.Strings()) {
        out << (first ? "\n" : ",\n") << "    \"" << static_cast<int>(index) << "\": " << json::Quote(ToUtf8(text));
        first = false;
    }
    out << (first ? "},\n" : "\n  },\n");
    out << "  \"controls\": [";
    first = true;
    for (const auto& c : device.Controls()) {
        out << (first ? "\n" : ",\n") << "    {\"unit\": " << static_cast<int>(c.Entity)
            << ", \"selector\": " << static_cast<int>(c.Selector) << ", \"channel\": ";
        if (c.Channel == 0xFF) {
            out << "\"*\"";
        } else {
            out << static_cast<int>(c.Channel);
        }
        out << ", \"cur\": " << c.Values.Cur << ", \"min\": " << c.Values.Min << ", \"max\": " << c.Values.Max
            << ", \"res\": " << c.Values.Res << ", \"size\": " << static_cast<int>(c.Values.Size) << "}";
        first = false;
    }
    out << (first ? "],\n" : "\n  ],\n");
    out << "  \"clockRates\": {";
    first = true;
    for (const auto& [clock, rates] : device.ClockRates()) {
        out << (first ? "\n" : ",\n") << "    \"" << static_cast<int>(clock) << "\": [";
        for (size_t i = 0; i < rates.size(); ++i) {
            out << (i ? ", " : "") << rates[i];
        }
        out << "]";
        first = false;
    }
    out << (first ? "},\n" : "\n  },\n");
    const std::vector<LoopbackConfig> loops = device.Loopbacks();
    if (!loops.empty()) {
        out << "  \"loopback\": [";
        for (size_t i = 0; i < loops.size(); ++i) {
            out << (i ? ",\n" : "\n") << "    {\"out\": " << static_cast<int>(loops[i].Out)
                << ", \"in\": " << static_cast<int>(loops[i].In) << ", \"delay\": " << loops[i].Delay << "}";
        }
        out << "\n  ],\n";
    }
    out << "  \"requests\": [";
    first = true;
    for (const RawRequest& r : device.RawRequests()) {
        out << (first ? "\n" : ",\n") << "    {\"setup\": " << json::Quote(Hex(Bytes(r.Setup, r.Setup + 8)));
        if (r.Stall) {
            out << ", \"stall\": true}";
        } else {
            out << ", \"reply\": " << json::Quote(Hex(r.Reply)) << "}";
        }
        first = false;
    }
    out << (first ? "]\n" : "\n  ]\n") << "}\n";
    return out.str();
}

}  // namespace sim
