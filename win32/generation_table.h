// The table behind handle values of this layer (kernel objects, sockets): a value is a slot index
// in its low 32 bits (plus one, shifted by two, so that 0 and small numbers are never valid) and
// the slot's generation above. A slot's generation grows when its entry leaves, so a value whose
// entry is gone stays invalid after the slot is reused, and a message still naming it matches
// nothing. Every call takes the table's lock; lookups copy a reference out.
#pragma once

#include <cstdint>
#include <mutex>
#include <utility>
#include <vector>

template <typename Ref>
struct GenerationTable {
    static constexpr uint32_t INDEX_LIMIT = 1u << 24;

    struct Slot {
        Ref entry;
        uint32_t generation = 1;
    };

    std::mutex lock;
    std::vector<Slot> slots;
    std::vector<uint32_t> free_slots;

    // The value of the new entry, or 0 when the table is full.
    uintptr_t add(Ref entry) {
        std::lock_guard<std::mutex> guard(lock);
        uint32_t index;
        if (!free_slots.empty()) {
            index = free_slots.back();
            free_slots.pop_back();
        } else {
            if (slots.size() >= INDEX_LIMIT) return 0;
            index = static_cast<uint32_t>(slots.size());
            slots.emplace_back();
        }
        slots[index].entry = std::move(entry);
        return (static_cast<uintptr_t>(slots[index].generation) << 32) | ((static_cast<uintptr_t>(index) + 1) << 2);
    }

    // The live entry behind a value when `accept` takes it; null otherwise.
    template <typename Accept>
    Ref get(uintptr_t value, Accept accept) {
        std::lock_guard<std::mutex> guard(lock);
        Slot* slot = slot_locked(value);
        if (slot && accept(slot->entry)) return slot->entry;
        return nullptr;
    }

    Ref get(uintptr_t value) {
        return get(value, [](const Ref&) { return true; });
    }

    // Takes the entry out; null when the value names no live entry. The caller drops the
    // reference after the lock is released, so a destructor that closes a descriptor runs outside.
    Ref remove(uintptr_t value) {
        std::lock_guard<std::mutex> guard(lock);
        Slot* slot = slot_locked(value);
        if (!slot) return nullptr;
        Ref entry = std::move(slot->entry);
        slot->generation = slot->generation == 0x7FFFFFFF ? 1 : slot->generation + 1;
        free_slots.push_back(static_cast<uint32_t>(slot - slots.data()));
        return entry;
    }

private:
    Slot* slot_locked(uintptr_t value) {
        uint32_t low = static_cast<uint32_t>(value);
        if (low == 0 || (low & 3) != 0) return nullptr;
        size_t index = (low >> 2) - 1;
        if (index >= slots.size()) return nullptr;
        Slot& slot = slots[index];
        if (!slot.entry || slot.generation != static_cast<uint32_t>(value >> 32)) return nullptr;
        return &slot;
    }
};
