// Where the families put their tables: C++ sources and headers of float and double arrays
// (hexadecimal literals, so that the compiler reads back exactly the generated bits) and, for the
// large libraries, raw little-endian float data that an assembler file pulls in with .incbin,
// which costs the build nothing to compile. Paths are relative to the output root and name the
// folder of the library that compiles the file (dsp/..., globaltopo/common/JQZ/...).
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace tablegen {

class SourceFile {
public:
    void MarkHeader() { m_Header = true; }
    // One line under the file's banner saying what the file holds.
    void Comment(const std::string& text);
    void Include(const std::string& header);
    // "declaration = { values };", e.g. Array("const float LimiterFirTable[LIMITER_FIR_TAPS]", v).
    void Array(const std::string& declaration, const std::vector<float>& values);
    void Array(const std::string& declaration, const std::vector<int32_t>& values);
    // An array of records of doubles, one braced row per record.
    void Rows(const std::string& declaration, const std::vector<std::vector<double>>& rows);
    std::string Text() const;

private:
    bool m_Header = false;
    std::string m_Head;
    std::string m_Body;
};

class TableWriter {
public:
    explicit TableWriter(std::string root) : m_Root(std::move(root)) {}

    // A C++ source or header (by its extension) under the root; created on first use.
    SourceFile& Source(const std::string& path);
    // stem.bin with the floats and stem.S exporting them as `symbol` (read-only data, 64-byte
    // aligned), for the C++ side to declare as extern "C" const float symbol[].
    void Binary(const std::string& stem, const std::string& symbol, const std::vector<float>& values);

    // Writes every file under the root (a file whose content is unchanged keeps its time stamp);
    // false with a message when a file cannot be written or when the files differ from the
    // expected list, which the build keeps beside the generator.
    bool Commit(const std::set<std::string>& expected, std::string* error) const;

private:
    std::string m_Root;
    std::map<std::string, SourceFile> m_Sources;
    std::map<std::string, std::string> m_Files;  // path -> bytes, for binary data and assembly
};

}  // namespace tablegen
