// The table of live sockets. A SOCKET is a slot index in its low 32 bits and the slot's
// generation above, so a closed socket's value is not handed out again and a message still
// naming it matches nothing.
#include <unistd.h>

#include <vector>

#include "win32/socket_internal.h"
#include "win32/socket_table.h"

namespace {

struct SocketSlot {
    SocketRef record;
    uint32_t generation = 1;
};

struct SocketTable {
    std::mutex lock;
    std::vector<SocketSlot> slots;
    std::vector<uint32_t> free_slots;
};

constexpr uint32_t SOCKET_INDEX_LIMIT = 1u << 24;

SocketTable& socket_table() {
    static SocketTable* table = new SocketTable;
    return *table;
}

uintptr_t socket_encode(uint32_t index, uint32_t generation) {
    return (static_cast<uintptr_t>(generation) << 32) | ((static_cast<uintptr_t>(index) + 1) << 2);
}

// The slot of a live socket; the caller holds the table lock.
SocketSlot* socket_slot_locked(SocketTable& table, uintptr_t socket) {
    uint32_t low = static_cast<uint32_t>(socket);
    if (low == 0 || (low & 3) != 0) return nullptr;
    size_t index = (low >> 2) - 1;
    if (index >= table.slots.size()) return nullptr;
    SocketSlot& slot = table.slots[index];
    if (!slot.record || slot.generation != static_cast<uint32_t>(socket >> 32)) return nullptr;
    return &slot;
}

}  // namespace

SocketRecord::~SocketRecord() {
    if (fd >= 0) ::close(fd);
}

uintptr_t socket_table_add(SocketRef record) {
    SocketTable& table = socket_table();
    std::lock_guard<std::mutex> guard(table.lock);
    uint32_t index;
    if (!table.free_slots.empty()) {
        index = table.free_slots.back();
        table.free_slots.pop_back();
    } else {
        if (table.slots.size() >= SOCKET_INDEX_LIMIT) {
            SetLastError(WSOCK_EMFILE);
            return WSOCK_INVALID;
        }
        index = static_cast<uint32_t>(table.slots.size());
        table.slots.emplace_back();
    }
    table.slots[index].record = std::move(record);
    return socket_encode(index, table.slots[index].generation);
}

SocketRef socket_table_get(uintptr_t socket) {
    SocketTable& table = socket_table();
    {
        std::lock_guard<std::mutex> guard(table.lock);
        SocketSlot* slot = socket_slot_locked(table, socket);
        if (slot) return slot->record;
    }
    SetLastError(WSOCK_ENOTSOCK);
    return nullptr;
}

SocketRef socket_table_remove(uintptr_t socket) {
    SocketTable& table = socket_table();
    std::lock_guard<std::mutex> guard(table.lock);
    SocketSlot* slot = socket_slot_locked(table, socket);
    if (!slot) {
        SetLastError(WSOCK_ENOTSOCK);
        return nullptr;
    }
    SocketRef record = std::move(slot->record);
    // Generations only grow, and 2^31 reuses of one slot do not happen in a process's life.
    slot->generation++;
    table.free_slots.push_back(static_cast<uint32_t>(slot - table.slots.data()));
    return record;
}
