// Host side of `kvx play` and `kvx record`: the adapter driver installed on a simulated device
// through the host PnP manager and started; at the end the device is removed, the driver
// unloaded, and pool left behind is reported.
#pragma once

#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "host/AudioEngine.h"
#include "host/AudioEnginePin.h"
#include "host/PnpManager.h"
#include "platform/nt/Callback.h"
#include "sim/SimPort.h"

class UsbStreamEndpoint;

namespace kvx {

class StreamSession {
public:
    StreamSession() = default;
    // Ends the session if End() was not called.
    ~StreamSession();
    StreamSession(const StreamSession&) = delete;
    StreamSession& operator=(const StreamSession&) = delete;

    // Plugs the device in, loads the driver, adds and starts the device. The registry is made
    // fresh and the system is Windows 10.
    NTSTATUS Start(std::unique_ptr<sim::SimDevice> device);
    // Writes "SelectiveSuspendEnabled" = 1 for the device instance at the next Start, so that the
    // driver lets the hub suspend the idle device.
    void SetSelectiveSuspend(bool enabled) { m_selectiveSuspend = enabled; }
    // Lets the machine run until the hub has suspended the idle device (at most `limitMs`); false
    // when it did not. *afterStartMs: when, counted from the end of Start.
    bool WaitUntilSuspended(double* afterStartMs, uint32_t limitMs = 15000);
    PDEVICE_OBJECT Fdo();
    sim::SimDevice& Device() { return m_port->Device(); }
    platform::usb::UsbBus& Bus() { return m_port->Bus(); }
    host::PnpManager& Pnp() { return *m_pnp; }
    PDEVICE_OBJECT Pdo() { return m_port->Pdo(); }

    // Why Start failed with `status`: the driver's last debug line during it, else the status.
    std::string StartFailure(NTSTATUS status) const;

    // Removes the device's stack now (End then only unloads the driver).
    NTSTATUS Remove();

    // An observer of the endpoint behind a wave filter for the audio engine's probe: it decodes
    // the endpoint's transport messages into render fills and the transfer ring (empty when there
    // is no such endpoint).
    host::EngineObserve ObserveTransport(std::u16string_view filterName);
    // The PCM formats of the endpoint behind a wave filter, in the order the descriptor parser
    // listed them (empty when there is no such endpoint).
    std::vector<host::AudioFormat> EndpointFormats(std::u16string_view filterName);
    // The rate the driver follows for a render endpoint paced by explicit feedback, in frames
    // per second (its averaged feedback); 0 when the endpoint has no such rate.
    LONG MeasuredRate(std::u16string_view filterName);

    // Removes the device and unloads the driver; false with a one-line *report when pool
    // allocations made since Start are left.
    bool End(std::string* report);

    // The endpoint behind the first render (or capture) wave filter, read in-process; null when
    // there is none. Valid while the device is started.
    UsbStreamEndpoint* FirstEndpoint(bool capture);

private:
    UsbStreamEndpoint* Endpoint(std::u16string_view filterName);

    std::unique_ptr<sim::SimPort> m_port;
    std::unique_ptr<host::PnpManager> m_pnp;
    bool m_added = false;
    bool m_ended = true;
    bool m_selectiveSuspend = false;
    int64_t m_startedAt = 0;
    std::string m_startLog;  // the driver's debug output during Start
    uint64_t m_serial = 0;
};

struct StreamOptions;
// Starts the session as `kvx COMMAND` does: the options' device (LoadStreamDevice), the machine's
// clock paced by the wall clock unless --fast, selective suspend as asked, then the bus's
// completion timing. EXIT_OK; EXIT_USAGE when the device does not load or EXIT_FAILURE_RUN when
// it does not start, with the line on `err`. The caller holds the RealTimePriorityScope.
int StartForCommand(const std::string& command, const StreamOptions& options, StreamSession& session,
                    std::ostream& err);

// The device's isochronous OUT data endpoint that received bytes (0 when none did) and its
// isochronous IN data endpoints, from the configuration descriptor.
uint8_t WireEndpoint(sim::SimDevice& device);
std::vector<uint8_t> SourceEndpoints(sim::SimDevice& device);
std::vector<uint8_t> SinkEndpoints(sim::SimDevice& device);
// Gives every isochronous OUT data endpoint a sink playing `format` in the endpoint's
// synchronization type (an asynchronous sink runs on the device clock and feeds back its fill).
void AttachSinks(sim::SimDevice& device, const host::AudioFormat& format);
// The channels a UAC 1.0 device receives for a stream of `format`: those of the FORMAT_TYPE of the
// streaming alternate setting that carries the format's rate and container on an isochronous OUT
// endpoint (a device may take fewer channels than its endpoint's formats list); the format's own
// where no such setting says otherwise.
USHORT WireChannels(sim::SimDevice& device, const host::AudioFormat& format);
// Whether the device's audio interfaces are of the 2.0 class.
bool IsUac2Device(sim::SimDevice& device);

}  // namespace kvx
