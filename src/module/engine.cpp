#include "module/manager.h"

#include "platform/os.h"

namespace torq {

CManager::CManager() {
    // The listener's and the teardown's 1 ms sleeps rely on a 1 ms timer.
    RequestTimerResolution();
}

CManager::~CManager() {
    // Teardown only destroys a manager whose listener has ended (or was never started);
    // joining here collects a thread that is at most returning.
    if (listenerThread.joinable()) {
        listenerThread.join();
    }
}

int32_t CManager::InitDevice() {
    device.targetVendorId = kBoardVendorId;
    device.targetProductId = kBoardProductId;
    const int32_t result = device.DiscoverAndOpen();
    if (result == static_cast<int32_t>(kOpenReady)) {
        device.ProbeCapabilities(deviceCaps);
        ClearDisplay();
    }
    return result;
}

std::unique_ptr<CEngine> BuildEngine(const char* serial) {
    auto engine = std::make_unique<CEngine>();
    if (serial != nullptr && *serial != '\0') {
        engine->serialFilter = NarrowToWide(serial);
        engine->manager.device.serialFilter = engine->serialFilter;
    }
    return engine;
}

void DestroyEngine(std::unique_ptr<CEngine> engine) {
    if (!engine) {
        return;
    }
    engine->initialized = false;
    CManager& manager = engine->manager;
    // Leave the board blank, LEDs off and motors stopped before anything else goes.
    manager.ClearDisplay();
    CEngine* raw = engine.get();
    std::function<void()> reclaim = [raw] { std::unique_ptr<CEngine> owned(raw); };
    if (!manager.TeardownWait(reclaim)) {
        // The listener thread still runs; it now owns the engine and frees it when it
        // ends, so the channel outlives every read in flight.
        static_cast<void>(engine.release());
        return;
    }
    // The texts are released before the device record closes its handles (member order).
    engine.reset();
}

}  // namespace torq
