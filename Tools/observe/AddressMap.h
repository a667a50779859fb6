// A map from block addresses to values, for the sampled blocks in use: open
// addressing with linear probing, so that a lookup reads one cache line where
// a node map reads three (bucket, node, value), and a block costs no
// allocation of its own. Its one array comes from the C heap
// (engines/SystemHeap.h), never from a handle.
#pragma once

#include "engines/SystemHeap.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <new>

namespace dideverazez::observe {

template <class Value> class AddressMap {
public:
    AddressMap() = default;
    ~AddressMap() { heap::Free(slots_); }
    AddressMap(const AddressMap&) = delete;
    AddressMap& operator=(const AddressMap&) = delete;

    std::size_t Size() const noexcept { return size_; }

    // The value of `key`, or null. Valid until the next Insert or Erase.
    Value* Find(const void* key) noexcept {
        if (size_ == 0) {
            return nullptr;
        }
        for (std::size_t at = Home(key);; at = (at + 1) & mask_) {
            if (slots_[at].key == key) {
                return &slots_[at].value;
            }
            if (slots_[at].key == nullptr) {
                return nullptr;
            }
        }
    }

    // Starts loading the line where `key` would be, for a lookup or insertion
    // made soon after under the lock that guards the map. Safe without that
    // lock: it reads only the array's address as last published, and a stale
    // one costs a wasted load, never a fault.
    void Prefetch(const void* key) const noexcept {
        const std::uintptr_t at = published_.load(std::memory_order_relaxed);
        const unsigned shift = publishedShift_.load(std::memory_order_relaxed);
        if (at != 0 && shift < 64) {
            const std::uintptr_t home =
                (reinterpret_cast<std::uintptr_t>(key) * 0x9e3779b97f4a7c15ULL) >> shift;
            __builtin_prefetch(reinterpret_cast<const void*>(at + home * sizeof(Slot)));
        }
    }

    // Adds `key`, which is not null and not in the map. Raises std::bad_alloc
    // when the table must grow and the heap has no room, leaving it as it was.
    Value& Insert(const void* key, const Value& value) {
        if ((size_ + 1) * 4 > (mask_ + 1) * 3) {
            Grow();
        }
        std::size_t at = Home(key);
        while (slots_[at].key != nullptr) {
            at = (at + 1) & mask_;
        }
        slots_[at] = Slot{key, value};
        ++size_;
        return slots_[at].value;
    }

    // Removes the entry whose value Find returned. The entries after it that
    // probed past its slot move back, so that no lookup stops short of them.
    void Erase(Value* value) noexcept {
        std::size_t hole = static_cast<std::size_t>(
            reinterpret_cast<Slot*>(reinterpret_cast<char*>(value) - offsetof(Slot, value)) -
            slots_);
        for (std::size_t at = (hole + 1) & mask_; slots_[at].key != nullptr;
             at = (at + 1) & mask_) {
            // The entry stays unless its home is cyclically outside (hole, at].
            const std::size_t home = Home(slots_[at].key);
            const bool reachable =
                hole < at ? (home > hole && home <= at) : (home > hole || home <= at);
            if (!reachable) {
                slots_[hole] = slots_[at];
                hole = at;
            }
        }
        slots_[hole].key = nullptr;
        --size_;
    }

    // Calls `visit(key, value)` for each entry, in no order.
    template <class Visit> void ForEach(Visit&& visit) {
        for (std::size_t at = 0; size_ != 0 && at <= mask_; ++at) {
            if (slots_[at].key != nullptr) {
                visit(slots_[at].key, slots_[at].value);
            }
        }
    }

    // Gives the array back to the heap; the map must be empty.
    void Release() noexcept {
        heap::Free(slots_);
        slots_ = nullptr;
        mask_ = 0;
        shift_ = 64;
        Publish();
    }

private:
    struct Slot {
        const void* key; // null: empty
        Value value;
    };

    std::size_t Home(const void* key) const noexcept {
        return static_cast<std::size_t>(
            (reinterpret_cast<std::uintptr_t>(key) * 0x9e3779b97f4a7c15ULL) >> shift_);
    }

    void Grow() {
        const std::size_t capacity = slots_ == nullptr ? 1024 : (mask_ + 1) * 2;
        auto* grown = static_cast<Slot*>(heap::Allocate(capacity * sizeof(Slot)));
        if (grown == nullptr) {
            throw std::bad_alloc();
        }
        for (std::size_t at = 0; at < capacity; ++at) {
            grown[at].key = nullptr;
        }
        Slot* old = slots_;
        const std::size_t oldCapacity = old == nullptr ? 0 : mask_ + 1;
        slots_ = grown;
        mask_ = capacity - 1;
        shift_ = 64 - static_cast<unsigned>(__builtin_ctzll(capacity));
        Publish();
        for (std::size_t from = 0; from < oldCapacity; ++from) {
            if (old[from].key != nullptr) {
                std::size_t at = Home(old[from].key);
                while (slots_[at].key != nullptr) {
                    at = (at + 1) & mask_;
                }
                slots_[at] = old[from];
            }
        }
        heap::Free(old);
    }

    void Publish() noexcept {
        published_.store(reinterpret_cast<std::uintptr_t>(slots_), std::memory_order_relaxed);
        publishedShift_.store(shift_, std::memory_order_relaxed);
    }

    Slot* slots_ = nullptr;
    std::size_t mask_ = 0;
    unsigned shift_ = 64;
    std::size_t size_ = 0;
    std::atomic<std::uintptr_t> published_{0}; // slots_ and shift_, for Prefetch
    std::atomic<unsigned> publishedShift_{64};
};

} // namespace dideverazez::observe
