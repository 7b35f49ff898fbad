// The C entry points of the virtual bus (exports/exports.h): a registry of buses by number,
// switching the process to one of them, and the build, inject and inspect calls.
//
// Nothing may unwind into a C caller: every entry point runs its body under Guarded(),
// which turns any exception into the function's failure value and a message.
#include <algorithm>
#include <cstring>
#include <exception>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "exports/exports.h"
#include "platform/hid_layer.h"
#include "platform/text.h"
#include "platform/virtual/virtual_bus.h"

namespace {

using torq::VirtualBus;
using torq::VirtualFault;

struct Registry {
    // Also held across activation, so that "which bus is active" and bus_free agree.
    std::mutex mutex;
    std::map<uint64_t, std::shared_ptr<VirtualBus>> buses;
    uint64_t nextBus = 1;
};

Registry& TheRegistry() {
    static Registry registry;
    return registry;
}

thread_local std::string tMessage;

void SetMessage(const std::string& text) noexcept {
    try {
        tMessage = text;
    } catch (...) {
        tMessage.clear();
    }
}

template <typename T, typename Body>
T Guarded(T onFailure, Body&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        SetMessage("out of memory");
    } catch (const std::exception& e) {
        SetMessage(e.what());
    } catch (...) {
        SetMessage("unexpected failure");
    }
    return onFailure;
}

std::shared_ptr<VirtualBus> FindBus(uint64_t bus) {
    Registry& registry = TheRegistry();
    std::lock_guard<std::mutex> lock(registry.mutex);
    auto it = registry.buses.find(bus);
    if (it == registry.buses.end()) {
        SetMessage("no virtual bus " + std::to_string(bus));
        return nullptr;
    }
    return it->second;
}

// The bus and a device number it gave out, or null (with a message).
std::shared_ptr<VirtualBus> FindDevice(uint64_t bus, int device) {
    auto found = FindBus(bus);
    if (found && (device < 1 || static_cast<size_t>(device) > found->DeviceCount())) {
        SetMessage("virtual bus " + std::to_string(bus) + " has no device " +
                   std::to_string(device));
        return nullptr;
    }
    return found;
}

bool IsAllFaults(const char* name) {
    return name == nullptr || name[0] == '\0';
}

// Caller holds the registry's mutex.
uint64_t ActiveBusLocked(const Registry& registry) {
    const std::shared_ptr<torq::HidLayer> active = torq::ActiveHidLayer();
    for (const auto& [number, bus] : registry.buses) {
        if (bus.get() == active.get()) {
            return number;
        }
    }
    return 0;
}

}  // namespace

extern "C" {

uint64_t torqpanel_vhid_bus_new(void) {
    return Guarded<uint64_t>(0, [] {
        auto bus = std::make_shared<VirtualBus>();
        Registry& registry = TheRegistry();
        std::lock_guard<std::mutex> lock(registry.mutex);
        const uint64_t number = registry.nextBus++;
        registry.buses.emplace(number, std::move(bus));
        return number;
    });
}

void torqpanel_vhid_bus_free(uint64_t bus) {
    Guarded(0, [bus] {
        std::shared_ptr<VirtualBus> freed;
        Registry& registry = TheRegistry();
        std::lock_guard<std::mutex> lock(registry.mutex);
        auto it = registry.buses.find(bus);
        if (it == registry.buses.end()) {
            return 0;
        }
        // A bus nobody can reach any more must not stay the process's HID layer.
        if (ActiveBusLocked(registry) == bus) {
            torq::SetActiveHidLayer(nullptr);
        }
        freed = std::move(it->second);
        registry.buses.erase(it);
        return 1;
    });
}

int torqpanel_vhid_activate(uint64_t bus) {
    return Guarded(0, [bus] {
        Registry& registry = TheRegistry();
        std::lock_guard<std::mutex> lock(registry.mutex);
        if (bus == 0) {
            torq::SetActiveHidLayer(nullptr);
            return 1;
        }
        auto it = registry.buses.find(bus);
        if (it == registry.buses.end()) {
            SetMessage("no virtual bus " + std::to_string(bus));
            return 0;
        }
        torq::SetActiveHidLayer(it->second);
        return 1;
    });
}

uint64_t torqpanel_vhid_active(void) {
    return Guarded<uint64_t>(0, [] {
        Registry& registry = TheRegistry();
        std::lock_guard<std::mutex> lock(registry.mutex);
        return ActiveBusLocked(registry);
    });
}

int torqpanel_vhid_bus_fail(uint64_t bus, const char* name, uint32_t error) {
    return Guarded(0, [&] {
        auto found = FindBus(bus);
        if (!found) {
            return 0;
        }
        if (name == nullptr || std::strcmp(name, "enumerate") != 0) {
            SetMessage(std::string("no bus failure named '") + (name ? name : "") +
                       "' (the bus has 'enumerate')");
            return 0;
        }
        found->FailEnumerate(error);
        return 1;
    });
}

int torqpanel_vhid_bus_clear(uint64_t bus, const char* name) {
    return Guarded(0, [&] {
        auto found = FindBus(bus);
        if (!found) {
            return 0;
        }
        if (!IsAllFaults(name) && std::strcmp(name, "enumerate") != 0) {
            SetMessage(std::string("no bus failure named '") + name +
                       "' (the bus has 'enumerate')");
            return 0;
        }
        found->ClearEnumerate();
        return 1;
    });
}

int torqpanel_vhid_add_device(uint64_t bus, uint16_t vid, uint16_t pid, uint16_t version,
                              const char* serial, const char* path, const uint8_t* descriptor,
                              size_t descriptorSize) {
    return Guarded(0, [&] {
        auto found = FindBus(bus);
        if (!found) {
            return 0;
        }
        torq::VirtualDeviceSetup setup;
        setup.vendorId = vid;
        setup.productId = pid;
        setup.version = version;
        if (serial != nullptr) {
            setup.serial = torq::Utf8ToWide(serial);
            if (!setup.serial) {
                SetMessage("the serial number is not valid UTF-8");
                return 0;
            }
        }
        if (path != nullptr) {
            auto wide = torq::Utf8ToWide(path);
            if (!wide) {
                SetMessage("the interface path is not valid UTF-8");
                return 0;
            }
            if (wide->empty()) {
                SetMessage("the interface path is empty");
                return 0;
            }
            setup.path = std::move(*wide);
        }
        if (descriptor != nullptr) {
            setup.descriptor.assign(descriptor, descriptor + descriptorSize);
        } else {
            const auto board = torq::BoardReportDescriptor();
            setup.descriptor.assign(board.begin(), board.end());
        }
        std::string why;
        const int number = found->AddDevice(setup, &why);
        if (number == 0) {
            SetMessage(why);
        }
        return number;
    });
}

size_t torqpanel_vhid_device_path(uint64_t bus, int device, char* buffer, size_t capacity) {
    return Guarded<size_t>(0, [&]() -> size_t {
        auto found = FindDevice(bus, device);
        if (!found) {
            return 0;
        }
        const std::string text = torq::WideToUtf8(*found->DevicePath(device));
        if (buffer != nullptr && capacity > 0) {
            const size_t copied = std::min(text.size(), capacity - 1);
            std::memcpy(buffer, text.data(), copied);
            buffer[copied] = '\0';
        }
        return text.size();
    });
}

size_t torqpanel_vhid_device_descriptor(uint64_t bus, int device, uint8_t* buffer,
                                        size_t capacity) {
    return Guarded<size_t>(0, [&]() -> size_t {
        auto found = FindDevice(bus, device);
        if (!found) {
            return 0;
        }
        const std::vector<uint8_t> bytes = *found->Descriptor(device);
        if (buffer != nullptr) {
            std::memcpy(buffer, bytes.data(), std::min(bytes.size(), capacity));
        }
        return bytes.size();
    });
}

int torqpanel_vhid_send_input(uint64_t bus, int device, const uint8_t* data, size_t size) {
    return Guarded(0, [&] {
        auto found = FindDevice(bus, device);
        if (!found) {
            return 0;
        }
        if (data == nullptr || size == 0) {
            SetMessage("an input report holds at least one byte");
            return 0;
        }
        if (!found->SendInput(device, data, size)) {
            SetMessage("device " + std::to_string(device) + " is unplugged");
            return 0;
        }
        return 1;
    });
}

size_t torqpanel_vhid_frame_count(uint64_t bus, int device) {
    return Guarded<size_t>(0, [&]() -> size_t {
        auto found = FindDevice(bus, device);
        return found ? *found->FrameCount(device) : 0;
    });
}

size_t torqpanel_vhid_frame(uint64_t bus, int device, size_t index, uint8_t* buffer,
                            size_t capacity) {
    return Guarded<size_t>(0, [&]() -> size_t {
        auto found = FindDevice(bus, device);
        if (!found) {
            return 0;
        }
        const auto frame = found->Frame(device, index);
        if (!frame) {
            SetMessage("device " + std::to_string(device) + " has no frame " +
                       std::to_string(index));
            return 0;
        }
        if (buffer != nullptr) {
            std::memcpy(buffer, frame->data(), std::min(frame->size(), capacity));
        }
        return frame->size();
    });
}

int torqpanel_vhid_clear_frames(uint64_t bus, int device) {
    return Guarded(0, [&] {
        auto found = FindDevice(bus, device);
        return found && found->ClearFrames(device) ? 1 : 0;
    });
}

size_t torqpanel_vhid_drop_frames(uint64_t bus, int device, size_t count) {
    return Guarded<size_t>(0, [&]() -> size_t {
        auto found = FindDevice(bus, device);
        return found ? *found->DropFrames(device, count) : 0;
    });
}

int torqpanel_vhid_open_handles(uint64_t bus, int device) {
    return Guarded(-1, [&] {
        auto found = FindDevice(bus, device);
        return found ? *found->OpenHandles(device) : -1;
    });
}

int torqpanel_vhid_input_buffers(uint64_t bus, int device) {
    return Guarded(-1, [&] {
        auto found = FindDevice(bus, device);
        // Bounded by kMaxInputBuffers.
        return found ? static_cast<int>(*found->InputBuffers(device)) : -1;
    });
}

int torqpanel_vhid_fail(uint64_t bus, int device, const char* name, uint32_t error) {
    return Guarded(0, [&] {
        auto found = FindDevice(bus, device);
        if (!found) {
            return 0;
        }
        const auto fault = torq::VirtualFaultFromName(name != nullptr ? name : "");
        if (!fault) {
            SetMessage(std::string("no device failure named '") + (name ? name : "") + "'");
            return 0;
        }
        return found->Fail(device, *fault, error) ? 1 : 0;
    });
}

int torqpanel_vhid_clear(uint64_t bus, int device, const char* name) {
    return Guarded(0, [&] {
        auto found = FindDevice(bus, device);
        if (!found) {
            return 0;
        }
        std::optional<VirtualFault> fault;
        if (!IsAllFaults(name)) {
            fault = torq::VirtualFaultFromName(name);
            if (!fault) {
                SetMessage(std::string("no device failure named '") + name + "'");
                return 0;
            }
        }
        return found->Clear(device, fault) ? 1 : 0;
    });
}

int torqpanel_vhid_unplug(uint64_t bus, int device) {
    return Guarded(0, [&] {
        auto found = FindDevice(bus, device);
        return found && found->Unplug(device) ? 1 : 0;
    });
}

int torqpanel_vhid_stall(uint64_t bus, int device, int64_t timeoutMs) {
    return Guarded(0, [&] {
        auto found = FindDevice(bus, device);
        if (!found) {
            return 0;
        }
        if (timeoutMs > static_cast<int64_t>(UINT32_MAX)) {
            SetMessage("a stall's time-out is at most 4294967295 ms");
            return 0;
        }
        std::optional<uint32_t> timeout;
        if (timeoutMs >= 0) {
            timeout = static_cast<uint32_t>(timeoutMs);
        }
        return found->Stall(device, timeout) ? 1 : 0;
    });
}

int torqpanel_vhid_resume(uint64_t bus, int device) {
    return Guarded(0, [&] {
        auto found = FindDevice(bus, device);
        return found && found->Resume(device) ? 1 : 0;
    });
}

int torqpanel_vhid_stalled_writes(uint64_t bus, int device, int* waiting, size_t* timedOut) {
    return Guarded(0, [&] {
        auto found = FindDevice(bus, device);
        if (!found) {
            return 0;
        }
        const auto counts = *found->Stalls(device);
        if (waiting != nullptr) {
            *waiting = counts.waitingWrites;
        }
        if (timedOut != nullptr) {
            *timedOut = counts.timedOutWrites;
        }
        return 1;
    });
}

const char* torqpanel_vhid_last_message(void) {
    return tMessage.c_str();
}

}  // extern "C"
