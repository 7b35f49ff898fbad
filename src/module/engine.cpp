#include "module/engine.h"

#include "platform/os.h"

namespace torq {

CManager::CManager(uint8_t* moduleKeyBlock, BlockingRegion region)
    : device_(moduleKeyBlock), display_(device_, region), listener_(device_, input_) {
    // The listener's and the teardown's 1 ms sleeps rely on a 1 ms timer.
    RequestTimerResolution();
}

OpenState CManager::InitDevice() {
    device_.SetTarget(kBoardVendorId, kBoardProductId);
    const OpenState result = device_.DiscoverAndOpen();
    if (result == OpenState::Ready) {
        device_.ProbeCapabilities(caps_);
        display_.ClearDisplay();
    }
    return result;
}

namespace {

std::wstring SerialFilterOf(const char* serial) {
    return serial != nullptr && *serial != '\0' ? NarrowToWide(serial) : std::wstring();
}

// Blanks the board and stops the listener of the engine's manager, then puts `next` in
// its place. The old manager is freed, or left to its listener thread when that has not
// ended yet (the thread then frees it, so the channel outlives every read in flight).
// The manager stays installed until then: the blank write releases the interpreter
// lock, and other Python threads may use the object meanwhile.
void ReplaceManager(CEngine& engine, std::unique_ptr<CManager> next) {
    engine.initialized = false;
    CManager* current = engine.manager.get();
    if (current != nullptr) {
        // Leave the board blank, LEDs off and motors stopped before anything else goes.
        current->Display().ClearDisplay();
        std::function<void()> reclaim = [current] { std::unique_ptr<CManager> owned(current); };
        if (!current->Listener().TeardownWait(reclaim)) {
            static_cast<void>(engine.manager.release());
        }
    }
    // The texts are released before the device record closes its handles (member order).
    engine.manager = std::move(next);
}

}  // namespace

std::unique_ptr<CEngine> BuildEngine(const char* serial, BlockingRegion region) {
    auto engine = std::make_unique<CEngine>();
    engine->serialFilter = SerialFilterOf(serial);
    engine->manager = std::make_unique<CManager>(engine->moduleKeyBlock, region);
    engine->manager->Device().SetSerialFilter(engine->serialFilter);
    return engine;
}

void RebuildEngine(CEngine& engine, const char* serial) {
    std::wstring filter = SerialFilterOf(serial);
    auto fresh = std::make_unique<CManager>(engine.moduleKeyBlock, engine.manager->Display().Region());
    fresh->Device().SetSerialFilter(filter);
    ReplaceManager(engine, std::move(fresh));
    engine.serialFilter = std::move(filter);
    engine.returnedEvent = InputEvent{};
}

void TeardownEngine(CEngine& engine) {
    ReplaceManager(engine, nullptr);
}

void DestroyEngine(std::unique_ptr<CEngine> engine) {
    if (!engine) {
        return;
    }
    {
        const std::lock_guard<std::mutex> io(engine->ioLock);
        TeardownEngine(*engine);
    }
    engine.reset();
}

}  // namespace torq
