// Read-only files below "\SystemRoot\": the host folder a test or the host program chooses.
#include "platform/registry/ZwFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <mutex>
#include <string>
#include <system_error>

#include "platform/nt/Irql.h"
#include "platform/registry/RegistryHost.h"
#include "platform/registry/RegistryInternal.h"

namespace platform {
namespace {

std::mutex g_rootLock;
std::filesystem::path g_systemRoot;
std::atomic<size_t> g_openFiles{0};

constexpr std::u16string_view kSystemRootPrefix = u"\\SystemRoot\\";

struct FileObjectData {
    static constexpr ULONG Tag = MakePoolTag("ZwFl");
    static constexpr const char* TypeName = "HostFile";

    // Takes over the host descriptor.
    FileObjectData(int fd, ACCESS_MASK access) : Fd(fd), Access(access) { ++g_openFiles; }
    ~FileObjectData()
    {
        ::close(Fd);
        --g_openFiles;
    }
    FileObjectData(const FileObjectData&) = delete;
    FileObjectData& operator=(const FileObjectData&) = delete;

    int Fd;
    ACCESS_MASK Access;
    std::atomic<uint64_t> Position{0};
};

// The status the real call gives for a host error.
NTSTATUS StatusOfErrno(int error)
{
    switch (error) {
    case ENOENT:
        return STATUS_OBJECT_NAME_NOT_FOUND;
    case ENOTDIR:
        return STATUS_OBJECT_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EROFS:
        return STATUS_ACCESS_DENIED;
    case EISDIR:
        return STATUS_FILE_IS_A_DIRECTORY;
    case ENOMEM:
        return STATUS_INSUFFICIENT_RESOURCES;
    default:
        return STATUS_UNEXPECTED_IO_ERROR;
    }
}

// Opens a regular file for reading. Anything else (a folder, a FIFO, a device, a socket) is
// refused before it is opened, and checked again on the descriptor so that an entry swapped in
// between is refused too; opening without blocking keeps a FIFO from stalling the caller.
NTSTATUS OpenRegularFile(const std::filesystem::path& file, int* fd)
{
    struct stat info {};
    if (::stat(file.c_str(), &info) != 0) {
        return StatusOfErrno(errno);
    }
    if (S_ISDIR(info.st_mode)) {
        return STATUS_FILE_IS_A_DIRECTORY;
    }
    if (!S_ISREG(info.st_mode)) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    const int opened = ::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (opened < 0) {
        return StatusOfErrno(errno);
    }
    if (::fstat(opened, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(opened);
        return S_ISDIR(info.st_mode) ? STATUS_FILE_IS_A_DIRECTORY : STATUS_INVALID_DEVICE_REQUEST;
    }
    *fd = opened;
    return STATUS_SUCCESS;
}

std::string ToHostName(std::u16string_view name)
{
    std::string out;
    for (char16_t c : name) {
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (c >> 6)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xE0 | (c >> 12)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return out;
}

std::u16string FromHostName(const std::string& name)
{
    std::u16string out;
    for (unsigned char c : name) {
        out.push_back(static_cast<char16_t>(c < 0x80 ? c : u'?'));
    }
    return out;
}

// The entry of `folder` named `name` without regard to case (an exact match first).
bool FindEntry(const std::filesystem::path& folder, std::u16string_view name, std::filesystem::path* found)
{
    std::error_code ec;
    std::filesystem::path exact = folder / ToHostName(name);
    if (std::filesystem::exists(exact, ec)) {
        *found = exact;
        return true;
    }
    for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
        if (reg::EqualNoCase(FromHostName(entry.path().filename().string()), name)) {
            *found = entry.path();
            return true;
        }
    }
    return false;
}

NTSTATUS ResolveFile(POBJECT_ATTRIBUTES oa, std::filesystem::path* file)
{
    if (oa == nullptr || oa->RootDirectory != nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    std::u16string_view name;
    NTSTATUS status = reg::ViewOf(oa->ObjectName, &name);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    std::filesystem::path root = GetSystemRoot();
    if (root.empty() || !reg::StartsWithNoCase(name, kSystemRootPrefix)) {
        return STATUS_OBJECT_PATH_NOT_FOUND;
    }
    name.remove_prefix(kSystemRootPrefix.size());
    std::filesystem::path current = root;
    while (true) {
        size_t end = name.find(u'\\');
        std::u16string_view part = name.substr(0, end);
        const bool last = end == std::u16string_view::npos;
        if (part.empty() || part == u"." || part == u"..") {
            return STATUS_OBJECT_NAME_INVALID;
        }
        std::filesystem::path next;
        if (!FindEntry(current, part, &next)) {
            return last ? STATUS_OBJECT_NAME_NOT_FOUND : STATUS_OBJECT_PATH_NOT_FOUND;
        }
        current = next;
        if (last) {
            break;
        }
        name.remove_prefix(end + 1);
    }
    *file = current;
    return STATUS_SUCCESS;
}

ACCESS_MASK MapFileAccess(ACCESS_MASK access)
{
    ACCESS_MASK granted = access & 0x00FFFFFFu;
    if ((access & (GENERIC_READ | GENERIC_ALL)) != 0) granted |= FILE_GENERIC_READ;
    if ((access & (GENERIC_WRITE | GENERIC_ALL)) != 0) granted |= FILE_WRITE_DATA;
    return granted;
}

void SetIoStatus(PIO_STATUS_BLOCK iosb, NTSTATUS status, ULONG_PTR information)
{
    if (iosb != nullptr) {
        iosb->Status = status;
        iosb->Information = information;
    }
}

}  // namespace

void SetSystemRoot(const std::filesystem::path& folder)
{
    std::lock_guard<std::mutex> guard(g_rootLock);
    g_systemRoot = folder;
}

std::filesystem::path GetSystemRoot()
{
    std::lock_guard<std::mutex> guard(g_rootLock);
    return g_systemRoot;
}

size_t FileOpenCount() { return g_openFiles.load(); }

}  // namespace platform

using platform::FileObjectData;

NTSTATUS ZwCreateFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                      PIO_STATUS_BLOCK IoStatusBlock, PLARGE_INTEGER AllocationSize, ULONG FileAttributes,
                      ULONG ShareAccess, ULONG CreateDisposition, ULONG CreateOptions, PVOID EaBuffer, ULONG EaLength)
{
    UNREFERENCED_PARAMETER(AllocationSize);
    UNREFERENCED_PARAMETER(FileAttributes);
    UNREFERENCED_PARAMETER(ShareAccess);
    UNREFERENCED_PARAMETER(CreateOptions);
    UNREFERENCED_PARAMETER(EaBuffer);
    UNREFERENCED_PARAMETER(EaLength);
    platform::IrqlCheckAtMost(PASSIVE_LEVEL, "ZwCreateFile");
    if (FileHandle == nullptr || IoStatusBlock == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *FileHandle = nullptr;
    const ACCESS_MASK access = platform::MapFileAccess(DesiredAccess);
    NTSTATUS status = STATUS_SUCCESS;
    std::filesystem::path file;
    if ((access & (FILE_WRITE_DATA | FILE_APPEND_DATA | DELETE)) != 0 ||
        (CreateDisposition != FILE_OPEN && CreateDisposition != FILE_OPEN_IF)) {
        status = STATUS_ACCESS_DENIED;  // the system root is read-only here
    } else {
        status = platform::ResolveFile(ObjectAttributes, &file);
    }
    int fd = -1;
    if (NT_SUCCESS(status)) {
        status = platform::OpenRegularFile(file, &fd);
    }
    if (NT_SUCCESS(status)) {
        status = platform::reg::CreateHandleObject<FileObjectData>(FileHandle, fd, access);
        if (!NT_SUCCESS(status)) {
            ::close(fd);
        }
    }
    platform::SetIoStatus(IoStatusBlock, status, NT_SUCCESS(status) ? FILE_OPENED : 0);
    return status;
}

NTSTATUS ZwOpenFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                    PIO_STATUS_BLOCK IoStatusBlock, ULONG ShareAccess, ULONG OpenOptions)
{
    return ZwCreateFile(FileHandle, DesiredAccess, ObjectAttributes, IoStatusBlock, nullptr, 0, ShareAccess,
                        FILE_OPEN, OpenOptions, nullptr, 0);
}

NTSTATUS ZwReadFile(HANDLE FileHandle, HANDLE Event, PVOID ApcRoutine, PVOID ApcContext, PIO_STATUS_BLOCK IoStatusBlock,
                    PVOID Buffer, ULONG Length, PLARGE_INTEGER ByteOffset, PULONG Key)
{
    UNREFERENCED_PARAMETER(Key);
    platform::IrqlCheckAtMost(PASSIVE_LEVEL, "ZwReadFile");
    if (IoStatusBlock == nullptr || (Buffer == nullptr && Length != 0) || Event != nullptr || ApcRoutine != nullptr ||
        ApcContext != nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    FileObjectData* file;
    NTSTATUS status = platform::reg::LookupHandleObject(FileHandle, &file);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if ((file->Access & FILE_READ_DATA) == 0) {
        return STATUS_ACCESS_DENIED;
    }
    if (ByteOffset != nullptr && ByteOffset->QuadPart < 0) {
        return STATUS_INVALID_PARAMETER;
    }
    const uint64_t offset = ByteOffset != nullptr ? static_cast<uint64_t>(ByteOffset->QuadPart) : file->Position.load();
    // Only the bytes asked for are read, where the file stands now.
    uint64_t count = 0;
    while (count < Length) {
        const ssize_t n = ::pread(file->Fd, static_cast<uint8_t*>(Buffer) + count, Length - count,
                                  static_cast<off_t>(offset + count));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            status = platform::StatusOfErrno(errno);
            platform::SetIoStatus(IoStatusBlock, status, 0);
            return status;
        }
        if (n == 0) {
            break;
        }
        count += static_cast<uint64_t>(n);
    }
    bool atEnd = count == 0;
    if (Length == 0) {
        struct stat host {};
        atEnd = ::fstat(file->Fd, &host) != 0 || offset >= static_cast<uint64_t>(host.st_size);
    }
    if (atEnd) {
        platform::SetIoStatus(IoStatusBlock, STATUS_END_OF_FILE, 0);
        return STATUS_END_OF_FILE;
    }
    file->Position = offset + count;
    platform::SetIoStatus(IoStatusBlock, STATUS_SUCCESS, count);
    return STATUS_SUCCESS;
}

NTSTATUS ZwQueryInformationFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock, PVOID FileInformation,
                                ULONG Length, FILE_INFORMATION_CLASS FileInformationClass)
{
    platform::IrqlCheckAtMost(PASSIVE_LEVEL, "ZwQueryInformationFile");
    if (IoStatusBlock == nullptr || FileInformation == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    FileObjectData* file;
    NTSTATUS status = platform::reg::LookupHandleObject(FileHandle, &file);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (FileInformationClass == FileStandardInformation) {
        if (Length < sizeof(FILE_STANDARD_INFORMATION)) {
            return STATUS_INFO_LENGTH_MISMATCH;
        }
        struct stat host {};
        if (::fstat(file->Fd, &host) != 0) {
            return platform::StatusOfErrno(errno);
        }
        const uint64_t size = static_cast<uint64_t>(host.st_size);
        FILE_STANDARD_INFORMATION info{};
        info.EndOfFile.QuadPart = static_cast<LONGLONG>(size);
        info.AllocationSize.QuadPart = static_cast<LONGLONG>((size + 4095) & ~uint64_t{4095});
        info.NumberOfLinks = 1;
        std::memcpy(FileInformation, &info, sizeof info);
        platform::SetIoStatus(IoStatusBlock, STATUS_SUCCESS, sizeof info);
        return STATUS_SUCCESS;
    }
    if (FileInformationClass == FilePositionInformation) {
        if (Length < sizeof(FILE_POSITION_INFORMATION)) {
            return STATUS_INFO_LENGTH_MISMATCH;
        }
        FILE_POSITION_INFORMATION info{};
        info.CurrentByteOffset.QuadPart = static_cast<LONGLONG>(file->Position.load());
        std::memcpy(FileInformation, &info, sizeof info);
        platform::SetIoStatus(IoStatusBlock, STATUS_SUCCESS, sizeof info);
        return STATUS_SUCCESS;
    }
    return STATUS_INVALID_INFO_CLASS;
}
