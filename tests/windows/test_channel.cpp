// The channel over real handles: a message-mode named pipe plays the board (it keeps
// report boundaries, waits like a HID read handle, can be cancelled, and fails with
// 109 or 232 when the other end goes), and the device code, the listener and the
// win32 read state work on it unchanged.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "device/hid_device.h"
#include "fixtures.h"
#include "harness.h"
#include "module/manager.h"

using namespace torq;
using torqtest::InputReport;
using torqtest::PipeBoard;
using torqtest::PipeEnd;

namespace {

// A board on a pipe, made the process's layer, and a manager that ran init on it.
struct Rig {
    explicit Rig(uint16_t version = 0x0105, const wchar_t* serial = L"A1B2")
        : board(std::make_shared<PipeBoard>(version, serial)) {
        SetActiveHidLayer(board);
        manager = std::make_unique<CManager>();
    }
    ~Rig() {
        manager.reset();
        SetActiveHidLayer(nullptr);
    }
    Rig(const Rig&) = delete;
    Rig& operator=(const Rig&) = delete;

    CHidDevice& device() { return manager->Device(); }

    // One read as the listener makes it; bytesRead starts at 0.
    ReadResult Read(std::vector<uint8_t>* report = nullptr, uint32_t* bytes = nullptr) {
        uint8_t buffer[kInputReportCapacity] = {};
        uint32_t bytesRead = 0;
        const ReadResult result = device().ReadInputReport(buffer, manager->Caps().InputReportByteLength, &bytesRead);
        if (report != nullptr) {
            report->assign(buffer, buffer + 22);
        }
        if (bytes != nullptr) {
            *bytes = bytesRead;
        }
        return result;
    }

    std::shared_ptr<PipeBoard> board;
    std::unique_ptr<CManager> manager;
};

}  // namespace

TORQ_TEST(reads_suppress_repeats_and_report_their_length) {
    Rig rig;
    REQUIRE_EQ(rig.manager->InitDevice(), OpenState::Ready);
    const auto first = InputReport({0x01});
    const auto idOnly = [&] {
        auto report = first;
        report[0] = 0x02;  // differs in the report-ID byte alone
        return report;
    }();

    // An all-zero first report equals the zeroed previous one.
    REQUIRE(rig.board->input.Send(InputReport({})));
    CHECK_EQ(rig.Read(), ReadResult::Unchanged);

    std::vector<uint8_t> got;
    uint32_t bytes = 0;
    REQUIRE(rig.board->input.Send(first));
    CHECK_EQ(rig.Read(&got, &bytes), ReadResult::Changed);
    CHECK(got == first);
    CHECK_EQ(bytes, 22u);

    REQUIRE(rig.board->input.Send(first));
    CHECK_EQ(rig.Read(), ReadResult::Unchanged);

    REQUIRE(rig.board->input.Send(idOnly));
    CHECK_EQ(rig.Read(&got, &bytes), ReadResult::Changed);
    CHECK(got == idOnly);
    CHECK_EQ(bytes, 22u);
    CHECK(rig.device().Connected());
}

// The read state alone, on a pipe of its own, with short time-outs.
struct PipeReader {
    PipeReader() : name(torqtest::UniquePipeName(L"reads")), server(name), layer(CreateOsHidLayer()) {
        handle = layer->Open(name.c_str(), OpenMode::Read);
        state = layer->CreateReadState();
    }
    ~PipeReader() {
        if (state) {
            state->Release(handle);
        }
        if (IsOpenHandle(handle)) {
            layer->Close(handle);
        }
    }
    PipeReader(const PipeReader&) = delete;
    PipeReader& operator=(const PipeReader&) = delete;

    ReadOutcome Read(std::vector<uint8_t>* report, uint32_t timeoutMs) {
        uint8_t buffer[64] = {};
        const ReadOutcome outcome = state->Read(handle, buffer, 22, timeoutMs);
        if (report != nullptr) {
            report->assign(buffer, buffer + outcome.bytes);
        }
        return outcome;
    }

    std::wstring name;
    PipeEnd server;
    std::shared_ptr<HidLayer> layer;
    HidHandle handle = kNullHandle;
    std::unique_ptr<ReadState> state;
};

TORQ_TEST(a_read_left_outstanding_is_taken_up_and_never_doubled) {
    PipeReader pipe;
    REQUIRE(IsOpenHandle(pipe.handle));
    REQUIRE(pipe.state != nullptr);

    uint8_t caller[64];
    std::memset(caller, 0xEE, sizeof caller);
    CHECK(pipe.state->Read(pipe.handle, caller, 22, 30).wait == WaitResult::TimedOut);
    // The next call waits on the same read; it must not start another one beside it.
    CHECK(pipe.state->Read(pipe.handle, caller, 22, 30).wait == WaitResult::TimedOut);

    // Two reports while nobody waits: the outstanding read takes the first, into the
    // state's own buffer (the caller's may be in use for anything by now).
    const auto first = InputReport({0x01, 0x02});
    const auto second = InputReport({0x03, 0x04});
    REQUIRE(pipe.server.Send(first));
    REQUIRE(pipe.server.Send(second));
    CHECK(torqtest::WaitUntil([&] { return pipe.server.Unread(reinterpret_cast<HANDLE>(pipe.handle)) == 22; }, 2000));
    CHECK(std::all_of(std::begin(caller), std::end(caller), [](uint8_t b) { return b == 0xEE; }));

    // Then they come in order, each once: a second read started beside the outstanding
    // one would have taken the second report first.
    std::vector<uint8_t> got;
    ReadOutcome outcome = pipe.Read(&got, 1000);
    CHECK(outcome.wait == WaitResult::Arrived);
    CHECK(!outcome.immediate);
    CHECK(got == first);
    outcome = pipe.Read(&got, 1000);
    CHECK(outcome.wait == WaitResult::Arrived);
    CHECK(outcome.immediate);
    CHECK(got == second);
    CHECK(pipe.Read(nullptr, 30).wait == WaitResult::TimedOut);
}

TORQ_TEST(a_wake_cancels_the_waiting_read_and_a_later_report_is_not_lost) {
    PipeReader pipe;
    REQUIRE(pipe.state != nullptr);

    std::atomic<int> outcome{-1};
    std::thread reader([&] { outcome = static_cast<int>(pipe.Read(nullptr, 30000).wait); });
    // Gives the read time to start waiting, so that the wake has a read to cancel (a
    // wake that came first would end it as quickly, through the latch).
    Sleep(50);
    pipe.state->Wake();
    CHECK(torqtest::WaitUntil([&] { return outcome.load() != -1; }, 2000));
    reader.join();
    CHECK_EQ(outcome.load(), static_cast<int>(WaitResult::TimedOut));

    // Latched until re-armed, even with a report waiting ...
    const auto report = InputReport({0x07});
    REQUIRE(pipe.server.Send(report));
    CHECK(pipe.Read(nullptr, 30000).wait == WaitResult::TimedOut);
    // ... which the cancelled read did not swallow.
    pipe.state->Rearm();
    std::vector<uint8_t> got;
    CHECK(pipe.Read(&got, 2000).wait == WaitResult::Arrived);
    CHECK(got == report);
}

TORQ_TEST(the_board_closing_its_end_fails_the_read_and_stops_the_channel) {
    Rig rig;
    REQUIRE_EQ(rig.manager->InitDevice(), OpenState::Ready);
    rig.board->input.Close();  // the read handle now meets ERROR_BROKEN_PIPE

    CHECK_EQ(rig.Read(), ReadResult::Failed);
    CHECK(!rig.device().Connected());
    CHECK(!rig.device().CanRead());
    // Writes stop too, without a call to the system.
    const int writes = rig.board->Writes();
    rig.manager->Display().SendReport();
    CHECK_EQ(rig.board->Writes(), writes);
}

TORQ_TEST(a_failed_write_disconnects_and_silences_later_writes) {
    Rig rig;
    REQUIRE_EQ(rig.manager->InitDevice(), OpenState::Ready);
    CHECK(rig.board->output.Receive(2000).has_value());
    rig.board->output.Close();  // WriteFile now fails with ERROR_NO_DATA

    const int writes = rig.board->Writes();
    uint32_t written = 0;
    CHECK_EQ(rig.device().WriteOutputReport(rig.manager->Display().Report(), kReportSize, &written), false);
    CHECK_EQ(rig.board->Writes(), writes + 1);
    CHECK(!rig.device().Connected());
    CHECK_EQ(rig.device().WriteOutputReport(rig.manager->Display().Report(), kReportSize, &written), false);
    CHECK_EQ(rig.board->Writes(), writes + 1);
}

TORQ_TEST(a_board_that_stops_reading_times_the_write_out_and_stays_connected) {
    Rig rig;
    REQUIRE_EQ(rig.manager->InitDevice(), OpenState::Ready);
    REQUIRE(rig.board->output.Receive(2000).has_value());
    // The board reads nothing: once the pipe's buffer is full, a write waits for it.
    int taken = 0;
    uint32_t written = 0;
    while (taken < 200 && rig.device().WriteOutputReport(rig.manager->Display().Report(), kReportSize, &written)) {
        ++taken;
    }
    REQUIRE(taken < 200);
    CHECK_EQ(GetLastError(), static_cast<DWORD>(ERROR_TIMEOUT));
    CHECK_EQ(written, 0u);
    CHECK(rig.device().Connected());
    // What the board reads once it reads again: the reports taken, whole; the one that
    // timed out is not among them, and the next write goes out.
    int received = 0;
    while (rig.board->output.Receive(200).has_value()) {
        ++received;
    }
    CHECK_EQ(received, taken);
    CHECK_EQ(rig.device().WriteOutputReport(rig.manager->Display().Report(), kReportSize, &written), true);
    const auto next = rig.board->output.Receive(2000);
    REQUIRE(next.has_value());
    CHECK_EQ(next->size(), kReportSize);
}

TORQ_TEST(teardown_with_the_listener_waiting_blanks_the_board_and_closes_everything) {
    auto board = std::make_shared<PipeBoard>(0x0105, L"A1B2");
    SetActiveHidLayer(board);
    {
        std::unique_ptr<CEngine> engine = BuildEngine("A1B2");
        REQUIRE_EQ(engine->manager->InitDevice(), OpenState::Ready);
        const auto initBlank = board->output.Receive(2000);
        REQUIRE(initBlank.has_value());
        engine->initialized = true;
        engine->manager->Display().SetGear(0x33, 0);
        engine->manager->Display().SendReport();
        const auto shown = board->output.Receive(2000);
        REQUIRE(shown.has_value());
        REQUIRE_EQ(engine->manager->Listener().Start(), ListenerResult::Done);
        CHECK(torqtest::WaitUntil([&] { return engine->manager->Listener().Running(); }, 2000));
        Sleep(30);  // into its read

        const ULONGLONG start = GetTickCount64();
        DestroyEngine(std::move(engine));
        CHECK(GetTickCount64() - start < 1000);

        // The board was left blank, as init had left it, not showing the gear.
        const auto blank = board->output.Receive(2000);
        REQUIRE(blank.has_value());
        CHECK(*blank == *initBlank);
        CHECK(*shown != *initBlank);
    }
    CHECK(board->OpenHandles().empty());
    SetActiveHidLayer(nullptr);
}
