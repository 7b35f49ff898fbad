// CEngine and CManager: the native engine behind one torqline object (engine.cpp).
//
// The engine owns its manager (a second initialiser replaces it); the manager composes
// the device record (src/device), the display state and its sender (src/output), and
// the input state and its listener (src/input).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "device/hid_device.h"
#include "input/decoder.h"
#include "input/listener.h"
#include "output/display.h"
#include "platform/hid_types.h"

namespace torq {

class CManager {
public:
    // `moduleKeyBlock`: the kModuleKeyBlockSize bytes that discovery summarises into;
    // they belong to the owner and must outlive every discovery of this manager (null:
    // the device record keeps its own).
    explicit CManager(uint8_t* moduleKeyBlock = nullptr, BlockingRegion region = nullptr);
    CManager(const CManager&) = delete;
    CManager& operator=(const CManager&) = delete;

    // The open sequence of init: OpenState::Ready when the board is open (the blank
    // display sent), OpenState::None otherwise.
    OpenState InitDevice();

    CHidDevice& Device() { return device_; }
    const CHidDevice& Device() const { return device_; }
    DisplayState& Display() { return display_; }
    InputListener& Listener() { return listener_; }
    const InputState& Input() const { return input_; }
    // The capabilities that init read.
    const HidCaps& Caps() const { return caps_; }

private:
    // Declared first, destroyed last: the display and the listener use it to the end.
    CHidDevice device_;
    HidCaps caps_{};
    DisplayState display_;
    InputState input_;
    InputListener listener_;
};

// The engine behind one torqline object. It lives as long as the object: a second
// initialiser replaces its manager, not the engine, so the I/O lock and the key block
// that native code may hold a pointer to stay where they are.
struct CEngine {
    // Held by every device write and by whatever opens, closes or replaces the channel
    // (init, a second initialiser, teardown), so none of them frees or reopens what a
    // write in flight uses, and two reports never go out at once.
    std::mutex ioLock;
    // What get_module hands out; each manager's discovery writes its pass summary here.
    alignas(8) uint8_t moduleKeyBlock[kModuleKeyBlockSize] = {};
    std::wstring serialFilter;
    std::unique_ptr<CManager> manager;
    bool initialized = false;
    InputEvent returnedEvent{};
};

// Builds an engine for the initialiser's serial number text (UTF-8, may be null).
std::unique_ptr<CEngine> BuildEngine(const char* serial, BlockingRegion region = nullptr);
// A second initialiser: the current manager is torn down as at teardown and a fresh one,
// for the new serial number text, takes its place. Throws (std::bad_alloc) before
// anything changes. The caller holds engine.ioLock.
void RebuildEngine(CEngine& engine, const char* serial);
// Teardown of the engine's manager: the display blanked, the listener stopped, the
// device closed; the caller holds engine.ioLock and frees the engine afterwards.
void TeardownEngine(CEngine& engine);
// TeardownEngine under the I/O lock, then the engine freed.
void DestroyEngine(std::unique_ptr<CEngine> engine);

}  // namespace torq
