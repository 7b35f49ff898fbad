// Test doubles around the real win32 backend.
//
// RecordingLayer passes every call to the real layer and notes what the device code
// did with it (handles opened and not yet closed, devices examined, writes). PipeBoard
// stands a message-mode named pipe in for the board: the interface set and the HID
// queries that a pipe cannot answer (attributes, serial number, capabilities) are
// played by the test, while every open, close, write and read is the real call on a
// real handle.
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/hid_layer.h"

namespace torqtest {

class RecordingLayer : public torq::HidLayer {
public:
    explicit RecordingLayer(std::shared_ptr<torq::HidLayer> inner) : inner_(std::move(inner)) {}

    uint32_t LastError() const override { return inner_->LastError(); }
    std::unique_ptr<torq::InterfaceSet> OpenInterfaceSet() override { return inner_->OpenInterfaceSet(); }
    torq::HidHandle Open(const wchar_t* path, torq::OpenMode mode) override;
    void Close(torq::HidHandle handle) override;
    bool GetAttributes(torq::HidHandle handle, torq::HidAttributes* attributes) override;
    bool GetSerialNumberString(torq::HidHandle handle, wchar_t* buffer, uint32_t bufferBytes) override {
        return inner_->GetSerialNumberString(handle, buffer, bufferBytes);
    }
    bool SetNumInputBuffers(torq::HidHandle handle, uint32_t count) override;
    std::unique_ptr<torq::PreparsedData> GetPreparsedData(torq::HidHandle handle) override {
        return inner_->GetPreparsedData(handle);
    }
    bool Write(torq::HidHandle handle, const uint8_t* data, uint32_t length, uint32_t* written) override;
    std::unique_ptr<torq::ReadState> CreateReadState() override { return inner_->CreateReadState(); }

    // Handles this layer opened that are still open.
    std::set<torq::HidHandle> OpenHandles() const;
    // Every handle this layer ever opened.
    std::vector<torq::HidHandle> AllHandles() const;
    // The attributes of every interface examined, in order.
    std::vector<torq::HidAttributes> Examined() const;
    int Writes() const;
    // Results of SetNumInputBuffers: (count, succeeded).
    std::vector<std::pair<uint32_t, bool>> InputBufferCalls() const;

protected:
    void NoteExamined(const torq::HidAttributes& attributes);

    std::shared_ptr<torq::HidLayer> inner_;

private:
    mutable std::mutex mutex_;
    std::set<torq::HidHandle> open_;
    std::vector<torq::HidHandle> all_;
    std::vector<torq::HidAttributes> examined_;
    std::vector<std::pair<uint32_t, bool>> inputBufferCalls_;
    int writes_ = 0;
};

// The server end of one message-mode pipe, created listening.
class PipeEnd {
public:
    explicit PipeEnd(const std::wstring& name);
    ~PipeEnd();
    PipeEnd(const PipeEnd&) = delete;
    PipeEnd& operator=(const PipeEnd&) = delete;

    // One message to the client; true when written whole.
    bool Send(const std::vector<uint8_t>& message);
    // One message from the client, or nullopt when none came within timeoutMs.
    std::optional<std::vector<uint8_t>> Receive(unsigned timeoutMs);
    // Bytes the client has not read yet (of messages this end sent).
    DWORD Unread(HANDLE client) const;
    void Close();
    HANDLE handle() const { return pipe_; }

private:
    HANDLE pipe_ = INVALID_HANDLE_VALUE;
    std::unique_ptr<OVERLAPPED> connect_;
};

// A board on a pipe: "<base>-q", "<base>-w" and "<base>-r" are what the query, write
// and read opens of the interface "<base>" reach. A second interface, "<base>-other",
// comes first in the set and answers with other IDs.
class PipeBoard : public RecordingLayer {
    std::wstring base_;  // first: the pipe ends below are named after it

public:
    PipeBoard(uint16_t version, std::wstring serial);

    std::unique_ptr<torq::InterfaceSet> OpenInterfaceSet() override;
    torq::HidHandle Open(const wchar_t* path, torq::OpenMode mode) override;
    bool GetAttributes(torq::HidHandle handle, torq::HidAttributes* attributes) override;
    bool GetSerialNumberString(torq::HidHandle handle, wchar_t* buffer, uint32_t bufferBytes) override;
    bool SetNumInputBuffers(torq::HidHandle handle, uint32_t count) override;
    std::unique_ptr<torq::PreparsedData> GetPreparsedData(torq::HidHandle handle) override;

    const std::wstring& path() const { return base_; }

    // The board's side of its three pipes.
    PipeEnd query;
    PipeEnd output;  // what the channel writes arrives here
    PipeEnd input;   // what is sent here, the channel reads
    PipeEnd otherQuery;

private:
    uint16_t version_;
    std::wstring serial_;
    std::mutex mutex_;
    std::set<torq::HidHandle> boardHandles_;
};

// A unique pipe name for this process.
std::wstring UniquePipeName(const wchar_t* what);

// 22-byte input reports of the board: report ID 0, then the given bytes from byte 1.
std::vector<uint8_t> InputReport(std::initializer_list<uint8_t> fromByte1);

}  // namespace torqtest
