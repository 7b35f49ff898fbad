#include "fixtures.h"

#include <algorithm>
#include <cstring>

#include "device/hid_device.h"

namespace torqtest {

using torq::HidHandle;
using torq::OpenMode;

namespace {

// The layer calls of the doubles must leave the thread's last error as the real call
// left it, since the device code reads it right after.
class KeepLastError {
public:
    KeepLastError() : error_(GetLastError()) {}
    ~KeepLastError() { SetLastError(error_); }
    KeepLastError(const KeepLastError&) = delete;
    KeepLastError& operator=(const KeepLastError&) = delete;

private:
    DWORD error_;
};

class OwnedEvent {
public:
    OwnedEvent() : event_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
    ~OwnedEvent() {
        if (event_ != nullptr) {
            CloseHandle(event_);
        }
    }
    OwnedEvent(const OwnedEvent&) = delete;
    OwnedEvent& operator=(const OwnedEvent&) = delete;
    HANDLE get() const { return event_; }

private:
    HANDLE event_;
};

// A finished overlapped operation on `pipe`, waited for at most timeoutMs; cancelled
// (and waited for) otherwise, so the record is never written after it goes.
bool Finish(HANDLE pipe, OVERLAPPED& overlapped, BOOL started, DWORD* transferred, unsigned timeoutMs) {
    if (!started && GetLastError() != ERROR_IO_PENDING) {
        return GetLastError() == ERROR_MORE_DATA;
    }
    if (WaitForSingleObject(overlapped.hEvent, timeoutMs) != WAIT_OBJECT_0) {
        CancelIoEx(pipe, &overlapped);
        GetOverlappedResult(pipe, &overlapped, transferred, TRUE);
        return false;
    }
    return GetOverlappedResult(pipe, &overlapped, transferred, FALSE) != FALSE || GetLastError() == ERROR_MORE_DATA;
}

class FakeInterfaceSet final : public torq::InterfaceSet {
public:
    explicit FakeInterfaceSet(std::vector<std::wstring> paths) : paths_(std::move(paths)) {}

    bool Enumerate(uint32_t index) override {
        selected_ = index;
        SetLastError(index < paths_.size() ? ERROR_SUCCESS : static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
        return index < paths_.size();
    }

    bool Detail(torq::InterfaceDetail* detail, uint32_t detailSize, uint32_t* requiredSize) override {
        const std::wstring& path = paths_.at(selected_);
        const auto needed = static_cast<uint32_t>(offsetof(torq::InterfaceDetail, DevicePath) +
                                                  (path.size() + 1) * sizeof(wchar_t));
        *requiredSize = needed;
        if (detail == nullptr || detailSize < needed) {
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return false;
        }
        std::memcpy(reinterpret_cast<unsigned char*>(detail) + offsetof(torq::InterfaceDetail, DevicePath),
                    path.c_str(), (path.size() + 1) * sizeof(wchar_t));
        SetLastError(ERROR_SUCCESS);
        return true;
    }

private:
    std::vector<std::wstring> paths_;
    uint32_t selected_ = 0;
};

// The board's capabilities: 22-byte input reports with 32 buttons (usages 1 to 32) and
// nine values, 54-byte output reports.
class BoardPreparsedData final : public torq::PreparsedData {
public:
    uint32_t GetCaps(torq::HidCaps* caps) const override {
        *caps = torq::HidCaps{};
        caps->UsagePage = 0x01;
        caps->Usage = 0x04;
        caps->InputReportByteLength = 22;
        caps->OutputReportByteLength = 54;
        caps->NumberLinkCollectionNodes = 1;
        caps->NumberInputButtonCaps = 1;
        caps->NumberInputValueCaps = 9;
        caps->NumberOutputValueCaps = 1;
        return torq::kHidpStatusSuccess;
    }
    uint32_t GetInputButtonCaps(torq::HidButtonCaps* caps, uint16_t* length) const override {
        if (*length < 1) {
            return torq::kHidpStatusBufferTooSmall;
        }
        caps[0] = torq::HidButtonCaps{};
        caps[0].UsagePage = 0x09;
        caps[0].IsRange = 1;
        caps[0].Range.UsageMin = 1;
        caps[0].Range.UsageMax = 32;
        *length = 1;
        return torq::kHidpStatusSuccess;
    }
};

}  // namespace

HidHandle RecordingLayer::Open(const wchar_t* path, OpenMode mode) {
    const HidHandle handle = inner_->Open(path, mode);
    KeepLastError keep;
    if (torq::IsOpenHandle(handle)) {
        std::lock_guard<std::mutex> lock(mutex_);
        open_.insert(handle);
        all_.push_back(handle);
    }
    return handle;
}

void RecordingLayer::Close(HidHandle handle) {
    {
        KeepLastError keep;
        std::lock_guard<std::mutex> lock(mutex_);
        open_.erase(handle);
    }
    inner_->Close(handle);
}

bool RecordingLayer::GetAttributes(HidHandle handle, torq::HidAttributes* attributes) {
    const bool ok = inner_->GetAttributes(handle, attributes);
    if (ok) {
        NoteExamined(*attributes);
    }
    return ok;
}

void RecordingLayer::NoteExamined(const torq::HidAttributes& attributes) {
    KeepLastError keep;
    std::lock_guard<std::mutex> lock(mutex_);
    examined_.push_back(attributes);
}

bool RecordingLayer::SetNumInputBuffers(HidHandle handle, uint32_t count) {
    const bool ok = inner_->SetNumInputBuffers(handle, count);
    KeepLastError keep;
    std::lock_guard<std::mutex> lock(mutex_);
    inputBufferCalls_.emplace_back(count, ok);
    return ok;
}

bool RecordingLayer::Write(HidHandle handle, const uint8_t* data, uint32_t length, uint32_t* written) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++writes_;
    }
    return inner_->Write(handle, data, length, written);
}

std::set<HidHandle> RecordingLayer::OpenHandles() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return open_;
}

std::vector<HidHandle> RecordingLayer::AllHandles() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return all_;
}

std::vector<torq::HidAttributes> RecordingLayer::Examined() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return examined_;
}

int RecordingLayer::Writes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return writes_;
}

std::vector<std::pair<uint32_t, bool>> RecordingLayer::InputBufferCalls() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return inputBufferCalls_;
}

PipeEnd::PipeEnd(const std::wstring& name) : connect_(std::make_unique<OVERLAPPED>()) {
    pipe_ = CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                             PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1, 4096, 4096, 0, nullptr);
    connect_->hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (pipe_ != INVALID_HANDLE_VALUE) {
        ConnectNamedPipe(pipe_, connect_.get());  // completes when the client opens it
    }
}

PipeEnd::~PipeEnd() {
    Close();
    CloseHandle(connect_->hEvent);
}

void PipeEnd::Close() {
    if (pipe_ == INVALID_HANDLE_VALUE) {
        return;
    }
    // A connect that never happened must end before its record goes.
    CancelIoEx(pipe_, connect_.get());
    DWORD ignored = 0;
    GetOverlappedResult(pipe_, connect_.get(), &ignored, TRUE);
    CloseHandle(pipe_);
    pipe_ = INVALID_HANDLE_VALUE;
}

bool PipeEnd::Send(const std::vector<uint8_t>& message) {
    OwnedEvent event;
    OVERLAPPED overlapped{};
    overlapped.hEvent = event.get();
    DWORD written = 0;
    const BOOL started = WriteFile(pipe_, message.data(), static_cast<DWORD>(message.size()), &written, &overlapped);
    return Finish(pipe_, overlapped, started, &written, 5000) && written == message.size();
}

std::optional<std::vector<uint8_t>> PipeEnd::Receive(unsigned timeoutMs) {
    OwnedEvent event;
    OVERLAPPED overlapped{};
    overlapped.hEvent = event.get();
    std::vector<uint8_t> message(4096);
    DWORD got = 0;
    const BOOL started = ReadFile(pipe_, message.data(), static_cast<DWORD>(message.size()), &got, &overlapped);
    if (!Finish(pipe_, overlapped, started, &got, timeoutMs)) {
        return std::nullopt;
    }
    message.resize(got);
    return message;
}

DWORD PipeEnd::Unread(HANDLE client) const {
    DWORD available = 0;
    PeekNamedPipe(client, nullptr, 0, nullptr, &available, nullptr);
    return available;
}

PipeBoard::PipeBoard(uint16_t version, std::wstring serial)
    : RecordingLayer(torq::CreateOsHidLayer()),
      base_(UniquePipeName(L"board")),
      query(base_ + L"-q"),
      output(base_ + L"-w"),
      input(base_ + L"-r"),
      otherQuery(base_ + L"-other-q"),
      version_(version),
      serial_(std::move(serial)) {}

std::unique_ptr<torq::InterfaceSet> PipeBoard::OpenInterfaceSet() {
    SetLastError(ERROR_SUCCESS);
    return std::make_unique<FakeInterfaceSet>(std::vector<std::wstring>{base_ + L"-other", base_});
}

HidHandle PipeBoard::Open(const wchar_t* path, OpenMode mode) {
    const wchar_t* suffix = mode == OpenMode::Query ? L"-q" : mode == OpenMode::Write ? L"-w" : L"-r";
    const bool board = path == base_;
    const HidHandle handle = RecordingLayer::Open((std::wstring(path) + suffix).c_str(), mode);
    KeepLastError keep;
    if (board && torq::IsOpenHandle(handle)) {
        std::lock_guard<std::mutex> lock(mutex_);
        boardHandles_.insert(handle);
    }
    return handle;
}

bool PipeBoard::GetAttributes(HidHandle handle, torq::HidAttributes* attributes) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const bool board = boardHandles_.count(handle) != 0;
        attributes->VendorID = static_cast<uint16_t>(board ? torq::kBoardVendorId : 0x1DD2);
        attributes->ProductID = static_cast<uint16_t>(board ? torq::kBoardProductId : 0x0103);
        attributes->VersionNumber = board ? version_ : 0x0100;
    }
    NoteExamined(*attributes);
    SetLastError(ERROR_SUCCESS);
    return true;
}

bool PipeBoard::GetSerialNumberString(HidHandle, wchar_t* buffer, uint32_t bufferBytes) {
    torq::CopySerialNumber(serial_, buffer, bufferBytes);
    SetLastError(ERROR_SUCCESS);
    return true;
}

bool PipeBoard::SetNumInputBuffers(HidHandle handle, uint32_t count) {
    // A pipe has no input buffers to set: only note the call.
    RecordingLayer::SetNumInputBuffers(handle, count);
    SetLastError(ERROR_SUCCESS);
    return true;
}

std::unique_ptr<torq::PreparsedData> PipeBoard::GetPreparsedData(HidHandle) {
    SetLastError(ERROR_SUCCESS);
    return std::make_unique<BoardPreparsedData>();
}

std::wstring UniquePipeName(const wchar_t* what) {
    static LONG counter = 0;
    return L"\\\\.\\pipe\\torqpanel-test-" + std::to_wstring(GetCurrentProcessId()) + L"-" + what + L"-" +
           std::to_wstring(InterlockedIncrement(&counter));
}

std::vector<uint8_t> InputReport(std::initializer_list<uint8_t> fromByte1) {
    std::vector<uint8_t> report(22, 0);
    std::copy(fromByte1.begin(), fromByte1.end(), report.begin() + 1);
    return report;
}

}  // namespace torqtest
