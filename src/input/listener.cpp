#include "input/listener.h"

#include <cstring>
#include <system_error>

#include "platform/os.h"

namespace torq {

namespace {

constexpr uint32_t kCyclePauseMs = 10;
constexpr int kStopPolls = 3001;  // of 1 ms each

}  // namespace

InputListener::~InputListener() {
    if (thread_.joinable()) {
        thread_.join();
    }
}

ListenerResult InputListener::Start() {
    if (thread_.joinable() || !finished_.load()) {
        return ListenerResult::Refused;
    }
    // Stops and teardowns from here on wake this run's reads; the thread itself never
    // re-arms, so a wake can never be lost to a run that is just beginning.
    device_.RearmReads();
    handoff_.store(Handoff::None);
    // Running before the thread exists: a stop or teardown that comes before the thread
    // is scheduled must not be undone by the thread's own start.
    input_.Reset();
    finished_.store(false);
    running_.store(true);
    try {
        thread_ = std::thread(&InputListener::Run, this);
    } catch (const std::system_error&) {
        running_.store(false);
        finished_.store(true);
        return ListenerResult::Refused;
    }
    return ListenerResult::Done;
}

ListenerResult InputListener::Stop() {
    if (!thread_.joinable() || finished_.load()) {
        return ListenerResult::Refused;
    }
    running_.store(false);
    device_.WakeReads();
    if (!WaitForFinish()) {
        return ListenerResult::Refused;  // keeps the thread: this listener cannot be started again
    }
    thread_.join();  // it has finished: the join only collects it
    return ListenerResult::Done;
}

bool InputListener::WaitForFinish() {
    for (int poll = 0; poll < kStopPolls; ++poll) {
        SleepMs(1);
        if (finished_.load()) {
            return true;
        }
    }
    return false;
}

bool InputListener::TeardownWait(std::function<void()>& reclaim) {
    running_.store(false);
    device_.WakeReads();
    if (!finished_.load()) {
        WaitForFinish();
    }
    ownerAlive_.store(false);
    device_.WakeReads();
    if (!thread_.joinable()) {
        return true;
    }
    if (finished_.load()) {
        thread_.join();
        return true;
    }
    // Still inside a read after the whole wait: the thread takes over the freeing,
    // unless it ends right now, which the exchange tells apart.
    reclaim_ = std::move(reclaim);
    if (handoff_.exchange(Handoff::Orphaned) == Handoff::ThreadDone) {
        reclaim = std::move(reclaim_);
        thread_.join();
        return true;
    }
    return false;
}

void InputListener::Run() {
    if (ownerAlive_.load()) {
        uint8_t buffer[kInputReportCapacity];
        while (running_.load()) {
            SleepMs(kCyclePauseMs);
            std::memset(buffer, 0, sizeof buffer);
            uint32_t bytesRead = 0;
            if (device_.CanRead()) {
                const ReadResult result = device_.ReadInputReport(buffer, device_.Caps().InputReportByteLength, &bytesRead);
                if (result != ReadResult::Failed && bytesRead >= kDecodedReportSize) {
                    input_.Decode(buffer);
                }
            }
            if (!ownerAlive_.load()) {
                break;
            }
        }
    }
    FinishRun();
}

void InputListener::FinishRun() {
    finished_.store(true);
    if (handoff_.exchange(Handoff::ThreadDone) == Handoff::Orphaned) {
        // Teardown gave up waiting and left the engine to this thread: free it now.
        // Nothing of this manager is touched after `reclaim` runs.
        thread_.detach();
        std::function<void()> reclaim = std::move(reclaim_);
        reclaim();
    }
}

}  // namespace torq
