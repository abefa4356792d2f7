// Test-only: a run of arbitrary ASIO requests from two clients of the simulated ASIO headset,
// with the clock moving between them. Whatever the requests, nothing past a reply reaches the
// caller, the driver survives, and closing the clients and removing the device leave nothing
// behind. Shared by the libFuzzer target and the GoogleTest replay.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "host/AsioSession.h"
#include "platform/nt/Clock.h"
#include "platform/nt/Ob.h"
#include "tests/support/HostSession.h"

namespace kvxfuzz {

// The codes an input byte picks from: the protocol's 22 and function 0x812.
constexpr ULONG ASIO_FUZZ_CODES[] = {
    host::asio::GET_DRIVER_NAME, host::asio::GET_CHANNELS,   host::asio::GET_CHANNEL_INFO,
    host::asio::GET_SAMPLE_TYPES, host::asio::GET_LATENCY_TABLE, host::asio::SET_EVENT,
    host::asio::GET_BUSY,        host::asio::SET_SAMPLE_TYPE, host::asio::SET_LATENCY,
    host::asio::GET_LATENCIES,   host::asio::GET_SAMPLE_RATE, host::asio::CAN_SAMPLE_RATE,
    host::asio::SET_SAMPLE_RATE, host::asio::GET_BUFFER_SIZE, host::asio::CREATE_BUFFERS,
    host::asio::DISPOSE_BUFFERS, host::asio::START,           host::asio::STOP,
    host::asio::RELEASE_EVENT,   host::asio::CAN_IO_FORMAT,   host::asio::SET_IO_FORMAT,
    host::asio::GET_IO_FORMAT,   0x1DA048,
};
constexpr size_t ASIO_FUZZ_CODE_COUNT = sizeof(ASIO_FUZZ_CODES) / sizeof(ASIO_FUZZ_CODES[0]);
constexpr size_t ASIO_FUZZ_MAX_REQUESTS = 24;
constexpr uint8_t ASIO_FUZZ_FIRST_POWER_OP = 60;

// Input: requests of 5 header bytes and their input: byte 0 bit 7 the second client, bit 6 "let
// 5 ms pass first", bits 0-5 the code (mod 23), or from 60 on a power change of the device (60,
// 61: D3; 62, 63: D0) in place of a request; bytes 1-2 the input length, 3-4 the output length
// (little-endian, mod 300); then the input bytes (zeros past the end of the data). An 8-byte input
// whose first byte is 0xEE carries the client's own event handle instead. A stop outside D0
// waits for D0: it is sent, and the device powered up at the end completes it.
inline bool RunAsioOnce(const uint8_t* data, size_t size, std::string* failure)
{
    kvxtest::HostSession session;
    if (session.StartProfile("uac1-asio-headset.json") != STATUS_SUCCESS) {
        *failure = "the device did not start";
        return false;
    }
    bool ok = true;
    {
        host::AsioSession first(session.Fdo());
        host::AsioSession second(session.Fdo(), true);
        host::AsioSession* clients[2] = {&first, &second};
        HANDLE events[2] = {nullptr, nullptr};
        for (int c = 0; c < 2; ++c) {
            clients[c]->Open();
            events[c] = clients[c]->NewEvent();
        }
        bool inD0 = true;
        std::vector<std::unique_ptr<host::AsioPendingRequest>> waiting;
        size_t at = 0;
        for (size_t n = 0; n < ASIO_FUZZ_MAX_REQUESTS && at + 5 <= size && ok; ++n) {
            const uint8_t head = data[at];
            const uint8_t op = head & 0x3F;
            const ULONG code = ASIO_FUZZ_CODES[op % ASIO_FUZZ_CODE_COUNT];
            const ULONG inputLength = (data[at + 1] | data[at + 2] << 8) % 300;
            const ULONG outputLength = (data[at + 3] | data[at + 4] << 8) % 300;
            at += 5;
            std::vector<uint8_t> input(inputLength, 0);
            const size_t take = std::min<size_t>(inputLength, size - at);
            if (take != 0) std::memcpy(input.data(), data + at, take);
            at += take;
            host::AsioSession& client = *clients[head >> 7];
            if (inputLength == 8 && input[0] == 0xEE) {
                input = client.HandleBytes(events[head >> 7]);
            }
            if ((head & 0x40) != 0) {
                platform::RunFor(std::chrono::milliseconds(5));
            }
            if (op >= ASIO_FUZZ_FIRST_POWER_OP) {
                inD0 = op >= ASIO_FUZZ_FIRST_POWER_OP + 2;
                session.Pnp().SetPower(session.Pdo(), inD0 ? PowerDeviceD0 : PowerDeviceD3);
                continue;
            }
            if (!inD0 && code == host::asio::STOP) {
                waiting.push_back(client.Send(code, input.data(), inputLength, outputLength));
                continue;
            }
            const host::AsioReply reply = client.Control(code, input, outputLength);
            if (reply.Status == STATUS_PENDING) {
                *failure = "a request other than a stop outside D0 stayed pending";
                ok = false;
                continue;
            }
            if (reply.Status != STATUS_BUFFER_OVERFLOW && reply.Information > outputLength) {
                *failure = "Information passes the output";
                ok = false;
            }
            for (size_t k = reply.Information; ok && k < reply.Output.size(); ++k) {
                if (reply.Output[k] != 0xA5) {
                    *failure = "a byte past the reply was written";
                    ok = false;
                }
            }
        }
        // Back in D0 every waiting stop completes.
        if (!inD0) {
            session.Pnp().SetPower(session.Pdo(), PowerDeviceD0);
        }
        for (const auto& request : waiting) {
            if (host::AsioSession::Wait(*request).Status == STATUS_PENDING && ok) {
                *failure = "a stop still waits in D0";
                ok = false;
            }
        }
        for (int c = 0; c < 2; ++c) {
            clients[c]->Close();
            ZwClose(events[c]);
        }
    }
    std::string report;
    if (!session.End(&report)) {
        *failure = report;
        ok = false;
    }
    return ok;
}

}  // namespace kvxfuzz
