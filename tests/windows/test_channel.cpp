// What Wine's HID stack (tests/kernel/test_win32.py) cannot show of the win32 backend: a
// read left outstanding while reports pile up, the wake latch and the write time-out, on a
// message-mode named pipe playing the board's handle (it keeps report boundaries, can be
// made to stop reading, and its reads can be cancelled).
#include <windows.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"
#include "output/display.h"

using namespace torq;

// The server end of one message-mode pipe, listening from the start, and a client handle
// the real backend opened on it in `mode`, with its read state.
struct Pipe {
    explicit Pipe(OpenMode mode) {
        const std::wstring name = L"\\\\.\\pipe\\torqpanel-test-" + std::to_wstring(GetCurrentProcessId());
        server_.reset(CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                       PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE, 1, 4096, 4096, 0, nullptr));
        io_.hEvent = event_.get();
        ConnectNamedPipe(server_.get(), &io_);  // pending until the client opens it
        handle = OwnedHandle(layer, layer->Open(name.c_str(), mode));
        Finish(TRUE, 2000);
        REQUIRE((handle && state != nullptr));
    }

    // One message to the client; true when written whole.
    bool Send(const std::vector<uint8_t>& message) {
        const auto size = static_cast<DWORD>(message.size());
        return Finish(WriteFile(server_.get(), message.data(), size, nullptr, &io_), 5000) == size;
    }
    // One message from the client, or none (empty) within timeoutMs.
    std::vector<uint8_t> Receive(unsigned timeoutMs) {
        std::vector<uint8_t> message(4096);
        message.resize(Finish(ReadFile(server_.get(), message.data(), 4096, nullptr, &io_), timeoutMs));
        return message;
    }
    // One read through the backend's read state, its bytes kept in `delivered`.
    ReadOutcome Read(uint32_t timeoutMs) {
        uint8_t buffer[64] = {};
        const ReadOutcome outcome = state->Read(handle.Get(), buffer, 22, timeoutMs);
        delivered.assign(buffer, buffer + outcome.bytes);
        return outcome;
    }

    // The byte count of the operation on the server end, 0 when it failed; cancelled (and
    // waited for) when it does not end in time, so that nothing completes into io_ later.
    DWORD Finish(BOOL started, unsigned timeoutMs) {
        DWORD transferred = 0;
        if (!started && GetLastError() != ERROR_IO_PENDING) {
            return 0;
        }
        if (WaitForSingleObject(event_.get(), timeoutMs) != WAIT_OBJECT_0) {
            CancelIoEx(server_.get(), &io_);
        }
        return GetOverlappedResult(server_.get(), &io_, &transferred, TRUE) ? transferred : 0;
    }

    std::unique_ptr<void, decltype(&CloseHandle)> server_{nullptr, &CloseHandle};
    std::unique_ptr<void, decltype(&CloseHandle)> event_{CreateEventW(nullptr, TRUE, FALSE, nullptr), &CloseHandle};
    OVERLAPPED io_{};
    std::shared_ptr<HidLayer> layer = CreateOsHidLayer();
    OwnedHandle handle;
    std::unique_ptr<ReadState> state = layer->CreateReadState();  // after the handle: ends its read first
    std::vector<uint8_t> delivered;
};

TEST_CASE("a read left outstanding is taken up and never doubled") {
    Pipe pipe(OpenMode::Read);
    std::vector<uint8_t> caller(64, 0xEE);
    CHECK(pipe.state->Read(pipe.handle.Get(), caller.data(), 22, 30).wait == WaitResult::TimedOut);
    // The next call waits on the same read; it must not start another one beside it.
    CHECK(pipe.state->Read(pipe.handle.Get(), caller.data(), 22, 30).wait == WaitResult::TimedOut);

    // Two reports while nobody waits: the one outstanding read takes the first, into the
    // state's own buffer (the caller's may be in use for anything by now). The Wine cases
    // show the reports coming back in order.
    REQUIRE((pipe.Send(std::vector<uint8_t>(22, 0x01)) && pipe.Send(std::vector<uint8_t>(22, 0x02))));
    DWORD unread = 0;  // bytes of sent messages the client has not read yet
    for (int waited = 0; waited < 2000 && unread != 22; ++waited) {
        Sleep(1);
        PeekNamedPipe(reinterpret_cast<HANDLE>(pipe.handle.Get()), nullptr, 0, nullptr, &unread, nullptr);
    }
    CHECK_EQ(unread, 22u);
    CHECK(caller == std::vector<uint8_t>(64, 0xEE));
}

TEST_CASE("a wake cancels the waiting read and a later report is not lost") {
    Pipe pipe(OpenMode::Read);
    std::atomic<int> outcome{-1};
    std::thread reader([&] { outcome = static_cast<int>(pipe.Read(30000).wait); });
    // Gives the read time to start waiting, so that the wake has a read to cancel (a
    // wake that came first would end it as well, through the latch).
    Sleep(50);
    pipe.state->Wake();
    reader.join();
    CHECK_EQ(outcome.load(), static_cast<int>(WaitResult::TimedOut));

    // Latched until re-armed, even with a report waiting, which the cancelled read did
    // not swallow.
    const std::vector<uint8_t> report(22, 0x07);
    REQUIRE(pipe.Send(report));
    CHECK(pipe.Read(30000).wait == WaitResult::TimedOut);
    pipe.state->Rearm();
    CHECK(pipe.Read(2000).wait == WaitResult::Arrived);
    CHECK(pipe.delivered == report);
}

TEST_CASE("a write the board does not take times out and sends nothing") {
    Pipe pipe(OpenMode::Write);
    // The board reads nothing: once the pipe's buffer is full, a write waits for it.
    const std::vector<uint8_t> report(kReportSize, 0x06);
    int taken = 0;
    uint32_t written = 0;
    while (taken < 200 && pipe.layer->Write(pipe.handle.Get(), report.data(), kReportSize, &written)) {
        ++taken;
    }
    REQUIRE(taken < 200);
    CHECK_EQ(pipe.layer->LastError(), kErrorTimeout);
    CHECK_EQ(written, 0u);
    // What the board reads once it reads again: the reports taken, whole, not the one
    // that timed out; and the next write goes out.
    int received = 0;
    while (!pipe.Receive(200).empty()) {
        ++received;
    }
    CHECK_EQ(received, taken);
    CHECK(pipe.layer->Write(pipe.handle.Get(), report.data(), kReportSize, &written));
    CHECK(pipe.Receive(2000) == report);
}
