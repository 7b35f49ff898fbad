// The input listener: one background thread per manager that reads input reports and
// feeds the decoder. It agrees with its callers through three atomic flags; a stop
// also wakes a read that is waiting, so stopping never sits out the read's time-out.
#include <cstring>
#include <system_error>

#include "module/manager.h"
#include "platform/os.h"

namespace torq {

namespace {

constexpr uint32_t kCyclePauseMs = 10;
constexpr int kStopPolls = 3001;  // of 1 ms each

}  // namespace

int32_t CManager::StartListener() {
    if (listenerThread.joinable() || !listenerFinished.load()) {
        return -1;
    }
    // Stops and teardowns from here on wake this run's reads; the thread itself never
    // re-arms, so a wake can never be lost to a run that is just beginning.
    device.RearmReads();
    handoff_.store(kHandoffNone);
    // Running before the thread exists: a stop or teardown that comes before the thread
    // is scheduled must not be undone by the thread's own start.
    input.Reset();
    listenerFinished.store(false);
    listenerRunning.store(true);
    try {
        listenerThread = std::thread(&CManager::ListenerRun, this);
    } catch (const std::system_error&) {
        listenerRunning.store(false);
        listenerFinished.store(true);
        return -1;
    }
    return 0;
}

int32_t CManager::StopListener() {
    if (!listenerThread.joinable() || listenerFinished.load()) {
        return -1;
    }
    listenerRunning.store(false);
    device.WakeReads();
    if (!WaitForListener()) {
        return -1;  // keeps the thread: this listener cannot be started again
    }
    listenerThread.join();  // it has finished: the join only collects it
    return 0;
}

bool CManager::WaitForListener() {
    for (int poll = 0; poll < kStopPolls; ++poll) {
        SleepMs(1);
        if (listenerFinished.load()) {
            return true;
        }
    }
    return false;
}

bool CManager::TeardownWait(std::function<void()>& reclaim) {
    listenerRunning.store(false);
    device.WakeReads();
    if (!listenerFinished.load()) {
        WaitForListener();
    }
    managerAlive.store(false);
    device.WakeReads();
    if (!listenerThread.joinable()) {
        return true;
    }
    if (listenerFinished.load()) {
        listenerThread.join();
        return true;
    }
    // Still inside a read after the whole wait: the thread takes over the freeing,
    // unless it ends right now, which the exchange tells apart.
    reclaim_ = std::move(reclaim);
    if (handoff_.exchange(kHandoffOrphaned) == kHandoffThreadDone) {
        reclaim = std::move(reclaim_);
        listenerThread.join();
        return true;
    }
    return false;
}

void CManager::ListenerRun() {
    if (managerAlive.load()) {
        uint8_t buffer[kInputReportCapacity];
        while (listenerRunning.load()) {
            SleepMs(kCyclePauseMs);
            std::memset(buffer, 0, sizeof buffer);
            uint32_t bytesRead = 0;
            if (device.CanRead()) {
                const int32_t result = device.ReadInputReport(buffer, deviceCaps.InputReportByteLength, &bytesRead);
                if (result >= 0 && bytesRead >= kDecodedReportSize) {
                    input.Decode(buffer);
                }
            }
            if (!managerAlive.load()) {
                break;
            }
        }
    }
    FinishRun();
}

void CManager::FinishRun() {
    listenerFinished.store(true);
    if (handoff_.exchange(kHandoffThreadDone) == kHandoffOrphaned) {
        // Teardown gave up waiting and left the engine to this thread: free it now.
        // Nothing of this manager is touched after `reclaim` runs.
        listenerThread.detach();
        std::function<void()> reclaim = std::move(reclaim_);
        reclaim();
    }
}

}  // namespace torq
