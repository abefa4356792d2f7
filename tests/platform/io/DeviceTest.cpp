#include <gtest/gtest.h>

#include "platform/io/Io.h"
#include "platform/io/ProcessHost.h"
#include "platform/nt/Ob.h"
#include "platform/nt/Pool.h"
#include "platform/nt/RtlString.h"
#include "platform/nt/Verifier.h"
#include "platform/portcls/Unknown.h"
#include "platform/nt/PoolHost.h"
#include "platform/nt/RtlStringHost.h"
#include "platform/io/IoHost.h"

namespace {

KVX_DEFINE_GUID(kEnumInterface, "{A9B75B82-E643-47B9-8B3C-30D19454E2C6}");
KVX_DEFINE_GUID(kOtherInterface, "{DB4D55AC-CB0E-4611-8CEB-16E32336876D}");

class DeviceTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        platform::IoReset();
        m_driver = platform::IoCreateDriverObject(u"\\Driver\\Test");
        ASSERT_NE(m_driver, nullptr);
    }
    void TearDown() override
    {
        platform::IoDeleteDriverObject(m_driver);
        platform::IoReset();
    }
    PDEVICE_OBJECT Create(ULONG extensionSize = 0)
    {
        PDEVICE_OBJECT device = nullptr;
        EXPECT_EQ(IoCreateDevice(m_driver, extensionSize, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device),
                  STATUS_SUCCESS);
        return device;
    }

    PDRIVER_OBJECT m_driver = nullptr;
};

TEST_F(DeviceTest, CreatedDevicesAreZeroedInitializingAndListedByTheirDriver)
{
    PDEVICE_OBJECT first = Create(696);
    PDEVICE_OBJECT second = Create();
    const auto* ext = static_cast<const UCHAR*>(first->DeviceExtension);
    for (int i = 0; i < 696; ++i) {
        ASSERT_EQ(ext[i], 0) << i;
    }
    EXPECT_EQ(second->DeviceExtension, nullptr);
    EXPECT_EQ(first->Flags, DO_DEVICE_INITIALIZING);
    EXPECT_EQ(first->StackSize, 1);
    EXPECT_EQ(first->DriverObject, m_driver);
    EXPECT_EQ(platform::ObReferenceCount(first), 1);
    EXPECT_EQ(m_driver->DeviceObject, second);
    EXPECT_EQ(second->NextDevice, first);
    // Every major function of a fresh driver object refuses the request.
    EXPECT_NE(m_driver->MajorFunction[IRP_MJ_PNP], nullptr);

    IoDeleteDevice(second);
    EXPECT_EQ(m_driver->DeviceObject, first);
    IoDeleteDevice(first);
    EXPECT_EQ(m_driver->DeviceObject, nullptr);

    platform::PoolFailNextWithTag(platform::IO_DEVICE_TAG);
    PDEVICE_OBJECT none = first;
    EXPECT_EQ(IoCreateDevice(m_driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &none),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(none, nullptr);
}

TEST_F(DeviceTest, StacksAttachOnTopAndDetach)
{
    PDEVICE_OBJECT pdo = Create();
    PDEVICE_OBJECT filter = Create();
    PDEVICE_OBJECT fdo = Create();
    pdo->StackSize = 2;  // a bus driver that needs a location of its own below

    EXPECT_EQ(IoAttachDeviceToDeviceStack(filter, pdo), pdo);
    EXPECT_EQ(filter->StackSize, 3);
    // Attaching to the bottom still lands on top of the stack.
    EXPECT_EQ(IoAttachDeviceToDeviceStack(fdo, pdo), filter);
    EXPECT_EQ(fdo->StackSize, 4);
    EXPECT_EQ(pdo->AttachedDevice, filter);
    EXPECT_EQ(filter->AttachedDevice, fdo);

    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(pdo);
    EXPECT_EQ(top, fdo);
    EXPECT_EQ(platform::ObReferenceCount(fdo), 2);

    IoDetachDevice(filter);
    EXPECT_EQ(filter->AttachedDevice, nullptr);
    EXPECT_EQ(IoGetAttachedDevice(pdo), filter);
    // Deleted while referenced: the object stays until the last reference goes.
    IoDeleteDevice(fdo);
    EXPECT_EQ(platform::ObReferenceCount(fdo), 1);
    ObDereferenceObject(top);
    EXPECT_FALSE(platform::ObIsRegistered(fdo));

    IoDetachDevice(pdo);
    IoDeleteDevice(filter);
    IoDeleteDevice(pdo);
}

TEST_F(DeviceTest, DeletingAStillAttachedDeviceIsAFault)
{
    PDEVICE_OBJECT pdo = Create();
    PDEVICE_OBJECT fdo = Create();
    IoAttachDeviceToDeviceStack(fdo, pdo);
    IoDeleteDevice(fdo);
    const auto faults = platform::VerifierTakeFaults();
    ASSERT_EQ(faults.size(), 1u);
    EXPECT_EQ(faults[0].Rule, "IO_DELETE_NOT_DETACHED");
    EXPECT_EQ(pdo->AttachedDevice, nullptr);  // no dangling link left behind
    IoDeleteDevice(pdo);
}

TEST_F(DeviceTest, InterfaceStateIsVisiblePerLink)
{
    PDEVICE_OBJECT pdo = Create();
    PDEVICE_OBJECT fdo = Create();
    IoAttachDeviceToDeviceStack(fdo, pdo);

    UNICODE_STRING reference;
    RtlInitUnicodeString(&reference, u"QVEnumPrivateInterface");
    UNICODE_STRING link{};
    ASSERT_EQ(IoRegisterDeviceInterface(pdo, &kEnumInterface, &reference, &link), STATUS_SUCCESS);
    const std::u16string name = platform::ToU16(&link);
    EXPECT_NE(name.find(u"{a9b75b82-e643-47b9-8b3c-30d19454e2c6}\\QVEnumPrivateInterface"), std::u16string::npos);
    EXPECT_EQ(platform::IoInterfaceState(name), platform::InterfaceState::Disabled);

    // The same registration again names the same link; another class gets another one.
    UNICODE_STRING again{};
    ASSERT_EQ(IoRegisterDeviceInterface(pdo, &kEnumInterface, &reference, &again), STATUS_SUCCESS);
    EXPECT_EQ(platform::ToU16(&again), name);
    RtlFreeUnicodeString(&again);
    UNICODE_STRING other{};
    ASSERT_EQ(IoRegisterDeviceInterface(pdo, &kOtherInterface, nullptr, &other), STATUS_SUCCESS);
    EXPECT_NE(platform::ToU16(&other), name);
    EXPECT_EQ(platform::IoInterfaces().size(), 2u);
    // Only the physical device at the bottom of the stack carries interfaces.
    UNICODE_STRING onFdo{};
    EXPECT_EQ(IoRegisterDeviceInterface(fdo, &kEnumInterface, &reference, &onFdo), STATUS_INVALID_DEVICE_REQUEST);

    EXPECT_EQ(IoSetDeviceInterfaceState(&link, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(platform::IoInterfaceState(name), platform::InterfaceState::Enabled);
    EXPECT_EQ(IoSetDeviceInterfaceState(&link, TRUE), STATUS_OBJECT_NAME_EXISTS);
    ASSERT_EQ(platform::IoEnabledInterfaces(kEnumInterface).size(), 1u);
    EXPECT_EQ(platform::IoEnabledInterfaces(kEnumInterface)[0].ReferenceString, u"QVEnumPrivateInterface");
    EXPECT_TRUE(platform::IoEnabledInterfaces(kOtherInterface).empty());
    // Link names compare without regard to case.
    std::u16string upper = name;
    for (auto& ch : upper) {
        ch = RtlUpcaseUnicodeChar(ch);
    }
    UNICODE_STRING upperLink;
    RtlInitUnicodeString(&upperLink, upper.c_str());
    EXPECT_EQ(IoSetDeviceInterfaceState(&upperLink, FALSE), STATUS_SUCCESS);
    EXPECT_EQ(platform::IoInterfaceState(name), platform::InterfaceState::Disabled);
    EXPECT_EQ(IoSetDeviceInterfaceState(&link, FALSE), STATUS_OBJECT_NAME_NOT_FOUND);
    UNICODE_STRING unknown;
    RtlInitUnicodeString(&unknown, u"\\??\\NoSuchLink");
    EXPECT_EQ(IoSetDeviceInterfaceState(&unknown, TRUE), STATUS_OBJECT_NAME_NOT_FOUND);

    // The registrations go with the physical device.
    IoDetachDevice(pdo);
    IoDeleteDevice(fdo);
    IoDeleteDevice(pdo);
    EXPECT_EQ(platform::IoInterfaceState(name), platform::InterfaceState::Unknown);
    EXPECT_EQ(IoSetDeviceInterfaceState(&other, TRUE), STATUS_OBJECT_NAME_NOT_FOUND);
    RtlFreeUnicodeString(&link);
    RtlFreeUnicodeString(&other);
}

TEST_F(DeviceTest, PhysicalDevicePropertiesAsTheBusReportedThem)
{
    PDEVICE_OBJECT pdo = Create();
    PDEVICE_OBJECT fdo = Create();
    IoAttachDeviceToDeviceStack(fdo, pdo);
    platform::IoSetDevicePropertyStrings(pdo, DevicePropertyHardwareID, {u"USB\\VID_0F3B&PID_0067,1", u"USB\\X"});

    ULONG needed = 0;
    EXPECT_EQ(IoGetDeviceProperty(pdo, DevicePropertyHardwareID, 0, nullptr, &needed), STATUS_BUFFER_TOO_SMALL);
    const std::u16string expected(u"USB\\VID_0F3B&PID_0067,1\0USB\\X\0\0", 31);
    EXPECT_EQ(needed, expected.size() * sizeof(char16_t));
    std::u16string buffer(expected.size(), u'#');
    ULONG length = 0;
    EXPECT_EQ(IoGetDeviceProperty(pdo, DevicePropertyHardwareID, needed, buffer.data(), &length), STATUS_SUCCESS);
    EXPECT_EQ(length, needed);
    EXPECT_EQ(buffer, expected);
    EXPECT_EQ(IoGetDeviceProperty(pdo, DevicePropertyFriendlyName, needed, buffer.data(), &length),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(IoGetDeviceProperty(fdo, DevicePropertyHardwareID, needed, buffer.data(), &length),
              STATUS_INVALID_DEVICE_REQUEST);

    IoDetachDevice(pdo);
    IoDeleteDevice(fdo);
    IoDeleteDevice(pdo);
}

TEST_F(DeviceTest, FileObjectsKeepTheirDeviceAlive)
{
    PDEVICE_OBJECT device = Create();
    PFILE_OBJECT file = platform::IoCreateFileObject(device, u"\\QVASIOPrivateInterface");
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(file->DeviceObject, device);
    EXPECT_EQ(platform::ToU16(&file->FileName), u"\\QVASIOPrivateInterface");
    EXPECT_EQ(file->FsContext, nullptr);
    IoDeleteDevice(device);
    EXPECT_TRUE(platform::ObIsRegistered(device));
    platform::IoDeleteFileObject(file);
    EXPECT_FALSE(platform::ObIsRegistered(device));
}

TEST(Mdl, DescribesAndMapsABuffer)
{
    alignas(16) static UCHAR buffer[5000];
    PIRP irp = IoAllocateIrp(1, FALSE);
    PMDL mdl = IoAllocateMdl(buffer + 3, 4000, FALSE, FALSE, irp);
    ASSERT_NE(mdl, nullptr);
    EXPECT_EQ(irp->MdlAddress, mdl);
    EXPECT_EQ(MmGetMdlVirtualAddress(mdl), buffer + 3);
    EXPECT_EQ(MmGetMdlByteCount(mdl), 4000u);
    MmBuildMdlForNonPagedPool(mdl);
    EXPECT_EQ(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority), buffer + 3);
    PVOID user = nullptr;
    {
        platform::ProcessScope process(platform::ProcessCreate(false));
        user = MmMapLockedPagesSpecifyCache(mdl, UserMode, MmCached, nullptr, FALSE,
                                            HighPagePriority | MdlMappingNoExecute);
    }
    EXPECT_EQ(user, buffer + 3);
    // Freed while still mapped into a process.
    IoFreeMdl(mdl);
    const auto faults = platform::VerifierTakeFaults();
    ASSERT_EQ(faults.size(), 1u);
    EXPECT_EQ(faults[0].Rule, "MDL_FREE_MAPPED");
    IoFreeIrp(irp);
}

}  // namespace
