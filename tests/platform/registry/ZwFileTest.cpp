#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "platform/nt/RtlString.h"
#include "platform/registry/ZwFile.h"
#include "tests/platform/registry/RegistryFixture.h"
#include "platform/nt/RtlStringHost.h"

namespace {

class ZwFileTest : public kvxtest::RegistryFixture {
protected:
    NTSTATUS OpenFile(const std::u16string& path, HANDLE* file, ACCESS_MASK access = GENERIC_READ,
                      ULONG disposition = FILE_OPEN)
    {
        std::u16string text = path;
        UNICODE_STRING name{static_cast<USHORT>(text.size() * 2), static_cast<USHORT>(text.size() * 2), text.data()};
        OBJECT_ATTRIBUTES oa;
        InitializeObjectAttributes(&oa, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
        IO_STATUS_BLOCK iosb{};
        return ZwCreateFile(file, access, &oa, &iosb, nullptr, FILE_ATTRIBUTE_NORMAL, FILE_SHARE_READ, disposition,
                            FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
    }
};

TEST_F(ZwFileTest, OpenResolvesBelowTheSystemRootWithoutRegardToCase)
{
    WriteFile("Settings.INI", "abc");
    std::filesystem::create_directories(Root() / "Sub");
    WriteFile("Sub/x.txt", "1");
    struct Case {
        const char16_t* Path;
        ACCESS_MASK Access;
        ULONG Disposition;
        NTSTATUS Status;
    } cases[] = {
        {u"\\SystemRoot\\Settings.INI", GENERIC_READ, FILE_OPEN, STATUS_SUCCESS},
        {u"\\systemroot\\settings.ini", FILE_READ_DATA, FILE_OPEN, STATUS_SUCCESS},
        {u"\\SystemRoot\\SUB\\X.TXT", GENERIC_READ, FILE_OPEN, STATUS_SUCCESS},
        {u"\\SystemRoot\\Missing.ini", GENERIC_READ, FILE_OPEN, STATUS_OBJECT_NAME_NOT_FOUND},
        {u"\\SystemRoot\\Nope\\x.txt", GENERIC_READ, FILE_OPEN, STATUS_OBJECT_PATH_NOT_FOUND},
        {u"\\SystemRoot\\..\\x.txt", GENERIC_READ, FILE_OPEN, static_cast<NTSTATUS>(0xC0000033u)},
        {u"\\SystemRoot\\Sub", GENERIC_READ, FILE_OPEN, static_cast<NTSTATUS>(0xC00000BAu)},
        {u"\\Other\\Settings.INI", GENERIC_READ, FILE_OPEN, STATUS_OBJECT_PATH_NOT_FOUND},
        {u"\\SystemRoot\\Settings.INI", GENERIC_WRITE, FILE_OPEN, STATUS_ACCESS_DENIED},
        {u"\\SystemRoot\\Settings.INI", GENERIC_READ, FILE_OVERWRITE_IF, STATUS_ACCESS_DENIED},
    };
    for (const auto& c : cases) {
        HANDLE file = reinterpret_cast<HANDLE>(1);
        EXPECT_EQ(OpenFile(c.Path, &file, c.Access, c.Disposition), c.Status) << platform::ToNarrow(c.Path);
        if (NT_SUCCESS(c.Status)) {
            EXPECT_EQ(ZwClose(file), STATUS_SUCCESS);
        } else {
            EXPECT_EQ(file, nullptr);
        }
    }
    platform::SetSystemRoot({});
    HANDLE file;
    EXPECT_EQ(OpenFile(u"\\SystemRoot\\Settings.INI", &file), STATUS_OBJECT_PATH_NOT_FOUND);
}

TEST_F(ZwFileTest, ReadsAtExplicitOffsetsUpToTheEndOfFile)
{
    WriteFile("data.bin", "0123456789");
    HANDLE file;
    ASSERT_EQ(OpenFile(u"\\SystemRoot\\data.bin", &file), STATUS_SUCCESS);

    FILE_STANDARD_INFORMATION info{};
    IO_STATUS_BLOCK iosb{};
    ASSERT_EQ(ZwQueryInformationFile(file, &iosb, &info, sizeof info, FileStandardInformation), STATUS_SUCCESS);
    EXPECT_EQ(info.EndOfFile.QuadPart, 10);
    EXPECT_EQ(ZwQueryInformationFile(file, &iosb, &info, sizeof info - 1, FileStandardInformation),
              static_cast<NTSTATUS>(0xC0000004u));

    struct Case {
        LONGLONG Offset;
        ULONG Length;
        NTSTATUS Status;
        std::string Bytes;
    } cases[] = {{0, 4, STATUS_SUCCESS, "0123"},
                 {8, 4, STATUS_SUCCESS, "89"},
                 {9, 1, STATUS_SUCCESS, "9"},
                 {10, 1, STATUS_END_OF_FILE, ""},
                 {0x100000000LL, 1, STATUS_END_OF_FILE, ""}};
    for (const auto& c : cases) {
        char buffer[8] = {};
        LARGE_INTEGER offset;
        offset.QuadPart = c.Offset;
        iosb.Information = 99;
        EXPECT_EQ(ZwReadFile(file, nullptr, nullptr, nullptr, &iosb, buffer, c.Length, &offset, nullptr), c.Status);
        EXPECT_EQ(iosb.Information, c.Bytes.size());
        EXPECT_EQ(std::string(buffer, iosb.Information), c.Bytes);
    }
    EXPECT_EQ(ZwClose(file), STATUS_SUCCESS);
    char byte;
    LARGE_INTEGER offset{};
    EXPECT_EQ(ZwReadFile(file, nullptr, nullptr, nullptr, &iosb, &byte, 1, &offset, nullptr), STATUS_INVALID_HANDLE);
}

TEST_F(ZwFileTest, OnlyRegularFilesOpenAndNeverBlock)
{
    ASSERT_EQ(::mkfifo((Root() / "pipe.ini").c_str(), 0600), 0);
    std::filesystem::create_symlink("/dev/null", Root() / "null.ini");
    std::filesystem::create_directories(Root() / "folder.ini");
    WriteFile("real.ini", "x");
    std::filesystem::create_symlink(Root() / "real.ini", Root() / "link.ini");
    struct Case {
        const char16_t* Path;
        NTSTATUS Status;
    } cases[] = {
        {u"\\SystemRoot\\pipe.ini", STATUS_INVALID_DEVICE_REQUEST},  // would block a reader forever
        {u"\\SystemRoot\\null.ini", STATUS_INVALID_DEVICE_REQUEST},
        {u"\\SystemRoot\\folder.ini", STATUS_FILE_IS_A_DIRECTORY},
        {u"\\SystemRoot\\link.ini", STATUS_SUCCESS},  // a link to a regular file is that file
    };
    for (const auto& c : cases) {
        HANDLE file = nullptr;
        EXPECT_EQ(OpenFile(c.Path, &file), c.Status) << platform::ToNarrow(c.Path);
        if (file != nullptr) {
            ZwClose(file);
        }
    }
}

TEST_F(ZwFileTest, ReadsTakeOnlyTheBytesAskedFromTheFileAsItStands)
{
    // A sparse file far larger than memory: opening it reads nothing, a read far in reaches it.
    const auto big = Root() / "big.bin";
    const LONGLONG size = 64LL << 30;
    {
        const int fd = ::open(big.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::pwrite(fd, "tail", 4, size - 4), 4);
        ::close(fd);
    }
    HANDLE file;
    ASSERT_EQ(OpenFile(u"\\SystemRoot\\big.bin", &file), STATUS_SUCCESS);
    IO_STATUS_BLOCK iosb{};
    FILE_STANDARD_INFORMATION info{};
    ASSERT_EQ(ZwQueryInformationFile(file, &iosb, &info, sizeof info, FileStandardInformation), STATUS_SUCCESS);
    EXPECT_EQ(info.EndOfFile.QuadPart, size);
    char buffer[8] = {};
    LARGE_INTEGER offset;
    offset.QuadPart = size - 6;
    ASSERT_EQ(ZwReadFile(file, nullptr, nullptr, nullptr, &iosb, buffer, sizeof buffer, &offset, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(std::string(buffer, iosb.Information), std::string("\0\0tail", 6));

    // Bytes written after the open are what a later read sees.
    {
        const int fd = ::open(big.c_str(), O_WRONLY);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::pwrite(fd, "head", 4, 0), 4);
        ASSERT_EQ(::pwrite(fd, "more", 4, size), 4);
        ::close(fd);
    }
    offset.QuadPart = 0;
    ASSERT_EQ(ZwReadFile(file, nullptr, nullptr, nullptr, &iosb, buffer, 4, &offset, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(std::string(buffer, 4), "head");
    // Without an offset the read goes on from where the last one ended.
    ASSERT_EQ(ZwReadFile(file, nullptr, nullptr, nullptr, &iosb, buffer, 2, nullptr, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(std::string(buffer, 2), std::string("\0\0", 2));
    offset.QuadPart = size;
    ASSERT_EQ(ZwReadFile(file, nullptr, nullptr, nullptr, &iosb, buffer, 8, &offset, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(std::string(buffer, iosb.Information), "more");
    EXPECT_EQ(ZwClose(file), STATUS_SUCCESS);
}

}  // namespace
