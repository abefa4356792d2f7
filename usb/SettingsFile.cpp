#include "usb/SettingsFile.h"

#include <cstring>
#include <new>

#include "adapter/SettingsStore.h"
#include "platform/nt/Irql.h"
#include "platform/nt/Pool.h"
#include "platform/nt/RtlString.h"
#include "platform/portcls/PortCls.h"
#include "platform/registry/ZwFile.h"

namespace {

constexpr UCHAR CHAR_CR = '\r';
constexpr UCHAR CHAR_LF = '\n';
constexpr ULONG SETTINGS_FILE_READ_LIMIT = 0x7FFFFFFF;

const WCHAR SETTINGS_FILE_DEFAULT_NAME[] = u"MORVASTELKZ340.INI";
const WCHAR SETTINGS_FILE_ROOT[] = u"\\SystemRoot\\";
constexpr ULONG SETTINGS_FILE_MODULE_NAME_BYTES = 100;

// A line is read with bounds: past its collected bytes it reads as the CR that ends every line,
// so that a line split at the length limit (which has no CR) is parsed no further than its bytes.
class LineCursor {
public:
    LineCursor(const UCHAR* line, LONG length) : m_pLine(line), m_Length(length < 0 ? 0 : length) {}
    UCHAR Peek() const { return m_Position < m_Length ? m_pLine[m_Position] : CHAR_CR; }
    void Next()
    {
        if (m_Position < m_Length) {
            ++m_Position;
        }
    }
    void SkipBlanks()
    {
        while (Peek() == ' ') {
            Next();
        }
    }
    void SkipBlanksAndTabs()
    {
        while (Peek() == ' ' || Peek() == '\t') {
            Next();
        }
    }
    // The leading part of a value line: the name (counted, and copied when `name` is given),
    // then past the "=" and the blanks and tabs after it. Fails on an empty or comment line and
    // on a name longer than `maxName`.
    NTSTATUS TakeName(ULONG maxName, PWSTR name)
    {
        SkipBlanks();
        if (Peek() == CHAR_CR || Peek() == ';') {
            return STATUS_UNSUCCESSFUL;
        }
        ULONG nameLength = 0;
        for (UCHAR c = Peek(); c != ' ' && c != '\t' && c != '=' && c != CHAR_CR; c = Peek()) {
            if (nameLength >= maxName) {
                return STATUS_UNSUCCESSFUL;
            }
            if (name != nullptr) {
                name[nameLength] = static_cast<WCHAR>(c);
            }
            ++nameLength;
            Next();
        }
        if (name != nullptr) {
            name[nameLength] = 0;
        }
        while (Peek() != '=' && Peek() != CHAR_CR) {
            Next();
        }
        if (Peek() == '=') {
            Next();
        }
        SkipBlanksAndTabs();
        return STATUS_SUCCESS;
    }
    // One token up to a blank, tab, comma, CR or ";"; fails when it is longer than `maxToken`.
    NTSTATUS TakeToken(ULONG maxToken, PUCHAR token, PULONG tokenLength)
    {
        ULONG length = 0;
        for (UCHAR c = Peek(); c != ' ' && c != '\t' && c != ',' && c != CHAR_CR && c != ';'; c = Peek()) {
            if (length >= maxToken) {
                return STATUS_UNSUCCESSFUL;
            }
            token[length++] = c;
            Next();
        }
        *tokenLength = length;
        return STATUS_SUCCESS;
    }
    bool AtValuesEnd() const { return Peek() == CHAR_CR || Peek() == ';'; }

private:
    const UCHAR* m_pLine;
    LONG m_Length;
    LONG m_Position = 0;
};

bool IsByteToken(const UCHAR* token, ULONG length)
{
    return length == 4 && token[0] == '0' && (token[1] == 'x' || token[1] == 'X');
}

bool IsDigit(UCHAR c) { return c >= '0' && c <= '9'; }

// "[" + name + terminator character, cut to SETTINGS_FILE_MAX_HEADER characters.
ULONG BuildHeader(PCHAR header, PCSTR name, CHAR last)
{
    ULONG length = 0;
    header[length++] = '[';
    for (; *name != 0 && length < SETTINGS_FILE_MAX_HEADER; ++name) {
        header[length++] = *name;
    }
    if (length < SETTINGS_FILE_MAX_HEADER) {
        header[length++] = last;
    }
    header[length] = 0;
    return length;
}

}  // namespace

SettingsFile::SettingsFile(PDEVICE_OBJECT FunctionalDeviceObject)
    : m_hFile(nullptr),
      m_IoStatus{},
      m_pLineBuffer(nullptr),
      m_ProfileName{},
      m_HardwareId{},
      m_ReadOffset{},
      m_ReadLimit(0),
      m_pDeviceObject(FunctionalDeviceObject),
      m_Path{},
      m_BlockStart(0),
      m_BlockBytes(0),
      m_Block{}
{
}

SettingsFile::~SettingsFile()
{
    PAGED_CODE();
    Close();
    if (m_pLineBuffer != nullptr) {
        ExFreePoolWithTag(m_pLineBuffer, SETTINGS_FILE_BUFFER_TAG);
        m_pLineBuffer = nullptr;
    }
}

NTSTATUS SettingsFile::BuildPath()
{
    PAGED_CODE();
    auto* hardwareIds = static_cast<PWCHAR>(
        ExAllocatePoolWithTag(PagedPool, SETTINGS_FILE_HARDWARE_ID_BUFFER_SIZE, SETTINGS_FILE_BUFFER_TAG));
    if (hardwareIds == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    if (m_pLineBuffer == nullptr) {
        m_pLineBuffer = static_cast<PUCHAR>(
            ExAllocatePoolWithTag(PagedPool, SETTINGS_FILE_LINE_BUFFER_SIZE, SETTINGS_FILE_BUFFER_TAG));
        if (m_pLineBuffer == nullptr) {
            ExFreePoolWithTag(hardwareIds, SETTINGS_FILE_BUFFER_TAG);
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        std::memset(m_pLineBuffer, 0, SETTINGS_FILE_LINE_BUFFER_SIZE);
    }
    std::memset(hardwareIds, 0, SETTINGS_FILE_HARDWARE_ID_BUFFER_SIZE);
    ULONG resultLength = 0;
    NTSTATUS status = PcGetDeviceProperty(m_pDeviceObject, DevicePropertyHardwareID,
                                          SETTINGS_FILE_HARDWARE_ID_BUFFER_SIZE, hardwareIds, &resultLength);
    if (!NT_SUCCESS(status)) {
        ExFreePoolWithTag(hardwareIds, SETTINGS_FILE_BUFFER_TAG);
        return status;
    }
    // Bounded by the member, whatever the property holds.
    ULONG idLength = 0;
    for (; idLength < SETTINGS_FILE_MAX_HARDWARE_ID && hardwareIds[idLength] != 0; ++idLength) {
        const WCHAR c = RtlUpcaseUnicodeChar(hardwareIds[idLength]);
        m_HardwareId[idLength] = c < 0x80 ? static_cast<CHAR>(c) : '?';
    }
    m_HardwareId[idLength] = 0;
    ExFreePoolWithTag(hardwareIds, SETTINGS_FILE_BUFFER_TAG);

    // The stored name is read into a zeroed buffer and terminated by force, so that a name of
    // 100 bytes or one stored without a terminator neither runs past the buffer nor mixes with
    // the default name.
    WCHAR moduleName[SETTINGS_FILE_MODULE_NAME_BYTES / sizeof(WCHAR)] = {};
    PCWSTR fileName = SETTINGS_FILE_DEFAULT_NAME;
    if (NT_SUCCESS(AccessSettingsBinary(m_pDeviceObject, SETTINGS_READ, moduleName, sizeof(moduleName),
                                        u"ModuleName"))) {
        moduleName[sizeof(moduleName) / sizeof(WCHAR) - 1] = 0;
        if (moduleName[0] != 0) {
            fileName = moduleName;  // an empty name would make the path the folder itself
        }
    }
    // A longer path is cut to what the member holds.
    RtlStringCbPrintfW(m_Path, sizeof(m_Path), u"%s%s", SETTINGS_FILE_ROOT, fileName);
    return STATUS_SUCCESS;
}

NTSTATUS SettingsFile::Open()
{
    PAGED_CODE();
    if (m_pLineBuffer == nullptr) {
        return STATUS_UNSUCCESSFUL;
    }
    Close();
    UNICODE_STRING path;
    RtlInitUnicodeString(&path, m_Path);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &path, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    m_BlockBytes = 0;
    NTSTATUS status = ZwCreateFile(&m_hFile, GENERIC_READ, &attributes, &m_IoStatus, nullptr, FILE_ATTRIBUTE_NORMAL,
                                   FILE_SHARE_READ, FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
    if (NT_SUCCESS(status)) {
        m_ReadOffset.QuadPart = 0;
        m_ReadLimit = SETTINGS_FILE_READ_LIMIT;
        // A file saved with a UTF-8 byte-order mark: the mark is not part of the first line.
        UCHAR mark[3] = {};
        if (NT_SUCCESS(ZwReadFile(m_hFile, nullptr, nullptr, nullptr, &m_IoStatus, mark, sizeof(mark), &m_ReadOffset,
                                  nullptr)) &&
            m_IoStatus.Information == sizeof(mark) && mark[0] == 0xEF && mark[1] == 0xBB && mark[2] == 0xBF) {
            m_ReadOffset.QuadPart = sizeof(mark);
        }
    } else {
        m_hFile = nullptr;
    }
    return status;
}

NTSTATUS SettingsFile::Close()
{
    PAGED_CODE();
    if (m_hFile == nullptr) {
        return STATUS_SUCCESS;
    }
    NTSTATUS status = ZwClose(m_hFile);
    if (NT_SUCCESS(status)) {
        m_hFile = nullptr;
    }
    return status;
}

LONG SettingsFile::ReadLine()
{
    PAGED_CODE();
    if (m_hFile == nullptr || m_pLineBuffer == nullptr) {
        return -1;
    }
    LONG count = 0;
    bool inComment = false;
    for (;;) {
        PUCHAR place = m_pLineBuffer + count;
        bool bGot = false;
        NTSTATUS status = ReadByte(place, &bGot);
        if (!NT_SUCCESS(status) || !bGot || m_ReadOffset.QuadPart >= m_ReadLimit) {
            if (count == 0) {
                return -1;
            }
            place[0] = CHAR_CR;
            place[1] = CHAR_LF;
            return count;
        }
        if (*place == CHAR_CR) {
            // The byte after a CR is skipped unseen: lines end with CR LF.
            m_ReadOffset.QuadPart += 2;
            place[1] = CHAR_LF;
            return count;
        }
        inComment = inComment || *place == ';';
        m_ReadOffset.QuadPart += 1;
        if (++count > SETTINGS_FILE_MAX_LINE) {
            // A long line is split, but a comment runs to the end of its line: what follows it
            // must never be read as a line of its own (it could open a section).
            if (inComment) {
                SkipToLineEnd();
            }
            return count;
        }
    }
}

void SettingsFile::SkipToLineEnd()
{
    PAGED_CODE();
    for (;;) {
        UCHAR byte = 0;
        bool bGot = false;
        NTSTATUS status = ReadByte(&byte, &bGot);
        if (!NT_SUCCESS(status) || !bGot || m_ReadOffset.QuadPart >= m_ReadLimit) {
            return;
        }
        m_ReadOffset.QuadPart += byte == CHAR_CR ? 2 : 1;
        if (byte == CHAR_CR) {
            return;
        }
    }
}

NTSTATUS SettingsFile::ReadByte(PUCHAR pByte, bool* pbGot)
{
    PAGED_CODE();
    *pbGot = false;
    const LONGLONG offset = m_ReadOffset.QuadPart;
    if (m_BlockBytes == 0 || offset < m_BlockStart || offset >= m_BlockStart + m_BlockBytes) {
        m_BlockBytes = 0;
        LARGE_INTEGER at = m_ReadOffset;
        const NTSTATUS status =
            ZwReadFile(m_hFile, nullptr, nullptr, nullptr, &m_IoStatus, m_Block, sizeof(m_Block), &at, nullptr);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        if (m_IoStatus.Information == 0) {
            return STATUS_SUCCESS;
        }
        m_BlockStart = offset;
        m_BlockBytes = static_cast<ULONG>(m_IoStatus.Information);
    }
    *pByte = m_Block[offset - m_BlockStart];
    *pbGot = true;
    return STATUS_SUCCESS;
}

bool SettingsFile::LineBeginsWith(LONG LineLength, PCSTR Text, ULONG TextLength) const
{
    return LineLength >= static_cast<LONG>(TextLength) && std::memcmp(m_pLineBuffer, Text, TextLength) == 0;
}

NTSTATUS SettingsFile::FindSection(PCSTR Name)
{
    PAGED_CODE();
    if (m_hFile == nullptr) {
        return STATUS_UNSUCCESSFUL;
    }
    CHAR header[SETTINGS_FILE_MAX_HEADER + 1];
    const ULONG headerLength = BuildHeader(header, Name, ']');
    for (;;) {
        const LONG length = ReadLine();
        if (length < 0) {
            return STATUS_UNSUCCESSFUL;
        }
        if (LineBeginsWith(length, header, headerLength)) {
            return STATUS_SUCCESS;
        }
    }
}

NTSTATUS SettingsFile::ReadProfileName(PCSTR HardwareId)
{
    PAGED_CODE();
    NTSTATUS status = FindSection("TARVEL");
    if (!NT_SUCCESS(status)) {
        return status;
    }
    const ULONG idLength = static_cast<ULONG>(std::strlen(HardwareId));
    for (;;) {
        const LONG length = ReadLine();
        if (length < 0 || (length > 0 && m_pLineBuffer[0] == '[')) {
            return STATUS_UNSUCCESSFUL;
        }
        if (length < static_cast<LONG>(idLength)) {
            continue;
        }
        bool same = true;
        for (ULONG i = 0; i < idLength && same; ++i) {
            same = RtlUpcaseUnicodeChar(m_pLineBuffer[i]) == RtlUpcaseUnicodeChar(static_cast<UCHAR>(HardwareId[i]));
        }
        // The whole id, never the start of a longer one listed before it.
        const UCHAR after = length > static_cast<LONG>(idLength) ? m_pLineBuffer[idLength] : CHAR_CR;
        if (!same || (after != ' ' && after != '\t' && after != '=' && after != ';' && after != CHAR_CR)) {
            continue;
        }
        LineCursor cursor(m_pLineBuffer + idLength, length - static_cast<LONG>(idLength));
        cursor.SkipBlanksAndTabs();
        cursor.Next();  // the "="
        cursor.SkipBlanksAndTabs();
        ULONG nameLength = 0;
        for (UCHAR c = cursor.Peek(); c != ' ' && c != '\t' && c != CHAR_CR && c != ';'; c = cursor.Peek()) {
            if (nameLength >= SETTINGS_FILE_MAX_PROFILE) {
                return STATUS_UNSUCCESSFUL;  // a cut name would select another profile
            }
            m_ProfileName[nameLength++] = static_cast<CHAR>(c);
            cursor.Next();
        }
        m_ProfileName[nameLength] = 0;
        return nameLength != 0 ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
    }
}

ULONG SettingsFile::ReadVersion()
{
    PAGED_CODE();
    ULONG version = 0;
    if (!NT_SUCCESS(Open())) {
        return 0;
    }
    if (NT_SUCCESS(FindSection("VERSION"))) {
        for (;;) {
            const LONG length = ReadLine();
            if (length < 0 || (length > 0 && m_pLineBuffer[0] == '[')) {
                break;
            }
            ULONG lineVersion;
            if (NT_SUCCESS(ParseVersionLine(m_pLineBuffer, length, &lineVersion))) {
                version = lineVersion;
                break;
            }
        }
    }
    Close();
    return version;
}

NTSTATUS SettingsFile::OpenProfile()
{
    PAGED_CODE();
    NTSTATUS status = Open();
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = ReadProfileName(m_HardwareId);
    if (!NT_SUCCESS(status)) {
        Close();
    }
    return status;
}

NTSTATUS SettingsFile::ImportAll()
{
    PAGED_CODE();
    LONG pending = -1;
    while (NT_SUCCESS(ImportSection(&pending))) {
    }
    return STATUS_SUCCESS;
}

NTSTATUS SettingsFile::FindNextProfileSection(PLONG PendingLength, PWSTR SubKey, PBOOLEAN HasSubKey)
{
    PAGED_CODE();
    CHAR plainHeader[SETTINGS_FILE_MAX_HEADER + 1];
    CHAR subKeyHeader[SETTINGS_FILE_MAX_HEADER + 1];
    const ULONG plainLength = BuildHeader(plainHeader, m_ProfileName, ']');
    const ULONG subKeyLength = BuildHeader(subKeyHeader, m_ProfileName, ':');
    LONG length = *PendingLength >= 0 ? *PendingLength : ReadLine();
    *PendingLength = -1;
    for (;; length = ReadLine()) {
        if (length < 0) {
            return STATUS_UNSUCCESSFUL;
        }
        if (LineBeginsWith(length, plainHeader, plainLength)) {
            *HasSubKey = FALSE;
            SubKey[0] = 0;
            return STATUS_SUCCESS;
        }
        if (!LineBeginsWith(length, subKeyHeader, subKeyLength)) {
            continue;
        }
        // The subkey runs from after the first ":" to the first "]" within the scanned bytes; a
        // header without that "]", with a longer subkey or with a "\" in it is not taken as a section.
        const LONG scan = length < static_cast<LONG>(SETTINGS_FILE_SUBKEY_SCAN) ? length
                                                                                 : SETTINGS_FILE_SUBKEY_SCAN;
        LONG colon = 0;
        while (m_pLineBuffer[colon] != ':') {
            ++colon;  // the header matched, so a ":" lies within it
        }
        LONG close = colon + 1;
        while (close < scan && m_pLineBuffer[close] != ']') {
            ++close;
        }
        const LONG nameLength = close - colon - 1;
        if (close >= scan || nameLength > static_cast<LONG>(SETTINGS_FILE_MAX_SUBKEY)) {
            continue;
        }
        // A subkey is one key below "Settings"; a "\" would reach further down.
        bool nested = false;
        for (LONG i = colon + 1; i < close && !nested; ++i) {
            nested = m_pLineBuffer[i] == '\\';
        }
        if (nested) {
            continue;
        }
        for (LONG i = 0; i < nameLength; ++i) {
            SubKey[i] = static_cast<WCHAR>(m_pLineBuffer[colon + 1 + i]);
        }
        SubKey[nameLength] = 0;
        *HasSubKey = nameLength != 0 ? TRUE : FALSE;
        return STATUS_SUCCESS;
    }
}

NTSTATUS SettingsFile::ImportSection(PLONG PendingLength)
{
    PAGED_CODE();
    WCHAR subKey[SETTINGS_FILE_MAX_SUBKEY + 1];
    BOOLEAN hasSubKey = FALSE;
    if (!NT_SUCCESS(FindNextProfileSection(PendingLength, subKey, &hasSubKey))) {
        return STATUS_UNSUCCESSFUL;
    }
    WCHAR name[SETTINGS_FILE_MAX_NAME + 1];
    UCHAR data[SETTINGS_FILE_MAX_VALUE];
    for (;;) {
        LONG length = ReadLine();
        if (length < 0) {
            return STATUS_SUCCESS;
        }
        if (length > 0 && m_pLineBuffer[0] == '[') {
            *PendingLength = length;
            return STATUS_SUCCESS;
        }
        ULONG dataLength = 0;
        ULONG type = REG_BINARY;
        if (!NT_SUCCESS(ParseValues(m_pLineBuffer, length, name, data, &dataLength, &type))) {
            // A line that does not parse ends the section; the line after it is looked at next.
            *PendingLength = ReadLine();
            return STATUS_SUCCESS;
        }
        // A failed write skips only this value.
        AccessSettingsValue(m_pDeviceObject, SETTINGS_WRITE, hasSubKey ? subKey : nullptr, name, type, data,
                            dataLength);
    }
}

NTSTATUS SettingsFile::ParseValues(const UCHAR* Line, LONG LineLength, PWSTR Name, PUCHAR Data, PULONG DataLength,
                                   PULONG Type)
{
    LineCursor cursor(Line, LineLength);
    if (!NT_SUCCESS(cursor.TakeName(SETTINGS_FILE_MAX_NAME, Name))) {
        return STATUS_UNSUCCESSFUL;
    }
    ULONG length = 0;
    bool lastIsText = false;
    for (;;) {
        UCHAR token[SETTINGS_FILE_MAX_TOKEN] = {};
        ULONG tokenLength = 0;
        if (!NT_SUCCESS(cursor.TakeToken(SETTINGS_FILE_MAX_TOKEN, token, &tokenLength))) {
            return STATUS_UNSUCCESSFUL;
        }
        if (IsByteToken(token, tokenLength)) {
            if (length + 1 > SETTINGS_FILE_MAX_VALUE) {
                return STATUS_UNSUCCESSFUL;
            }
            Data[length++] = static_cast<UCHAR>(ParseNumber(token, tokenLength));
            lastIsText = false;
        } else if (tokenLength != 0 && IsDigit(token[0])) {
            if (length + 4 > SETTINGS_FILE_MAX_VALUE) {
                return STATUS_UNSUCCESSFUL;
            }
            const ULONG number = ParseNumber(token, tokenLength);
            for (int i = 0; i < 4; ++i) {
                Data[length++] = static_cast<UCHAR>(number >> (8 * i));  // little-endian
            }
            lastIsText = false;
        } else {
            if (length + 2 * tokenLength > SETTINGS_FILE_MAX_VALUE) {
                return STATUS_UNSUCCESSFUL;
            }
            for (ULONG i = 0; i < tokenLength; ++i) {
                Data[length++] = token[i];  // one wide character per byte, unterminated
                Data[length++] = 0;
            }
            lastIsText = true;
        }
        if (cursor.AtValuesEnd()) {
            break;
        }
        cursor.Next();  // the separator
    }
    *DataLength = length;
    // Values that end in blanks or a comment end with an empty text token: stored as text.
    *Type = lastIsText ? REG_SZ : REG_BINARY;
    return STATUS_SUCCESS;
}

NTSTATUS SettingsFile::ParseVersionLine(const UCHAR* Line, LONG LineLength, PULONG Version)
{
    LineCursor cursor(Line, LineLength);
    if (!NT_SUCCESS(cursor.TakeName(SETTINGS_FILE_MAX_VERSION_TOKEN, nullptr))) {
        return STATUS_UNSUCCESSFUL;
    }
    UCHAR token[SETTINGS_FILE_MAX_VERSION_TOKEN] = {};
    ULONG tokenLength = 0;
    if (!NT_SUCCESS(cursor.TakeToken(SETTINGS_FILE_MAX_VERSION_TOKEN, token, &tokenLength))) {
        return STATUS_UNSUCCESSFUL;
    }
    const ULONG value = ParseNumber(token, tokenLength);
    *Version = IsByteToken(token, tokenLength) ? static_cast<UCHAR>(value) : value;
    return STATUS_SUCCESS;
}

ULONG SettingsFile::ParseNumber(const UCHAR* Token, ULONG Length)
{
    ULONG value = 0;
    if (Length >= 2 && Token[0] == '0' && (Token[1] == 'x' || Token[1] == 'X')) {
        for (ULONG i = 2; i < Length; ++i) {
            const UCHAR c = Token[i];
            // Anything but a hex digit counts as its code minus 55 (as 'A'-'F' would); it wraps.
            const int hex = platform::HexDigitValue(c);
            const ULONG digit = hex >= 0 ? static_cast<ULONG>(hex) : static_cast<ULONG>(c) - 55u;
            value = value * 16u + digit;
        }
        return value;
    }
    if (Length >= 1 && IsDigit(Token[0])) {
        for (ULONG i = 0; i < Length; ++i) {
            value = value * 10u + (static_cast<ULONG>(Token[i]) - '0');
        }
    }
    return value;
}

NTSTATUS ImportSettingsFile(PDEVICE_OBJECT FunctionalDeviceObject)
{
    PAGED_CODE();
    void* memory = ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(SettingsFile), SETTINGS_FILE_TAG);
    if (memory == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    std::memset(memory, 0, sizeof(SettingsFile));
    auto* file = new (memory) SettingsFile(FunctionalDeviceObject);
    if (NT_SUCCESS(file->BuildPath())) {
        ULONG fileVersion = file->ReadVersion();
        ULONG storedVersion = 0;
        AccessSettingsBinary(FunctionalDeviceObject, SETTINGS_READ, &storedVersion, sizeof(storedVersion),
                             u"IniVersion");
        if (storedVersion < fileVersion && NT_SUCCESS(file->OpenProfile()) && NT_SUCCESS(file->ImportAll())) {
            AccessSettingsBinary(FunctionalDeviceObject, SETTINGS_WRITE, &fileVersion, sizeof(fileVersion),
                                 u"IniVersion");
        }
    }
    file->~SettingsFile();
    ExFreePoolWithTag(memory, SETTINGS_FILE_TAG);
    return STATUS_SUCCESS;
}
