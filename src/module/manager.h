// CEngine and CManager: the native engine behind one torqline object.
//
// The engine owns its manager (a second initialiser replaces it); the manager owns the
// device record, the display state (two output reports in wire form), the input state
// and the listener.
// The output operations live in src/output, the listener and decoder in src/input.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "device/hid_device.h"
#include "platform/hid_types.h"

namespace torq {

inline constexpr int32_t kDeviceType = 15;
inline constexpr int32_t kDeviceCode = kDeviceType * 1000;
inline constexpr size_t kReportSize = 54;
inline constexpr size_t kDecodedReportSize = 22;  // bytes 0..21 of an input report

// One input event: four signed 32-bit integers. All zero is the empty record.
struct InputEvent {
    int32_t device = 0;
    int32_t isButton = 0;
    int32_t value = 0;
    int32_t number = 0;
    bool operator==(const InputEvent&) const = default;
};

// The decoder's side of the manager. latestEvent is written by the listener thread
// and read by the Python thread, always whole, under its own small lock.
class InputState {
public:
    InputEvent Latest() const {
        std::lock_guard<std::mutex> lock(eventLock_);
        return latestEvent_;
    }
    void Publish(const InputEvent& event) {
        std::lock_guard<std::mutex> lock(eventLock_);
        latestEvent_ = event;
    }
    // Start of a listener run: nothing accounted, nothing reported.
    void Reset();
    // Decodes one report of at least kDecodedReportSize bytes.
    void Decode(const uint8_t* report);

    uint8_t lastReport[kDecodedReportSize] = {};
    int16_t lastSwitch7 = 0;
    int16_t lastSwitch8 = 0;

private:
    mutable std::mutex eventLock_;
    InputEvent latestEvent_{};
};

enum class LedGroup { RpmBar, Bank };

// How the manager runs a device write: the module hands in a function that runs
// work(context) with the interpreter lock released, so that other Python threads go on
// while the system call blocks. Null runs it in place (no interpreter: native tests).
using BlockingRegion = void (*)(void (*work)(void*), void* context);

class CManager {
public:
    // `moduleKeyBlock`: the kModuleKeyBlockSize bytes that discovery summarises into;
    // they belong to the owner and must outlive every discovery of this manager (null:
    // the device record keeps its own).
    explicit CManager(uint8_t* moduleKeyBlock = nullptr, BlockingRegion region = nullptr);
    ~CManager();
    CManager(const CManager&) = delete;
    CManager& operator=(const CManager&) = delete;

    // The open sequence of init: 2 when the board is open, 0 otherwise.
    int32_t InitDevice();

    // Output (src/output). The encoders read exactly the bytes of `text`, nothing past it.
    // The three sending operations need the owner's I/O lock (CEngine::ioLock) held.
    void SetLeftDigits(std::string_view text);
    void SetRightDigits(std::string_view text);
    void SetGear(uint8_t code, int32_t point);
    void SetLed(int32_t index, uint32_t state, LedGroup group);
    void SetRumbleMotor(int32_t motorIndex, int32_t power);
    void SetGlobalBrightness(int32_t level);
    void SendReport();
    void ClearDisplay();

    // Listener (src/input). 0 on success, -1 on failure.
    int32_t StartListener();
    int32_t StopListener();
    // Stops the listener for teardown. True when no listener thread can touch this
    // manager any more; false when the thread still runs: `reclaim` has then been
    // handed to it, and it runs `reclaim` (which destroys the owner) when it ends.
    bool TeardownWait(std::function<void()>& reclaim);

    int32_t deviceCode = kDeviceCode;
    std::thread listenerThread;
    CHidDevice device;
    InputState input;

    uint8_t displayReport[kReportSize] = {};
    uint8_t brightnessReport[kReportSize] = {};
    int32_t rpmLedCount = 9;
    int32_t digitCount = 3;
    int32_t ledBankSize = 6;
    int32_t externalLedCount = 0;
    int32_t warningLedCount = 6;
    uint32_t maxBrightness = 254;
    int32_t rumbleMotorCount = 2;

    std::atomic<bool> listenerRunning{false};
    std::atomic<bool> listenerFinished{true};
    std::atomic<bool> managerAlive{true};

    HidCaps deviceCaps{};
    std::string leftText;
    std::string rightText;
    BlockingRegion blockingRegion = nullptr;

private:
    // Writes a copy of one 54-byte report, inside the blocking region.
    void Transmit(const uint8_t* report);
    void ListenerRun();
    void FinishRun();
    bool WaitForListener();

    // Who destroys the manager when teardown gave up waiting for the thread.
    enum : int { kHandoffNone, kHandoffOrphaned, kHandoffThreadDone };
    std::atomic<int> handoff_{kHandoffNone};
    std::function<void()> reclaim_;
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
