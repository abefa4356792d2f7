// Host side (tests and the command-line tool; never included by driver code): the audio stack's
// view of an adapter's filters. It lists the registered subdevices and their device interfaces,
// reads filter descriptors, opens a filter as the audio stack does (a create on the adapter's
// stack with the subdevice's reference string) and sends KS property and event requests to it
// through the device's dispatch.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/portcls/PortClsHost.h"

namespace host {

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", upper case.
std::string GuidText(const GUID& guid);

// Where a request is addressed: the filter, one of its pins (KSP_PIN) or one of its nodes
// (KSNODEPROPERTY with KSPROPERTY_TYPE_TOPOLOGY).
struct KsTarget {
    enum class Kind { Filter, Pin, Node };
    Kind What = Kind::Filter;
    ULONG Id = 0;
    static KsTarget Filter() { return {}; }
    static KsTarget Pin(ULONG id) { return {Kind::Pin, id}; }
    static KsTarget Node(ULONG id) { return {Kind::Node, id}; }
};

struct PinInfo {
    KSPIN_DATAFLOW DataFlow;
    KSPIN_COMMUNICATION Communication;
    GUID Category;  // GUID_NULL when the pin has none
    ULONG DataRangeCount;
    GUID Name = {};  // GUID_NULL when the pin has none
};

struct NodeInfo {
    GUID Type;
    GUID Name;  // GUID_NULL when the node has none
};

struct FilterDescription {
    std::vector<PinInfo> Pins;
    std::vector<NodeInfo> Nodes;
    std::vector<PCCONNECTION_DESCRIPTOR> Connections;
    std::vector<GUID> Categories;
};

// The result of one request: its status and the bytes the value buffer received.
struct KsResult {
    NTSTATUS Status;
    ULONG Bytes;
};

class FilterBrowser {
public:
    explicit FilterBrowser(PDEVICE_OBJECT adapterDevice) : m_device(adapterDevice) {}
    ~FilterBrowser();
    FilterBrowser(const FilterBrowser&) = delete;
    FilterBrowser& operator=(const FilterBrowser&) = delete;

    std::vector<platform::PcSubdeviceInfo> Filters() const { return platform::PcSubdevices(m_device); }
    std::vector<platform::PcConnectionInfo> Connections() const { return platform::PcPhysicalConnections(m_device); }
    // Names of the filters with an enabled interface of the category, in registration order.
    std::vector<std::u16string> FiltersOfCategory(const GUID& category) const;
    std::optional<FilterDescription> Describe(std::u16string_view name) const;

    // Opens a filter (IRP_MJ_CREATE on the adapter's stack); the handle is null on failure with
    // the status in *status.
    PFILE_OBJECT Open(std::u16string_view name, NTSTATUS* status = nullptr);
    NTSTATUS Close(PFILE_OBJECT filter);
    // Opens an object relative to an open file object (a pin instance of a filter): IRP_MJ_CREATE
    // with `name` as the file name and `parent` as its RelatedFileObject. Closed with Close, and
    // before its parent when the browser goes.
    PFILE_OBJECT OpenRelated(PFILE_OBJECT parent, std::u16string_view name, NTSTATUS* status = nullptr);
    // The adapter device the requests go to (the top of its stack receives them).
    PDEVICE_OBJECT Device() const { return m_device; }

    // One property request with the given verb (KSPROPERTY_TYPE_GET, SET or BASICSUPPORT); the
    // instance bytes follow the header.
    KsResult Property(PFILE_OBJECT filter, KsTarget target, const GUID& set, ULONG id, ULONG verb, void* value,
                      ULONG valueSize, const void* instance = nullptr, ULONG instanceSize = 0);
    // The raw request: header and instance exactly as given.
    KsResult RawProperty(PFILE_OBJECT filter, const void* input, ULONG inputSize, void* value, ULONG valueSize);

    template <typename T>
    KsResult Get(PFILE_OBJECT filter, KsTarget target, const GUID& set, ULONG id, T* value,
                 const void* instance = nullptr, ULONG instanceSize = 0)
    {
        return Property(filter, target, set, id, KSPROPERTY_TYPE_GET, value, sizeof(T), instance, instanceSize);
    }
    template <typename T>
    KsResult Set(PFILE_OBJECT filter, KsTarget target, const GUID& set, ULONG id, T value,
                 const void* instance = nullptr, ULONG instanceSize = 0)
    {
        return Property(filter, target, set, id, KSPROPERTY_TYPE_SET, &value, sizeof(T), instance, instanceSize);
    }

    // Basic support as the audio stack asks for it: the 40-byte description first, then, when
    // its DescriptionSize is larger, the whole reply. Empty on failure (status in *status).
    std::vector<uint8_t> DescribeProperty(PFILE_OBJECT filter, KsTarget target, const GUID& set, ULONG id,
                                          NTSTATUS* status = nullptr);
    // A list property: a ValueSize 0 query for the size, then the read of that many bytes.
    std::vector<uint8_t> GetList(PFILE_OBJECT filter, KsTarget target, const GUID& set, ULONG id,
                                 NTSTATUS* status = nullptr, const void* instance = nullptr, ULONG instanceSize = 0);

    // Enables an event that sets `data`'s event object; `data` stays the client's until disabled.
    NTSTATUS EnableEvent(PFILE_OBJECT filter, KsTarget target, const GUID& set, ULONG id, KSEVENTDATA* data);
    NTSTATUS DisableEvent(PFILE_OBJECT filter, KSEVENTDATA* data);

    // A text dump of a topology filter: its pins, nodes and connections, then the range and the
    // per-channel values of every node whose type names a standard control. For tests and the
    // command-line tool.
    std::string DumpTopology(std::u16string_view name);

private:
    NTSTATUS Send(PFILE_OBJECT filter, UCHAR major, ULONG code, const void* input, ULONG inputSize, void* output,
                  ULONG outputSize, ULONG_PTR* information);

    PDEVICE_OBJECT m_device;
    std::vector<PFILE_OBJECT> m_open;
};

}  // namespace host
