// The input listener: one background thread per manager that reads input reports from
// the device and feeds the decoder. It agrees with its callers through atomic flags; a
// stop also wakes a read that is waiting, so stopping never sits out the read's time-out.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <thread>

#include "device/hid_device.h"
#include "input/decoder.h"

namespace torq {

// What Start and Stop report to the wrappers, which turn a refusal into their error.
enum class ListenerResult { Done, Refused };

class InputListener {
public:
    InputListener(CHidDevice& device, InputState& input) : device_(device), input_(input) {}
    // Teardown only destroys a listener whose thread has ended (or never started);
    // joining collects a thread that is at most returning.
    ~InputListener();
    InputListener(const InputListener&) = delete;
    InputListener& operator=(const InputListener&) = delete;

    ListenerResult Start();
    ListenerResult Stop();
    // Stops the listener for teardown. True when the thread can touch nothing of its
    // owner any more; false when it still runs: `reclaim` has then been handed to it,
    // and it runs `reclaim` (which destroys the owner, and this listener) when it ends.
    bool TeardownWait(std::function<void()>& reclaim);

    bool Running() const { return running_.load(std::memory_order_acquire); }
    bool Finished() const { return finished_.load(); }

private:
    void Run();
    void FinishRun();
    bool WaitForFinish();

    CHidDevice& device_;
    InputState& input_;
    std::thread thread_;
    std::atomic<bool> running_{false};
    std::atomic<bool> finished_{true};
    std::atomic<bool> ownerAlive_{true};
    // Who destroys the owner when teardown gave up waiting for the thread.
    enum class Handoff { None, Orphaned, ThreadDone };
    std::atomic<Handoff> handoff_{Handoff::None};
    std::function<void()> reclaim_;
};

}  // namespace torq
