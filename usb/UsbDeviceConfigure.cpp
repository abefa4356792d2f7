// Bring-up of the device object: descriptors, configuration, bus interface, function, names and
// the ASIO settings; and the device-instance registry values.
#include <cstring>

#include "adapter/SettingsStore.h"
#include "platform/io/Io.h"
#include "platform/nt/Debug.h"
#include "platform/nt/Pool.h"
#include "platform/nt/RtlString.h"
#include "platform/registry/DeviceRegistry.h"
#include "platform/registry/Registry.h"
#include "usb/UsbAudioDevice.h"

namespace {

constexpr ULONG INSTANCE_NAME_BUFFER_BYTES = 512;
constexpr ULONG KEY_PATH_BUFFER_BYTES = 1024;
constexpr ULONG HARDWARE_ID_BUFFER_BYTES = 1024;
constexpr ULONG VALUE_QUERY_BUFFER_BYTES = 256;

PWCHAR NextString(PWCHAR p)
{
    while (*p != 0) {
        ++p;
    }
    return p + 1;
}

}  // namespace

NTSTATUS UsbAudioDevice::GetDescriptor(UCHAR type, UCHAR index, USHORT language, PVOID pBuffer, ULONG ulLength,
                                       ULONG ulUrbTag, PULONG pulTransferred)
{
    PAGED_CODE();
    if (pulTransferred != nullptr) {
        *pulTransferred = 0;
    }
    auto* pUrb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST),
                                                         ulUrbTag));
    if (pUrb == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    std::memset(pUrb, 0, sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST));
    pUrb->UrbHeader.Length = sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST);
    pUrb->UrbHeader.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
    auto& request = pUrb->UrbControlDescriptorRequest;
    request.Index = index;
    request.DescriptorType = type;
    request.LanguageId = language;
    request.TransferBuffer = pBuffer;
    request.TransferBufferLength = ulLength;
    const NTSTATUS status = SubmitUrbSync(pUrb);
    if (NT_SUCCESS(status) && pulTransferred != nullptr) {
        const ULONG transferred = request.TransferBufferLength;
        *pulTransferred = transferred < ulLength ? transferred : ulLength;
    }
    ExFreePoolWithTag(pUrb, ulUrbTag);
    return status;
}

NTSTATUS UsbAudioDevice::Configure()
{
    PAGED_CODE();
    m_IrpStackSize = static_cast<CHAR>(m_pFunctionalDevice->StackSize + 1);
    NTSTATUS status = ReadDescriptors();
    if (NT_SUCCESS(status)) {
        status = SelectConfiguration();
    }
    if (NT_SUCCESS(status)) {
        status = QueryBusInterface();
    }
    if (NT_SUCCESS(status)) {
        status = CreateFunction();
    }
    if (NT_SUCCESS(status)) {
        status = m_pFunctionAudioHal->Init(nullptr, m_pFunctionalDevice, m_pLowerDevice, m_pPhysicalDevice);
    }
    if (!NT_SUCCESS(status)) {
        return status;
    }
    NameDevice();
    const NTSTATUS asio = LoadAsioSettings();
    return NT_SUCCESS(asio) ? status : asio;
}

NTSTATUS UsbAudioDevice::ReadDescriptors()
{
    PAGED_CODE();
    USB_DEVICE_DESCRIPTOR device;
    std::memset(&device, 0, sizeof(device));
    ULONG transferred = 0;
    NTSTATUS status = GetDescriptor(USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, &device, sizeof(device), USB_DEVICE_BUFFER_TAG,
                                    &transferred);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    // A short reply leaves the rest of the record zero.
    m_idVendor = device.idVendor;
    m_idProduct = device.idProduct;
    m_iManufacturer = device.iManufacturer;
    m_iProduct = device.iProduct;

    USB_CONFIGURATION_DESCRIPTOR header;
    std::memset(&header, 0, sizeof(header));
    status = GetDescriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, &header, sizeof(header), USB_DEVICE_BUFFER_TAG,
                           &transferred);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    const ULONG total = header.wTotalLength;
    if (transferred < sizeof(header) || total < sizeof(header)) {
        // Nothing usable: a configuration shorter than its own header.
        return STATUS_DEVICE_DATA_ERROR;
    }
    auto* pConfiguration = static_cast<PUSB_CONFIGURATION_DESCRIPTOR>(
        ExAllocatePoolWithTag(NonPagedPoolNx, total, USB_DEVICE_BUFFER_TAG));
    if (pConfiguration == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    std::memset(pConfiguration, 0, total);
    status = GetDescriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, pConfiguration, total, USB_DEVICE_BUFFER_TAG,
                           &transferred);
    if (!NT_SUCCESS(status)) {
        ExFreePoolWithTag(pConfiguration, USB_DEVICE_BUFFER_TAG);
        return status;
    }
    // The walks below trust wTotalLength: hold it to what the device actually sent.
    if (pConfiguration->wTotalLength > transferred) {
        pConfiguration->wTotalLength = static_cast<USHORT>(transferred);
    }
    m_pConfiguration = pConfiguration;
    return STATUS_SUCCESS;
}

NTSTATUS UsbAudioDevice::SelectConfiguration()
{
    PAGED_CODE();
    if (m_pConfiguration == nullptr) {
        return STATUS_UNSUCCESSFUL;
    }
    const ULONG n = m_pConfiguration->bNumInterfaces;
    const ULONG listBytes = (n + 1) * sizeof(USBD_INTERFACE_LIST_ENTRY);
    auto* pList = static_cast<PUSBD_INTERFACE_LIST_ENTRY>(
        ExAllocatePoolWithTag(NonPagedPoolNx, listBytes, USB_DEVICE_BUFFER_TAG));
    if (pList == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    std::memset(pList, 0, listBytes);
    ULONG listed = 0;
    // Interface numbers are 8 bits: a configuration that claims more interfaces than it holds
    // ends the walk with those it has.
    for (ULONG number = 0; number < 256 && listed < n; ++number) {
        PUSB_INTERFACE_DESCRIPTOR pInterface = USBD_ParseConfigurationDescriptorEx(
            m_pConfiguration, m_pConfiguration, static_cast<LONG>(number), 0, -1, -1, -1);
        if (pInterface != nullptr) {
            pList[listed++].InterfaceDescriptor = pInterface;
        }
    }
    PURB pUrb = USBD_CreateConfigurationRequestEx(m_pConfiguration, pList);
    if (pUrb == nullptr) {
        ExFreePoolWithTag(pList, USB_DEVICE_BUFFER_TAG);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    if (listed > 0) {
        PUSBD_INTERFACE_INFORMATION pFirst = &pUrb->UrbSelectConfiguration.Interface;
        for (ULONG i = 0; i < pFirst->NumberOfPipes; ++i) {
            pFirst->Pipes[i].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
            pFirst->Pipes[i].PipeFlags = 0;
            pFirst->Pipes[i].PipeHandle = nullptr;
        }
    }
    NTSTATUS status = SubmitUrbSync(pUrb);
    if (NT_SUCCESS(status) && listed > 0) {
        auto* ppCopies = static_cast<PUSBD_INTERFACE_INFORMATION*>(
            ExAllocatePoolWithTag(NonPagedPoolNx, listed * sizeof(PUSBD_INTERFACE_INFORMATION), USB_DEVICE_BUFFER_TAG));
        if (ppCopies == nullptr) {
            status = STATUS_INSUFFICIENT_RESOURCES;
        } else {
            std::memset(ppCopies, 0, listed * sizeof(PUSBD_INTERFACE_INFORMATION));
            for (ULONG i = 0; i < listed; ++i) {
                PUSBD_INTERFACE_INFORMATION pInfo = pList[i].Interface;
                ppCopies[i] = static_cast<PUSBD_INTERFACE_INFORMATION>(
                    ExAllocatePoolWithTag(NonPagedPoolNx, pInfo->Length, USB_DEVICE_BUFFER_TAG));
                if (ppCopies[i] == nullptr) {
                    for (ULONG j = 0; j < i; ++j) {
                        ExFreePoolWithTag(ppCopies[j], USB_DEVICE_BUFFER_TAG);
                    }
                    ExFreePoolWithTag(ppCopies, USB_DEVICE_BUFFER_TAG);
                    ppCopies = nullptr;
                    status = STATUS_INSUFFICIENT_RESOURCES;
                    break;
                }
                std::memcpy(ppCopies[i], pInfo, pInfo->Length);
            }
        }
        if (ppCopies != nullptr) {
            m_ppInterfaces = ppCopies;
            m_ulInterfaceCount = listed;
        }
    }
    if (NT_SUCCESS(status)) {
        m_hConfiguration = pUrb->UrbSelectConfiguration.ConfigurationHandle;
    }
    ExFreePool(pUrb);
    ExFreePoolWithTag(pList, USB_DEVICE_BUFFER_TAG);
    return status;
}

NTSTATUS UsbAudioDevice::QueryBusInterface()
{
    PAGED_CODE();
    PIRP pIrp = AllocateIrp();
    if (pIrp == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    pIrp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IoSetNextIrpStackLocation(pIrp);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(pIrp);
    next->MajorFunction = IRP_MJ_PNP;
    next->MinorFunction = IRP_MN_QUERY_INTERFACE;
    next->Parameters.QueryInterface.InterfaceType = &USB_BUS_INTERFACE_USBDI_GUID;
    next->Parameters.QueryInterface.Size = sizeof(USB_BUS_INTERFACE_USBDI_V1);
    next->Parameters.QueryInterface.Version = USB_BUSIF_USBDI_VERSION_1;
    next->Parameters.QueryInterface.Interface = reinterpret_cast<PINTERFACE>(&m_BusInterface);
    next->Parameters.QueryInterface.InterfaceSpecificData = nullptr;
    IoSetCompletionRoutine(pIrp, SyncIrpCompletion, &event, TRUE, TRUE, TRUE);
    m_bHighSpeed = 0;
    NTSTATUS status = CallLowerDriver(pIrp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        status = pIrp->IoStatus.Status;
    }
    if (NT_SUCCESS(status) && m_BusInterface.BusContext != nullptr) {
        m_bHighSpeed = m_BusInterface.IsDeviceHighSpeed(m_BusInterface.BusContext) ? 1 : 0;
    } else {
        std::memset(&m_BusInterface, 0, sizeof(m_BusInterface));
        status = STATUS_UNSUCCESSFUL;
    }
    IoFreeIrp(pIrp);
    return status;
}

PCSTR UsbFunctionClassName(UsbFunctionVariant variant)
{
    switch (variant) {
    case UsbFunctionVariant::Uac1: return "Uac1Function";
    case UsbFunctionVariant::Uac2: return "Uac2Function";
    case UsbFunctionVariant::V3: return "Uac1FunctionV3";
    case UsbFunctionVariant::V4: return "Uac1FunctionV4";
    case UsbFunctionVariant::V5: return "Uac1FunctionV5";
    case UsbFunctionVariant::V6: return "Uac1FunctionV6";
    default: return "none";
    }
}

UsbFunctionVariant UsbAudioDevice::ChooseUac1Variant()
{
    PAGED_CODE();
    auto* pBuffer = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPoolNx, CHIP_STRING_BYTES, CHIP_STRING_TAG));
    if (pBuffer == nullptr) {
        return UsbFunctionVariant::None;
    }
    std::memset(pBuffer, 0, CHIP_STRING_BYTES);
    ULONG transferred = 0;
    NTSTATUS status = GetDescriptor(USB_STRING_DESCRIPTOR_TYPE, CHIP_STRING_INDEX, CHIP_STRING_LANGUAGE, pBuffer,
                                    CHIP_STRING_BYTES, CHIP_STRING_TAG, &transferred);
    if (!NT_SUCCESS(status)) {
        std::memset(pBuffer, 0, CHIP_STRING_BYTES);
        status = GetDescriptor(USB_STRING_DESCRIPTOR_TYPE, CHIP_STRING_FALLBACK_INDEX, CHIP_STRING_LANGUAGE, pBuffer,
                               CHIP_STRING_BYTES, CHIP_STRING_TAG, &transferred);
    }
    UsbFunctionVariant variant = UsbFunctionVariant::Uac1;
    if (NT_SUCCESS(status)) {
        switch (ChipKindOfString(pBuffer, transferred)) {
        case ChipKind::V3: variant = UsbFunctionVariant::V3; break;
        case ChipKind::V4: variant = UsbFunctionVariant::V4; break;
        case ChipKind::V5: variant = UsbFunctionVariant::V5; break;
        case ChipKind::V6: variant = UsbFunctionVariant::V6; break;
        default: break;
        }
    }
    ExFreePoolWithTag(pBuffer, CHIP_STRING_TAG);
    return variant;
}

NTSTATUS UsbAudioDevice::CreateFunction()
{
    PAGED_CODE();
    if (m_pConfiguration == nullptr) {
        return STATUS_UNSUCCESSFUL;
    }
    PUSB_INTERFACE_DESCRIPTOR pControl = USBD_ParseConfigurationDescriptorEx(
        m_pConfiguration, m_pConfiguration, -1, -1, USB_DEVICE_CLASS_AUDIO, USB_AUDIO_SUBCLASS_AUDIOCONTROL, -1);
    if (pControl == nullptr) {
        return STATUS_UNSUCCESSFUL;
    }
    m_AudioControlInterface = pControl->bInterfaceNumber;
    UsbFunctionVariant variant = UsbFunctionVariant::None;
    if (pControl->bInterfaceProtocol == USB_AUDIO_PROTOCOL_UAC2) {
        variant = UsbFunctionVariant::Uac2;
    } else if (pControl->bInterfaceProtocol != USB_AUDIO_PROTOCOL_UAC1) {
        return STATUS_UNSUCCESSFUL;
    } else {
        variant = ChooseUac1Variant();
        if (variant == UsbFunctionVariant::None) {
            return STATUS_INSUFFICIENT_RESOURCES;
        }
    }
    m_FunctionVariant = variant;
    PUNKNOWN pFunction = nullptr;
    NTSTATUS status = NewUsbAudioFunction(variant, &pFunction, GetOuterUnknown(), m_idVendor, m_idProduct);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    // The host names the function class from this line, also when the start fails later on.
    DbgPrint("UsbAudioDevice: function %s\n", UsbFunctionClassName(variant));
    return BindFunction(pFunction);
}

NTSTATUS UsbAudioDevice::BindFunction(PUNKNOWN pFunction)
{
    if (pFunction == nullptr || m_pFunction != nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    m_pFunction = pFunction;
    PVOID pInterface = nullptr;
    // Each query's reference lands on the device (the outer unknown): give it back at once, so
    // that the device does not keep itself alive through its own function.
    NTSTATUS status = pFunction->QueryInterface(IID_IAudioHal, &pInterface);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    m_pFunctionAudioHal = static_cast<IAudioHal*>(pInterface);
    Release();
    if (NT_SUCCESS(pFunction->QueryInterface(IID_IUsbAudioFunction, &pInterface))) {
        m_pFunctionInterface = static_cast<IUsbAudioFunction*>(pInterface);
        Release();
    }
    status = pFunction->QueryInterface(IID_IAdapterPowerManagement, &pInterface);
    if (NT_SUCCESS(status)) {
        m_pFunctionPower = static_cast<IAdapterPowerManagement*>(pInterface);
        Release();
    }
    return status;
}

void UsbAudioDevice::WriteDeviceString(UCHAR index, ULONG ulBufferTag, ULONG which)
{
    PAGED_CODE();
    auto* pBuffer = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPoolNx, DEVICE_STRING_BUFFER_BYTES, ulBufferTag));
    if (pBuffer == nullptr) {
        return;
    }
    std::memset(pBuffer, 0, DEVICE_STRING_BUFFER_BYTES);
    ULONG transferred = 0;
    const NTSTATUS status = GetDescriptor(USB_STRING_DESCRIPTOR_TYPE, index, STRING_LANGUAGE_ID, pBuffer,
                                         DEVICE_STRING_REQUEST_BYTES, USB_DEVICE_BUFFER_TAG, &transferred);
    // A descriptor that claims fewer than its two header bytes, or more than arrived, is refused.
    if (NT_SUCCESS(status) && transferred >= 2 && pBuffer[0] >= 2 && pBuffer[0] <= transferred) {
        const ULONG characters = (pBuffer[0] - 2u) / 2u;
        // The text moves to the buffer's start so that it is WCHAR-aligned and terminated.
        auto* pText = reinterpret_cast<PWCHAR>(pBuffer);
        std::memmove(pText, pBuffer + 2, characters * sizeof(WCHAR));
        pText[characters] = 0;
        for (ULONG i = characters; i > 0 && pText[i - 1] == u' '; --i) {
            pText[i - 1] = 0;
        }
        size_t bytes = 0;
        if (!NT_SUCCESS(RtlStringCbLengthW(pText, DEVICE_NAME_MAX_BYTES, &bytes))) {
            // Too long for a name: the first 49 characters stand for it.
            bytes = DEVICE_NAME_MAX_BYTES - sizeof(WCHAR);
            pText[bytes / sizeof(WCHAR)] = 0;
        }
        WriteDeviceInstanceValue(which, static_cast<ULONG>(bytes + sizeof(WCHAR)), pText);
    }
    ExFreePoolWithTag(pBuffer, ulBufferTag);
}

NTSTATUS UsbAudioDevice::NameDevice()
{
    PAGED_CODE();
    if (m_iProduct != 0) {
        WriteDeviceString(m_iProduct, USB_DEVICE_BUFFER_TAG, DEVICE_VALUE_FRIENDLY_NAME);
    }
    const DeviceQuirks quirks = LookupDeviceQuirks(m_idVendor, m_idProduct);
    const bool writeManufacturer = quirks.Has(DEVICE_QUIRK_MANUFACTURER_BY_PRODUCT)
                                       ? quirks.Has(DEVICE_QUIRK_NAMES_MANUFACTURER)
                                       : m_iManufacturer != 0;
    if (writeManufacturer) {
        WriteDeviceString(m_iManufacturer, MANUFACTURER_STRING_TAG, DEVICE_VALUE_MANUFACTURER);
    }
    return STATUS_SUCCESS;
}

NTSTATUS UsbAudioDevice::LoadAsioSettings()
{
    PAGED_CODE();
    const ULONG count = m_pFunctionAudioHal != nullptr ? m_pFunctionAudioHal->GetEndpointCount() : 0;
    const NTSTATUS status = AsioAllocateRecords(count);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    m_ulAsioDefaultSampleType = ASIO_DEFAULT_SAMPLE_TYPE;
    m_ulAsioSampleType = ASIO_DEFAULT_SAMPLE_TYPE;
    m_ulAsioLatencyIndex = ASIO_DEFAULT_LATENCY_INDEX;
    m_ulAsioSampleRate = ASIO_DEFAULT_SAMPLE_RATE;
    struct Setting {
        PULONG Value;
        PCWSTR Name;
    } settings[] = {
        {&m_ulAsioDefaultSampleType, u"ASIOMLDataBitDepth"},
        {&m_ulAsioSampleType, u"ASIOMLDataBitDepth"},
        {&m_ulAsioLatencyIndex, u"ASIOMLDataLatency"},
        {&m_ulAsioSampleRate, u"ASIOMLSampleRate"},
    };
    for (const Setting& setting : settings) {
        ULONG value = 0;
        if (NT_SUCCESS(AccessSettingsBinary(m_pFunctionalDevice, SETTINGS_READ, &value, sizeof(value), setting.Name))) {
            *setting.Value = value;
        }
    }
    // Stored values the interface cannot work with keep their defaults.
    AsioCheckSettings();
    for (ULONG i = 0; i < count; ++i) {
        AudioCapabilities capabilities;
        std::memset(&capabilities, 0, sizeof(capabilities));
        if (!NT_SUCCESS(m_pFunctionAudioHal->GetEndpointCapabilities(i, &capabilities)) ||
            (capabilities.Flags & AUDIO_CAPABILITY_ASIO) == 0) {
            continue;
        }
        ULONG value = 0;
        if (AccessSettingsBinary(m_pFunctionalDevice, SETTINGS_READ, &value, sizeof(value), u"ASIOMLDataBitDepth") !=
            STATUS_OBJECT_NAME_NOT_FOUND) {
            continue;
        }
        const DeviceQuirks quirks = LookupDeviceQuirks(m_idVendor, m_idProduct);
        if (quirks.Has(DEVICE_QUIRK_ASIO_SAMPLE_TYPE)) {
            m_ulAsioDefaultSampleType = quirks.AsioSampleType;
            m_ulAsioSampleType = quirks.AsioSampleType;
            ULONG stored = quirks.AsioSampleType;
            AccessSettingsBinary(m_pFunctionalDevice, SETTINGS_WRITE, &stored, sizeof(stored), u"ASIOMLDataBitDepth");
        }
        break;
    }
    return STATUS_SUCCESS;
}

// ---- device-instance values ----

NTSTATUS UsbAudioDevice::ReadDeviceParameter(ULONG which, ULONG ulBufferSize, PVOID pBuffer)
{
    PAGED_CODE();
    PCWSTR name = nullptr;
    if (which == DEVICE_PARAMETER_SELECTIVE_SUSPEND_ENABLED) {
        name = u"SelectiveSuspendEnabled";
    } else if (which == DEVICE_PARAMETER_SELECTIVE_SUSPENDED) {
        name = u"DeviceSelectiveSuspended";
    } else {
        return STATUS_INVALID_PARAMETER;
    }
    return AccessDeviceInstanceKey(true, name, REG_NONE, pBuffer, ulBufferSize, false);
}

NTSTATUS UsbAudioDevice::WriteDeviceInstanceValue(ULONG which, ULONG ulDataSize, PVOID pData)
{
    PAGED_CODE();
    PCWSTR name = nullptr;
    if (which == DEVICE_VALUE_FRIENDLY_NAME) {
        name = u"FriendlyName";
    } else if (which == DEVICE_VALUE_MANUFACTURER) {
        name = u"Mfg";
    } else if (which == DEVICE_VALUE_DESCRIPTION) {
        name = u"DeviceDesc";
    } else {
        return STATUS_INVALID_PARAMETER;
    }
    return AccessDeviceInstanceKey(false, name, REG_SZ, pData, ulDataSize, true);
}

NTSTATUS UsbAudioDevice::AccessDeviceInstanceKey(bool bParameters, PCWSTR pValueName, ULONG ulType, PVOID pData,
                                                 ULONG ulSize, bool bWrite)
{
    PAGED_CODE();
    if (m_pPhysicalDevice == nullptr) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    auto* pIds = static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, HARDWARE_ID_BUFFER_BYTES, USB_DEVICE_BUFFER_TAG));
    auto* pInstance = static_cast<PKEY_BASIC_INFORMATION>(
        ExAllocatePoolWithTag(PagedPool, INSTANCE_NAME_BUFFER_BYTES, USB_DEVICE_BUFFER_TAG));
    auto* pPath = static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, KEY_PATH_BUFFER_BYTES, USB_DEVICE_BUFFER_TAG));
    NTSTATUS status = STATUS_SUCCESS;
    if (pIds == nullptr || pInstance == nullptr || pPath == nullptr) {
        status = STATUS_NO_MEMORY;
    }
    ULONG idBytes = 0;
    if (NT_SUCCESS(status)) {
        std::memset(pIds, 0, HARDWARE_ID_BUFFER_BYTES);
        // Room is left for two terminators, so the list always ends.
        status = IoGetDeviceProperty(m_pPhysicalDevice, DevicePropertyHardwareID,
                                     HARDWARE_ID_BUFFER_BYTES - 2 * sizeof(WCHAR), pIds, &idBytes);
    }
    if (NT_SUCCESS(status)) {
        for (PWCHAR p = pIds; *p != 0; ++p) {
            if (*p == u',') {
                *p = 0;
                break;
            }
        }
        HANDLE hKey = nullptr;
        status = IoOpenDeviceRegistryKey(m_pPhysicalDevice, PLUGPLAY_REGKEY_DEVICE | PLUGPLAY_REGKEY_CURRENT_HWPROFILE,
                                         KEY_ALL_ACCESS, &hKey);
        if (NT_SUCCESS(status)) {
            std::memset(pInstance, 0, INSTANCE_NAME_BUFFER_BYTES);
            ULONG length = 0;
            status = ZwQueryKey(hKey, KeyBasicInformation, pInstance, INSTANCE_NAME_BUFFER_BYTES - sizeof(WCHAR),
                                &length);
            ZwClose(hKey);
        }
    }
    if (NT_SUCCESS(status)) {
        pInstance->Name[pInstance->NameLength / sizeof(WCHAR)] = 0;
        status = STATUS_OBJECT_NAME_NOT_FOUND;
        for (PWCHAR pId = pIds; *pId != 0; pId = NextString(pId)) {
            static constexpr PCWSTR formats[2][2] = {
                {u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Enum\\%s\\%s",
                 u"\\Registry\\Machine\\Enum\\%s\\%s"},
                {u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Enum\\%s\\%s\\%s",
                 u"\\Registry\\Machine\\Enum\\%s\\%s\\%s"},
            };
            HANDLE hKey = nullptr;
            NTSTATUS open = STATUS_OBJECT_NAME_NOT_FOUND;
            for (PCWSTR format : formats[bParameters ? 1 : 0]) {
                if (!NT_SUCCESS(RtlStringCbPrintfW(pPath, KEY_PATH_BUFFER_BYTES, format, pId, pInstance->Name,
                                                   u"Device Parameters"))) {
                    continue;
                }
                UNICODE_STRING path;
                RtlInitUnicodeString(&path, pPath);
                OBJECT_ATTRIBUTES attributes;
                InitializeObjectAttributes(&attributes, &path, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr,
                                           nullptr);
                open = ZwOpenKey(&hKey, KEY_ALL_ACCESS, &attributes);
                if (NT_SUCCESS(open)) {
                    break;
                }
            }
            status = open;
            if (!NT_SUCCESS(open)) {
                continue;
            }
            UNICODE_STRING valueName;
            RtlInitUnicodeString(&valueName, pValueName);
            if (bWrite) {
                status = ZwSetValueKey(hKey, &valueName, 0, ulType, pData, ulSize);
            } else {
                UCHAR query[VALUE_QUERY_BUFFER_BYTES];
                ULONG length = 0;
                status = ZwQueryValueKey(hKey, &valueName, KeyValuePartialInformation, query, sizeof(query), &length);
                if (NT_SUCCESS(status)) {
                    auto* pValue = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(query);
                    if (pValue->DataLength <= ulSize) {
                        std::memcpy(pData, pValue->Data, pValue->DataLength);
                    } else {
                        status = STATUS_UNSUCCESSFUL;
                    }
                }
            }
            ZwClose(hKey);
            // The first instance key that opens is the device's; later ids name the same device.
            break;
        }
    }
    if (pIds != nullptr) {
        ExFreePoolWithTag(pIds, USB_DEVICE_BUFFER_TAG);
    }
    if (pInstance != nullptr) {
        ExFreePoolWithTag(pInstance, USB_DEVICE_BUFFER_TAG);
    }
    if (pPath != nullptr) {
        ExFreePoolWithTag(pPath, USB_DEVICE_BUFFER_TAG);
    }
    return status;
}
