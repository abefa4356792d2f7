// Settings-file import: an installation presets the driver's settings per device model in a text
// file under the system root. The file's profile for the device's hardware id is written into the
// "Settings" key when the file is newer than the last import.
#pragma once

#include "platform/nt/NtTypes.h"

constexpr ULONG SETTINGS_FILE_TAG = MakePoolTag("PINI");
constexpr ULONG SETTINGS_FILE_BUFFER_TAG = MakePoolTag(" INI");

constexpr ULONG SETTINGS_FILE_LINE_BUFFER_SIZE = 4098;
constexpr LONG SETTINGS_FILE_MAX_LINE = 4096;       // a longer line is split after 4,097 bytes
constexpr ULONG SETTINGS_FILE_HARDWARE_ID_BUFFER_SIZE = 1000;
constexpr ULONG SETTINGS_FILE_MAX_VALUE = 1024;     // bytes of one value
constexpr ULONG SETTINGS_FILE_MAX_TOKEN = 79;       // characters
constexpr ULONG SETTINGS_FILE_MAX_NAME = 127;
constexpr ULONG SETTINGS_FILE_MAX_SUBKEY = 79;
constexpr ULONG SETTINGS_FILE_MAX_PROFILE = 49;
constexpr ULONG SETTINGS_FILE_MAX_HARDWARE_ID = 99;
constexpr ULONG SETTINGS_FILE_MAX_PATH = 49;
constexpr ULONG SETTINGS_FILE_MAX_HEADER = 79;
constexpr ULONG SETTINGS_FILE_MAX_VERSION_TOKEN = 19;
constexpr ULONG SETTINGS_FILE_SUBKEY_SCAN = 128;    // a subkey's "]" must lie within these bytes
constexpr ULONG SETTINGS_FILE_READ_BLOCK = 4096;    // the file is read in blocks of this many bytes

// The reader. Its user allocates it (NonPagedPoolNx, SETTINGS_FILE_TAG, zeroed) and constructs it
// in place; it lives within the device object's start only. Its members run at PASSIVE_LEVEL (file
// and registry calls, paged buffers), but the three static parsers, which read only their
// arguments: any IRQL.
class SettingsFile {
public:
    explicit SettingsFile(PDEVICE_OBJECT FunctionalDeviceObject);
    ~SettingsFile();
    SettingsFile(const SettingsFile&) = delete;
    SettingsFile& operator=(const SettingsFile&) = delete;

    // Hardware id and path of the file; STATUS_INSUFFICIENT_RESOURCES or the property's status.
    NTSTATUS BuildPath();
    // The file's version, 0 when the file, the section or a version line is missing.
    ULONG ReadVersion();
    // Opens the file and finds the device's profile name; the file stays open on success.
    NTSTATUS OpenProfile();
    // Imports every section of the profile; always STATUS_SUCCESS.
    NTSTATUS ImportAll();

    // One value line "name = values" of `LineLength` bytes: Name receives up to
    // SETTINGS_FILE_MAX_NAME characters and a terminator, Data up to SETTINGS_FILE_MAX_VALUE bytes.
    static NTSTATUS ParseValues(const UCHAR* Line, LONG LineLength, PWSTR Name, PUCHAR Data, PULONG DataLength,
                                PULONG Type);
    // One line of the version section; its first value.
    static NTSTATUS ParseVersionLine(const UCHAR* Line, LONG LineLength, PULONG Version);
    // "0x"/"0X" hexadecimal, else decimal when the token begins with a digit, else 0; wraps at 32 bits.
    static ULONG ParseNumber(const UCHAR* Token, ULONG Length);

    const CHAR* HardwareId() const { return m_HardwareId; }
    const CHAR* ProfileName() const { return m_ProfileName; }
    PCWSTR Path() const { return m_Path; }

private:
    NTSTATUS Open();
    NTSTATUS Close();
    LONG ReadLine();
    void SkipToLineEnd();
    NTSTATUS FindSection(PCSTR Name);
    NTSTATUS ReadProfileName(PCSTR HardwareId);
    NTSTATUS FindNextProfileSection(PLONG PendingLength, PWSTR SubKey, PBOOLEAN HasSubKey);
    NTSTATUS ImportSection(PLONG PendingLength);
    bool LineBeginsWith(LONG LineLength, PCSTR Text, ULONG TextLength) const;
    // The byte at m_ReadOffset, from the block read last or a new block read at that offset.
    // *pbGot is false at the end of the file; a failed read returns its status.
    NTSTATUS ReadByte(PUCHAR pByte, bool* pbGot);

    HANDLE m_hFile;
    IO_STATUS_BLOCK m_IoStatus;
    PUCHAR m_pLineBuffer;
    CHAR m_ProfileName[SETTINGS_FILE_MAX_PROFILE + 1];
    CHAR m_HardwareId[SETTINGS_FILE_MAX_HARDWARE_ID + 1];
    LARGE_INTEGER m_ReadOffset;
    LONG m_ReadLimit;
    PDEVICE_OBJECT m_pDeviceObject;
    WCHAR m_Path[SETTINGS_FILE_MAX_PATH + 1];
    // The block read last: its offset in the file and the bytes it holds (0: none).
    LONGLONG m_BlockStart;
    ULONG m_BlockBytes;
    UCHAR m_Block[SETTINGS_FILE_READ_BLOCK];
};

// The device object's use of the file at start: build the path, read the file's version and the
// stored "IniVersion"; when the stored one is lower, import the device's profile and store the
// file's version. Failures of the import are not reported; STATUS_INSUFFICIENT_RESOURCES when
// the reader cannot be allocated, else STATUS_SUCCESS. PASSIVE_LEVEL only.
NTSTATUS ImportSettingsFile(PDEVICE_OBJECT FunctionalDeviceObject);
