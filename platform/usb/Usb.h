// USB definitions of the stand-in, written from the published USB 2.0 and USB Audio Class 1.0 / 2.0
// standards: descriptors, requests, URBs with their 64-bit layouts, USBD status codes, the
// internal device-control codes of the bus driver and its USBDI bus interface, and the USBD
// library helpers that parse descriptors and build configuration requests.
#pragma once

#include <cstddef>

#include "platform/io/Io.h"
#include "platform/nt/NtTypes.h"

// ---- descriptors ----

constexpr UCHAR USB_DEVICE_DESCRIPTOR_TYPE = 0x01;
constexpr UCHAR USB_CONFIGURATION_DESCRIPTOR_TYPE = 0x02;
constexpr UCHAR USB_STRING_DESCRIPTOR_TYPE = 0x03;
constexpr UCHAR USB_INTERFACE_DESCRIPTOR_TYPE = 0x04;
constexpr UCHAR USB_ENDPOINT_DESCRIPTOR_TYPE = 0x05;
constexpr UCHAR USB_DEVICE_QUALIFIER_DESCRIPTOR_TYPE = 0x06;
constexpr UCHAR USB_INTERFACE_ASSOCIATION_DESCRIPTOR_TYPE = 0x0B;

constexpr UCHAR USB_ENDPOINT_DIRECTION_MASK = 0x80;
constexpr UCHAR USB_ENDPOINT_TYPE_MASK = 0x03;
constexpr UCHAR USB_ENDPOINT_TYPE_CONTROL = 0x00;
constexpr UCHAR USB_ENDPOINT_TYPE_ISOCHRONOUS = 0x01;
constexpr UCHAR USB_ENDPOINT_TYPE_BULK = 0x02;
constexpr UCHAR USB_ENDPOINT_TYPE_INTERRUPT = 0x03;
constexpr bool USB_ENDPOINT_DIRECTION_IN(UCHAR address) { return (address & USB_ENDPOINT_DIRECTION_MASK) != 0; }

#pragma pack(push, 1)
struct USB_COMMON_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
};
struct USB_DEVICE_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    USHORT bcdUSB;
    UCHAR bDeviceClass;
    UCHAR bDeviceSubClass;
    UCHAR bDeviceProtocol;
    UCHAR bMaxPacketSize0;
    USHORT idVendor;
    USHORT idProduct;
    USHORT bcdDevice;
    UCHAR iManufacturer;
    UCHAR iProduct;
    UCHAR iSerialNumber;
    UCHAR bNumConfigurations;
};
struct USB_CONFIGURATION_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    USHORT wTotalLength;
    UCHAR bNumInterfaces;
    UCHAR bConfigurationValue;
    UCHAR iConfiguration;
    UCHAR bmAttributes;
    UCHAR MaxPower;
};
struct USB_INTERFACE_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bInterfaceNumber;
    UCHAR bAlternateSetting;
    UCHAR bNumEndpoints;
    UCHAR bInterfaceClass;
    UCHAR bInterfaceSubClass;
    UCHAR bInterfaceProtocol;
    UCHAR iInterface;
};
struct USB_ENDPOINT_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bEndpointAddress;
    UCHAR bmAttributes;
    USHORT wMaxPacketSize;
    UCHAR bInterval;
};
// Audio-class endpoints carry two more bytes (USB Audio 1.0 standard isochronous endpoint).
struct USB_AUDIO_ENDPOINT_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bEndpointAddress;
    UCHAR bmAttributes;
    USHORT wMaxPacketSize;
    UCHAR bInterval;
    UCHAR bRefresh;
    UCHAR bSynchAddress;
};
struct USB_STRING_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    WCHAR bString[1];
};
struct USB_INTERFACE_ASSOCIATION_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bFirstInterface;
    UCHAR bInterfaceCount;
    UCHAR bFunctionClass;
    UCHAR bFunctionSubClass;
    UCHAR bFunctionProtocol;
    UCHAR iFunction;
};
// The eight bytes of a control transfer's setup stage.
struct USB_DEFAULT_PIPE_SETUP_PACKET {
    UCHAR bmRequestType;
    UCHAR bRequest;
    USHORT wValue;
    USHORT wIndex;
    USHORT wLength;
};
#pragma pack(pop)

static_assert(sizeof(USB_DEVICE_DESCRIPTOR) == 18);
static_assert(sizeof(USB_CONFIGURATION_DESCRIPTOR) == 9);
static_assert(sizeof(USB_INTERFACE_DESCRIPTOR) == 9);
static_assert(sizeof(USB_ENDPOINT_DESCRIPTOR) == 7);
static_assert(sizeof(USB_AUDIO_ENDPOINT_DESCRIPTOR) == 9);
static_assert(sizeof(USB_STRING_DESCRIPTOR) == 4);
static_assert(sizeof(USB_INTERFACE_ASSOCIATION_DESCRIPTOR) == 8);
static_assert(sizeof(USB_DEFAULT_PIPE_SETUP_PACKET) == 8);

using PUSB_COMMON_DESCRIPTOR = USB_COMMON_DESCRIPTOR*;
using PUSB_DEVICE_DESCRIPTOR = USB_DEVICE_DESCRIPTOR*;
using PUSB_CONFIGURATION_DESCRIPTOR = USB_CONFIGURATION_DESCRIPTOR*;
using PUSB_INTERFACE_DESCRIPTOR = USB_INTERFACE_DESCRIPTOR*;
using PUSB_ENDPOINT_DESCRIPTOR = USB_ENDPOINT_DESCRIPTOR*;
using PUSB_STRING_DESCRIPTOR = USB_STRING_DESCRIPTOR*;

// Standard requests (bRequest) and the parts of bmRequestType.
constexpr UCHAR USB_REQUEST_GET_STATUS = 0x00;
constexpr UCHAR USB_REQUEST_CLEAR_FEATURE = 0x01;
constexpr UCHAR USB_REQUEST_SET_FEATURE = 0x03;
constexpr UCHAR USB_REQUEST_SET_ADDRESS = 0x05;
constexpr UCHAR USB_REQUEST_GET_DESCRIPTOR = 0x06;
constexpr UCHAR USB_REQUEST_SET_DESCRIPTOR = 0x07;
constexpr UCHAR USB_REQUEST_GET_CONFIGURATION = 0x08;
constexpr UCHAR USB_REQUEST_SET_CONFIGURATION = 0x09;
constexpr UCHAR USB_REQUEST_GET_INTERFACE = 0x0A;
constexpr UCHAR USB_REQUEST_SET_INTERFACE = 0x0B;
constexpr UCHAR USB_FEATURE_ENDPOINT_STALL = 0x00;

constexpr UCHAR BMREQUEST_HOST_TO_DEVICE = 0x00;
constexpr UCHAR BMREQUEST_DEVICE_TO_HOST = 0x80;
constexpr UCHAR BMREQUEST_STANDARD = 0x00;
constexpr UCHAR BMREQUEST_CLASS = 0x20;
constexpr UCHAR BMREQUEST_VENDOR = 0x40;
constexpr UCHAR BMREQUEST_TO_DEVICE = 0x00;
constexpr UCHAR BMREQUEST_TO_INTERFACE = 0x01;
constexpr UCHAR BMREQUEST_TO_ENDPOINT = 0x02;
constexpr UCHAR BMREQUEST_TO_OTHER = 0x03;

// ---- USB Audio Class ----

constexpr UCHAR USB_DEVICE_CLASS_AUDIO = 0x01;
constexpr UCHAR USB_DEVICE_CLASS_HID = 0x03;
constexpr UCHAR USB_AUDIO_SUBCLASS_AUDIOCONTROL = 0x01;
constexpr UCHAR USB_AUDIO_SUBCLASS_AUDIOSTREAMING = 0x02;
constexpr UCHAR USB_AUDIO_SUBCLASS_MIDISTREAMING = 0x03;
constexpr UCHAR USB_AUDIO_PROTOCOL_UAC1 = 0x00;
constexpr UCHAR USB_AUDIO_PROTOCOL_UAC2 = 0x20;

constexpr UCHAR USB_AUDIO_CS_INTERFACE = 0x24;
constexpr UCHAR USB_AUDIO_CS_ENDPOINT = 0x25;

// AudioControl interface descriptor subtypes (the UAC2 values where they differ).
constexpr UCHAR USB_AUDIO_AC_HEADER = 0x01;
constexpr UCHAR USB_AUDIO_AC_INPUT_TERMINAL = 0x02;
constexpr UCHAR USB_AUDIO_AC_OUTPUT_TERMINAL = 0x03;
constexpr UCHAR USB_AUDIO_AC_MIXER_UNIT = 0x04;
constexpr UCHAR USB_AUDIO_AC_SELECTOR_UNIT = 0x05;
constexpr UCHAR USB_AUDIO_AC_FEATURE_UNIT = 0x06;
constexpr UCHAR USB_AUDIO_AC_PROCESSING_UNIT = 0x07;    // UAC1
constexpr UCHAR USB_AUDIO_AC_EXTENSION_UNIT = 0x08;     // UAC1
constexpr UCHAR USB_AUDIO2_AC_EFFECT_UNIT = 0x07;
constexpr UCHAR USB_AUDIO2_AC_PROCESSING_UNIT = 0x08;
constexpr UCHAR USB_AUDIO2_AC_EXTENSION_UNIT = 0x09;
constexpr UCHAR USB_AUDIO2_AC_CLOCK_SOURCE = 0x0A;
constexpr UCHAR USB_AUDIO2_AC_CLOCK_SELECTOR = 0x0B;
constexpr UCHAR USB_AUDIO2_AC_CLOCK_MULTIPLIER = 0x0C;
constexpr UCHAR USB_AUDIO2_AC_SAMPLE_RATE_CONVERTER = 0x0D;

// AudioStreaming interface descriptor subtypes; the class-specific endpoint's.
constexpr UCHAR USB_AUDIO_AS_GENERAL = 0x01;
constexpr UCHAR USB_AUDIO_AS_FORMAT_TYPE = 0x02;
constexpr UCHAR USB_AUDIO_AS_FORMAT_SPECIFIC = 0x03;
constexpr UCHAR USB_AUDIO_EP_GENERAL = 0x01;
constexpr UCHAR USB_AUDIO_FORMAT_TYPE_I = 0x01;
constexpr UCHAR USB_AUDIO_FORMAT_TYPE_III = 0x03;

// Terminal types the driver names (wTerminalType). A USB streaming terminal is the host's side,
// with no jacks or outputs to ask for.
constexpr USHORT USB_AUDIO_TERMINAL_USB_STREAMING = 0x0101;
constexpr USHORT USB_AUDIO_TERMINAL_SPEAKER = 0x0301;
constexpr USHORT USB_AUDIO_TERMINAL_HEADPHONES = 0x0302;

// Class requests. UAC1: GET/SET of CUR, MIN, MAX, RES and MEM. UAC2: CUR and RANGE.
constexpr UCHAR USB_AUDIO_SET_CUR = 0x01;
constexpr UCHAR USB_AUDIO_SET_MIN = 0x02;
constexpr UCHAR USB_AUDIO_SET_MAX = 0x03;
constexpr UCHAR USB_AUDIO_SET_RES = 0x04;
constexpr UCHAR USB_AUDIO_SET_MEM = 0x05;
constexpr UCHAR USB_AUDIO_GET_CUR = 0x81;
constexpr UCHAR USB_AUDIO_GET_MIN = 0x82;
constexpr UCHAR USB_AUDIO_GET_MAX = 0x83;
constexpr UCHAR USB_AUDIO_GET_RES = 0x84;
constexpr UCHAR USB_AUDIO_GET_MEM = 0x85;
constexpr UCHAR USB_AUDIO2_CUR = 0x01;
constexpr UCHAR USB_AUDIO2_RANGE = 0x02;
constexpr UCHAR USB_AUDIO2_MEM = 0x03;

// Feature unit control selectors (UAC1 and UAC2 share the first ones).
constexpr UCHAR USB_AUDIO_FU_MUTE_CONTROL = 0x01;
constexpr UCHAR USB_AUDIO_FU_VOLUME_CONTROL = 0x02;
constexpr UCHAR USB_AUDIO_FU_BASS_CONTROL = 0x03;
constexpr UCHAR USB_AUDIO_FU_MID_CONTROL = 0x04;
constexpr UCHAR USB_AUDIO_FU_TREBLE_CONTROL = 0x05;
constexpr UCHAR USB_AUDIO_FU_GRAPHIC_EQUALIZER_CONTROL = 0x06;
constexpr UCHAR USB_AUDIO_FU_AUTOMATIC_GAIN_CONTROL = 0x07;
constexpr UCHAR USB_AUDIO_FU_DELAY_CONTROL = 0x08;
constexpr UCHAR USB_AUDIO_FU_BASS_BOOST_CONTROL = 0x09;
constexpr UCHAR USB_AUDIO_FU_LOUDNESS_CONTROL = 0x0A;
constexpr UCHAR USB_AUDIO_SU_SELECTOR_CONTROL = 0x01;  // UAC2 selector units; UAC1 ones take selector 0
constexpr UCHAR USB_AUDIO_EP_SAMPLING_FREQ_CONTROL = 0x01;
constexpr UCHAR USB_AUDIO2_CS_SAM_FREQ_CONTROL = 0x01;
constexpr UCHAR USB_AUDIO2_CS_CLOCK_VALID_CONTROL = 0x02;
constexpr UCHAR USB_AUDIO2_CX_CLOCK_SELECTOR_CONTROL = 0x01;
constexpr UCHAR USB_AUDIO2_AS_ACT_ALT_SETTING_CONTROL = 0x01;
constexpr UCHAR USB_AUDIO2_AS_VAL_ALT_SETTINGS_CONTROL = 0x02;

// ---- URBs ----

using USBD_STATUS = LONG;
using USBD_PIPE_HANDLE = PVOID;
using USBD_CONFIGURATION_HANDLE = PVOID;
using USBD_INTERFACE_HANDLE = PVOID;

constexpr USHORT URB_FUNCTION_SELECT_CONFIGURATION = 0x0000;
constexpr USHORT URB_FUNCTION_SELECT_INTERFACE = 0x0001;
constexpr USHORT URB_FUNCTION_ABORT_PIPE = 0x0002;
constexpr USHORT URB_FUNCTION_GET_CURRENT_FRAME_NUMBER = 0x0007;
constexpr USHORT URB_FUNCTION_CONTROL_TRANSFER = 0x0008;
constexpr USHORT URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER = 0x0009;
constexpr USHORT URB_FUNCTION_ISOCH_TRANSFER = 0x000A;
constexpr USHORT URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE = 0x000B;
constexpr USHORT URB_FUNCTION_VENDOR_DEVICE = 0x0017;
constexpr USHORT URB_FUNCTION_VENDOR_INTERFACE = 0x0018;
constexpr USHORT URB_FUNCTION_VENDOR_ENDPOINT = 0x0019;
constexpr USHORT URB_FUNCTION_CLASS_DEVICE = 0x001A;
constexpr USHORT URB_FUNCTION_CLASS_INTERFACE = 0x001B;
constexpr USHORT URB_FUNCTION_CLASS_ENDPOINT = 0x001C;
constexpr USHORT URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL = 0x001E;
constexpr USHORT URB_FUNCTION_CLASS_OTHER = 0x001F;
constexpr USHORT URB_FUNCTION_VENDOR_OTHER = 0x0020;

constexpr ULONG USBD_TRANSFER_DIRECTION_OUT = 0;
constexpr ULONG USBD_TRANSFER_DIRECTION_IN = 1;
constexpr ULONG USBD_SHORT_TRANSFER_OK = 2;
constexpr ULONG USBD_START_ISO_TRANSFER_ASAP = 4;
constexpr ULONG USBD_DEFAULT_PIPE_TRANSFER = 8;

constexpr ULONG USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE = 0xFFFFFFFF;

// USBD status codes: bits 31..30 are the state (00 success, 01 pending, 11 error, 10 error the
// host controller reports without halting the endpoint).
constexpr bool USBD_SUCCESS(USBD_STATUS s) { return s >= 0; }
constexpr bool USBD_PENDING(USBD_STATUS s) { return (static_cast<ULONG>(s) >> 30) == 1; }
constexpr bool USBD_ERROR(USBD_STATUS s) { return s < 0; }
#define KVX_USBD_STATUS(name, value) constexpr USBD_STATUS name = static_cast<USBD_STATUS>(static_cast<ULONG>(value))
KVX_USBD_STATUS(USBD_STATUS_SUCCESS, 0x00000000u);
KVX_USBD_STATUS(USBD_STATUS_PENDING, 0x40000000u);
KVX_USBD_STATUS(USBD_STATUS_CRC, 0xC0000001u);
KVX_USBD_STATUS(USBD_STATUS_BTSTUFF, 0xC0000002u);
KVX_USBD_STATUS(USBD_STATUS_DATA_TOGGLE_MISMATCH, 0xC0000003u);
KVX_USBD_STATUS(USBD_STATUS_STALL_PID, 0xC0000004u);
KVX_USBD_STATUS(USBD_STATUS_DEV_NOT_RESPONDING, 0xC0000005u);
KVX_USBD_STATUS(USBD_STATUS_PID_CHECK_FAILURE, 0xC0000006u);
KVX_USBD_STATUS(USBD_STATUS_UNEXPECTED_PID, 0xC0000007u);
KVX_USBD_STATUS(USBD_STATUS_DATA_OVERRUN, 0xC0000008u);
KVX_USBD_STATUS(USBD_STATUS_DATA_UNDERRUN, 0xC0000009u);
KVX_USBD_STATUS(USBD_STATUS_BUFFER_OVERRUN, 0xC000000Cu);
KVX_USBD_STATUS(USBD_STATUS_BUFFER_UNDERRUN, 0xC000000Du);
KVX_USBD_STATUS(USBD_STATUS_NOT_ACCESSED, 0xC000000Fu);
KVX_USBD_STATUS(USBD_STATUS_FIFO, 0xC0000010u);
KVX_USBD_STATUS(USBD_STATUS_XACT_ERROR, 0xC0000011u);
KVX_USBD_STATUS(USBD_STATUS_BABBLE_DETECTED, 0xC0000012u);
KVX_USBD_STATUS(USBD_STATUS_DATA_BUFFER_ERROR, 0xC0000013u);
KVX_USBD_STATUS(USBD_STATUS_ENDPOINT_HALTED, 0xC0000030u);
KVX_USBD_STATUS(USBD_STATUS_INVALID_URB_FUNCTION, 0x80000200u);
KVX_USBD_STATUS(USBD_STATUS_INVALID_PARAMETER, 0x80000300u);
KVX_USBD_STATUS(USBD_STATUS_ERROR_BUSY, 0x80000400u);
KVX_USBD_STATUS(USBD_STATUS_INVALID_PIPE_HANDLE, 0x80000600u);
KVX_USBD_STATUS(USBD_STATUS_NO_BANDWIDTH, 0x80000700u);
KVX_USBD_STATUS(USBD_STATUS_INTERNAL_HC_ERROR, 0x80000800u);
KVX_USBD_STATUS(USBD_STATUS_ERROR_SHORT_TRANSFER, 0x80000900u);
KVX_USBD_STATUS(USBD_STATUS_BAD_START_FRAME, 0xC0000A00u);
KVX_USBD_STATUS(USBD_STATUS_ISOCH_REQUEST_FAILED, 0xC0000B00u);
KVX_USBD_STATUS(USBD_STATUS_NOT_SUPPORTED, 0xC0000E00u);
KVX_USBD_STATUS(USBD_STATUS_INVALID_CONFIGURATION_DESCRIPTOR, 0xC0000F00u);
KVX_USBD_STATUS(USBD_STATUS_INSUFFICIENT_RESOURCES, 0xC0001000u);
KVX_USBD_STATUS(USBD_STATUS_SET_CONFIG_FAILED, 0xC0002000u);
KVX_USBD_STATUS(USBD_STATUS_BUFFER_TOO_SMALL, 0xC0003000u);
KVX_USBD_STATUS(USBD_STATUS_INTERFACE_NOT_FOUND, 0xC0004000u);
KVX_USBD_STATUS(USBD_STATUS_INVALID_PIPE_FLAGS, 0xC0005000u);
KVX_USBD_STATUS(USBD_STATUS_TIMEOUT, 0xC0006000u);
KVX_USBD_STATUS(USBD_STATUS_DEVICE_GONE, 0xC0007000u);
KVX_USBD_STATUS(USBD_STATUS_CANCELED, 0xC0010000u);
KVX_USBD_STATUS(USBD_STATUS_ISO_NOT_ACCESSED_BY_HW, 0xC0020000u);
KVX_USBD_STATUS(USBD_STATUS_ISO_TD_ERROR, 0xC0030000u);
KVX_USBD_STATUS(USBD_STATUS_ISO_NA_LATE_USBPORT, 0xC0040000u);
KVX_USBD_STATUS(USBD_STATUS_ISO_NOT_ACCESSED_LATE, 0xC0050000u);
KVX_USBD_STATUS(USBD_STATUS_BAD_DESCRIPTOR, 0xC0100000u);
#undef KVX_USBD_STATUS

enum USBD_PIPE_TYPE : int {
    UsbdPipeTypeControl = 0,
    UsbdPipeTypeIsochronous = 1,
    UsbdPipeTypeBulk = 2,
    UsbdPipeTypeInterrupt = 3,
};

struct USBD_PIPE_INFORMATION {
    USHORT MaximumPacketSize;
    UCHAR EndpointAddress;
    UCHAR Interval;
    USBD_PIPE_TYPE PipeType;
    USBD_PIPE_HANDLE PipeHandle;
    ULONG MaximumTransferSize;
    ULONG PipeFlags;
};
using PUSBD_PIPE_INFORMATION = USBD_PIPE_INFORMATION*;

// Variable length: Length covers the pipes actually described (24 + 24 per pipe).
struct USBD_INTERFACE_INFORMATION {
    USHORT Length;
    UCHAR InterfaceNumber;
    UCHAR AlternateSetting;
    UCHAR Class;
    UCHAR SubClass;
    UCHAR Protocol;
    UCHAR Reserved;
    USBD_INTERFACE_HANDLE InterfaceHandle;
    ULONG NumberOfPipes;
    USBD_PIPE_INFORMATION Pipes[1];
};
using PUSBD_INTERFACE_INFORMATION = USBD_INTERFACE_INFORMATION*;

struct USBD_INTERFACE_LIST_ENTRY {
    PUSB_INTERFACE_DESCRIPTOR InterfaceDescriptor;
    PUSBD_INTERFACE_INFORMATION Interface;
};
using PUSBD_INTERFACE_LIST_ENTRY = USBD_INTERFACE_LIST_ENTRY*;

constexpr ULONG USBD_INTERFACE_INFORMATION_HEADER_SIZE = offsetof(USBD_INTERFACE_INFORMATION, Pipes);
constexpr ULONG GET_USBD_INTERFACE_SIZE(ULONG numEndpoints)
{
    return USBD_INTERFACE_INFORMATION_HEADER_SIZE + numEndpoints * sizeof(USBD_PIPE_INFORMATION);
}

struct USBD_ISO_PACKET_DESCRIPTOR {
    ULONG Offset;
    ULONG Length;
    USBD_STATUS Status;
};
using PUSBD_ISO_PACKET_DESCRIPTOR = USBD_ISO_PACKET_DESCRIPTOR*;

struct _URB_HEADER {
    USHORT Length;
    USHORT Function;
    USBD_STATUS Status;
    PVOID UsbdDeviceHandle;
    ULONG UsbdFlags;
};

// Host controller scratch space of every transfer URB.
struct _URB_HCD_AREA {
    PVOID Reserved8[8];
};

struct _URB_SELECT_CONFIGURATION {
    _URB_HEADER Hdr;
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor;  // null: unconfigure
    USBD_CONFIGURATION_HANDLE ConfigurationHandle;
    USBD_INTERFACE_INFORMATION Interface;  // followed by the further interfaces
};
struct _URB_SELECT_INTERFACE {
    _URB_HEADER Hdr;
    USBD_CONFIGURATION_HANDLE ConfigurationHandle;
    USBD_INTERFACE_INFORMATION Interface;
};
struct _URB_PIPE_REQUEST {
    _URB_HEADER Hdr;
    USBD_PIPE_HANDLE PipeHandle;
    ULONG Reserved;
};
struct _URB_GET_CURRENT_FRAME_NUMBER {
    _URB_HEADER Hdr;
    ULONG FrameNumber;
};
struct _URB_CONTROL_TRANSFER {
    _URB_HEADER Hdr;
    USBD_PIPE_HANDLE PipeHandle;
    ULONG TransferFlags;
    ULONG TransferBufferLength;
    PVOID TransferBuffer;
    PMDL TransferBufferMDL;
    union URB* UrbLink;
    _URB_HCD_AREA hca;
    UCHAR SetupPacket[8];
};
struct _URB_BULK_OR_INTERRUPT_TRANSFER {
    _URB_HEADER Hdr;
    USBD_PIPE_HANDLE PipeHandle;
    ULONG TransferFlags;
    ULONG TransferBufferLength;
    PVOID TransferBuffer;
    PMDL TransferBufferMDL;
    union URB* UrbLink;
    _URB_HCD_AREA hca;
};
struct _URB_ISOCH_TRANSFER {
    _URB_HEADER Hdr;
    USBD_PIPE_HANDLE PipeHandle;
    ULONG TransferFlags;
    ULONG TransferBufferLength;
    PVOID TransferBuffer;
    PMDL TransferBufferMDL;
    union URB* UrbLink;
    _URB_HCD_AREA hca;
    ULONG StartFrame;
    ULONG NumberOfPackets;
    ULONG ErrorCount;
    USBD_ISO_PACKET_DESCRIPTOR IsoPacket[1];
};
struct _URB_CONTROL_DESCRIPTOR_REQUEST {
    _URB_HEADER Hdr;
    PVOID Reserved;
    ULONG Reserved0;
    ULONG TransferBufferLength;
    PVOID TransferBuffer;
    PMDL TransferBufferMDL;
    union URB* UrbLink;
    _URB_HCD_AREA hca;
    USHORT Reserved1;
    UCHAR Index;
    UCHAR DescriptorType;
    USHORT LanguageId;
    USHORT Reserved2;
};
struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST {
    _URB_HEADER Hdr;
    PVOID Reserved;
    ULONG TransferFlags;
    ULONG TransferBufferLength;
    PVOID TransferBuffer;
    PMDL TransferBufferMDL;
    union URB* UrbLink;
    _URB_HCD_AREA hca;
    UCHAR RequestTypeReservedBits;
    UCHAR Request;
    USHORT Value;
    USHORT Index;
    USHORT Reserved1;
};

union URB {
    _URB_HEADER UrbHeader;
    _URB_SELECT_INTERFACE UrbSelectInterface;
    _URB_SELECT_CONFIGURATION UrbSelectConfiguration;
    _URB_PIPE_REQUEST UrbPipeRequest;
    _URB_GET_CURRENT_FRAME_NUMBER UrbGetCurrentFrameNumber;
    _URB_CONTROL_TRANSFER UrbControlTransfer;
    _URB_BULK_OR_INTERRUPT_TRANSFER UrbBulkOrInterruptTransfer;
    _URB_ISOCH_TRANSFER UrbIsochronousTransfer;
    _URB_CONTROL_DESCRIPTOR_REQUEST UrbControlDescriptorRequest;
    _URB_CONTROL_VENDOR_OR_CLASS_REQUEST UrbControlVendorClassRequest;
};
using PURB = URB*;

// The 64-bit layouts drivers compute their URB sizes from.
static_assert(sizeof(_URB_HEADER) == 24);
static_assert(sizeof(USBD_PIPE_INFORMATION) == 24);
static_assert(offsetof(USBD_PIPE_INFORMATION, PipeHandle) == 8);
static_assert(offsetof(USBD_INTERFACE_INFORMATION, Pipes) == 24);
static_assert(sizeof(USBD_INTERFACE_INFORMATION) == 48);
static_assert(sizeof(USBD_INTERFACE_LIST_ENTRY) == 16);
static_assert(sizeof(USBD_ISO_PACKET_DESCRIPTOR) == 12);
static_assert(offsetof(_URB_SELECT_CONFIGURATION, Interface) == 40);
static_assert(sizeof(_URB_SELECT_CONFIGURATION) == 88);
static_assert(offsetof(_URB_SELECT_INTERFACE, Interface) == 32);
static_assert(sizeof(_URB_SELECT_INTERFACE) == 80);
static_assert(sizeof(_URB_PIPE_REQUEST) == 40);
static_assert(sizeof(_URB_GET_CURRENT_FRAME_NUMBER) == 32);
static_assert(sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER) == 128);
static_assert(offsetof(_URB_CONTROL_TRANSFER, SetupPacket) == 128);
static_assert(offsetof(_URB_ISOCH_TRANSFER, StartFrame) == 128);
static_assert(offsetof(_URB_ISOCH_TRANSFER, IsoPacket) == 140);
static_assert(sizeof(_URB_ISOCH_TRANSFER) == 152);
static_assert(offsetof(_URB_CONTROL_DESCRIPTOR_REQUEST, Index) == 130);
static_assert(sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST) == 136);
static_assert(offsetof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST, Request) == 129);
static_assert(sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST) == 136);

// Size of an isochronous URB with n packets, as the system's own macro computes it.
constexpr ULONG GET_ISO_URB_SIZE(ULONG packets)
{
    return sizeof(_URB_ISOCH_TRANSFER) + (packets > 0 ? packets - 1 : 0) * sizeof(USBD_ISO_PACKET_DESCRIPTOR);
}
constexpr ULONG GET_SELECT_INTERFACE_REQUEST_SIZE(ULONG pipes)
{
    return offsetof(_URB_SELECT_INTERFACE, Interface) + GET_USBD_INTERFACE_SIZE(pipes);
}

// ---- the bus driver's internal device-control codes and interfaces ----

constexpr ULONG IOCTL_INTERNAL_USB_SUBMIT_URB = CTL_CODE(FILE_DEVICE_USB, 0, METHOD_NEITHER, FILE_ANY_ACCESS);
constexpr ULONG IOCTL_INTERNAL_USB_RESET_PORT = CTL_CODE(FILE_DEVICE_USB, 1, METHOD_NEITHER, FILE_ANY_ACCESS);
constexpr ULONG IOCTL_INTERNAL_USB_GET_PORT_STATUS = CTL_CODE(FILE_DEVICE_USB, 4, METHOD_NEITHER, FILE_ANY_ACCESS);
constexpr ULONG IOCTL_INTERNAL_USB_CYCLE_PORT = CTL_CODE(FILE_DEVICE_USB, 7, METHOD_NEITHER, FILE_ANY_ACCESS);
constexpr ULONG IOCTL_INTERNAL_USB_SUBMIT_IDLE_NOTIFICATION =
    CTL_CODE(FILE_DEVICE_USB, 9, METHOD_NEITHER, FILE_ANY_ACCESS);
static_assert(IOCTL_INTERNAL_USB_SUBMIT_URB == 0x220003);
static_assert(IOCTL_INTERNAL_USB_RESET_PORT == 0x220007);
static_assert(IOCTL_INTERNAL_USB_GET_PORT_STATUS == 0x220013);
static_assert(IOCTL_INTERNAL_USB_CYCLE_PORT == 0x22001F);

constexpr ULONG USBD_PORT_ENABLED = 0x00000001;
constexpr ULONG USBD_PORT_CONNECTED = 0x00000002;

// Selective suspend: the bus calls the callback when the device may be suspended; the IRP stays
// pending until it is cancelled or the device has to wake.
using USB_IDLE_CALLBACK = VOID (*)(PVOID Context);
struct USB_IDLE_CALLBACK_INFO {
    USB_IDLE_CALLBACK IdleCallback;
    PVOID IdleContext;
};
using PUSB_IDLE_CALLBACK_INFO = USB_IDLE_CALLBACK_INFO*;

// {B1A96A13-3DE0-4574-9B01-C08FEAB318D6}
constexpr GUID USB_BUS_INTERFACE_USBDI_GUID = {
    0xB1A96A13, 0x3DE0, 0x4574, {0x9B, 0x01, 0xC0, 0x8F, 0xEA, 0xB3, 0x18, 0xD6}};
constexpr USHORT USB_BUSIF_USBDI_VERSION_0 = 0;
constexpr USHORT USB_BUSIF_USBDI_VERSION_1 = 1;

struct USB_BUS_INFORMATION_LEVEL_0 {
    ULONG TotalBandwidth;
    ULONG ConsumedBandwidth;
};

using PUSB_BUSIFFN_GETUSBDI_VERSION = VOID (*)(PVOID BusContext, PULONG UsbdiVersion, PULONG HcdCapabilities);
using PUSB_BUSIFFN_QUERY_BUS_TIME = NTSTATUS (*)(PVOID BusContext, PULONG CurrentUsbFrame);
using PUSB_BUSIFFN_SUBMIT_ISO_OUT_URB = NTSTATUS (*)(PVOID BusContext, PURB Urb);
using PUSB_BUSIFFN_QUERY_BUS_INFORMATION = NTSTATUS (*)(PVOID BusContext, ULONG Level, PVOID BusInformationBuffer,
                                                        PULONG BusInformationBufferLength,
                                                        PULONG BusInformationActualLength);
using PUSB_BUSIFFN_IS_DEVICE_HIGH_SPEED = BOOLEAN (*)(PVOID BusContext);

struct USB_BUS_INTERFACE_USBDI_V1 {
    USHORT Size;
    USHORT Version;
    PVOID BusContext;
    PINTERFACE_REFERENCE InterfaceReference;
    PINTERFACE_DEREFERENCE InterfaceDereference;
    PUSB_BUSIFFN_GETUSBDI_VERSION GetUSBDIVersion;
    PUSB_BUSIFFN_QUERY_BUS_TIME QueryBusTime;
    PUSB_BUSIFFN_SUBMIT_ISO_OUT_URB SubmitIsoOutUrb;
    PUSB_BUSIFFN_QUERY_BUS_INFORMATION QueryBusInformation;
    PUSB_BUSIFFN_IS_DEVICE_HIGH_SPEED IsDeviceHighSpeed;
};
using PUSB_BUS_INTERFACE_USBDI_V1 = USB_BUS_INTERFACE_USBDI_V1*;
static_assert(sizeof(USB_BUS_INTERFACE_USBDI_V1) == 72);
static_assert(offsetof(USB_BUS_INTERFACE_USBDI_V1, BusContext) == offsetof(INTERFACE, Context));

// ---- USBD library ----

// The first interface descriptor at or after StartPosition that matches every criterion not
// given as -1. Walks the configuration's descriptors by bLength within wTotalLength (and within
// the pool block holding the configuration, when it is one): a zero or short bLength or a
// descriptor running past the end ends the walk. Null when none matches.
PUSB_INTERFACE_DESCRIPTOR USBD_ParseConfigurationDescriptorEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                                              PVOID StartPosition, LONG InterfaceNumber,
                                                              LONG AlternateSetting, LONG InterfaceClass,
                                                              LONG InterfaceSubClass, LONG InterfaceProtocol);

// The first descriptor of the type at or after StartPosition within TotalLength bytes of the
// buffer, under the same walking rules. Null when there is none.
PUSB_COMMON_DESCRIPTOR USBD_ParseDescriptors(PVOID DescriptorBuffer, ULONG TotalLength, PVOID StartPosition,
                                             LONG DescriptorType);

// A SELECT_CONFIGURATION URB for the interfaces of the list (ended by a null descriptor), with
// each entry's Interface pointed at its information in the URB. The caller frees it with
// ExFreePool. Null when allocation fails, or when an entry's descriptor lies outside the
// configuration or the request would not fit a URB.
PURB USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                       PUSBD_INTERFACE_LIST_ENTRY InterfaceList);

namespace platform {
// Pool tag of the URBs the USBD library allocates.
constexpr ULONG USBD_LIBRARY_TAG = MakePoolTag("USBD");
}  // namespace platform
