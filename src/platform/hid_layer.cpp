// The process-wide choice of HID backend and the thread's last HID error.
#include "platform/hid_layer.h"

#include <mutex>
#include <utility>

namespace torq {

namespace {

// The one active backend. Null means "the operating system's, made on first use", so a
// process that never touches HID never builds an OS backend.
struct ActiveLayerSlot {
    std::mutex mutex;
    std::shared_ptr<HidLayer> layer;
};

ActiveLayerSlot& Slot() {
    static ActiveLayerSlot slot;
    return slot;
}

thread_local uint32_t tLastHidError = kErrorSuccess;

}  // namespace

std::shared_ptr<HidLayer> ActiveHidLayer() {
    ActiveLayerSlot& slot = Slot();
    std::lock_guard<std::mutex> lock(slot.mutex);
    if (!slot.layer) {
        slot.layer = CreateOsHidLayer();
    }
    return slot.layer;
}

void SetActiveHidLayer(std::shared_ptr<HidLayer> layer) {
    std::shared_ptr<HidLayer> previous;
    {
        ActiveLayerSlot& slot = Slot();
        std::lock_guard<std::mutex> lock(slot.mutex);
        previous = std::exchange(slot.layer, std::move(layer));
    }
    // The previous layer may be freed here, which must not happen under the slot's lock:
    // its destructor is free to ask for the active layer.
    previous.reset();
}

uint32_t ThreadHidError() {
    return tLastHidError;
}

void SetThreadHidError(uint32_t error) {
    tLastHidError = error;
}

}  // namespace torq
