// CallbackRegistry: the callbacks a camera calls for one kind of data (event ranges, trigger
// edges, frames), each under the id it was given. Ids count 0, 1, 2, ... for the registry's
// life and are never reused. The camera's thread calls the callbacks while it holds `mutex`,
// so a callback must not add or remove callbacks of the same registry.
#pragma once

#include <cstdint>
#include <mutex>
#include <unordered_map>
#include <utility>

namespace vireo {

template <typename Callback>
struct CallbackRegistry {
    // Stores `cb` under the next id and returns the id.
    unsigned add(Callback cb) {
        std::lock_guard<std::mutex> lock(mutex);
        const uint32_t id = nextId++;
        callbacks[id] = std::move(cb);
        return id;
    }

    // Removes the callback `id`; false when there is none.
    bool remove(unsigned id) {
        std::lock_guard<std::mutex> lock(mutex);
        return callbacks.erase(id) > 0;
    }

    std::unordered_map<uint32_t, Callback> callbacks;  // guarded by mutex
    uint32_t nextId = 0;
    std::mutex mutex;
};

}  // namespace vireo
