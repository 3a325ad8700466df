// The socket-to-client table. Entries for one key keep the order they were entered in along their
// probe run (a removal shifts the later ones back), so a lookup finds the oldest, as a walk of the
// client list from its head would.
#include "server/client_table.h"

namespace {

constexpr size_t TABLE_FIRST_CAPACITY = 64;

size_t slot_hash(SOCKET socket, ClientSocketRole role, size_t capacity) {
    uint64_t key = (static_cast<uint64_t>(socket) >> 2) ^ (static_cast<uint64_t>(socket) >> 29) ^ role;
    return static_cast<size_t>((key * 0x9E3779B97F4A7C15ull) >> 32) & (capacity - 1);
}

// The slot of an entry, or the capacity when there is none.
size_t slot_find(const ClientTable* table, SOCKET socket, ClientSocketRole role, const FtpClient* client) {
    if (table->capacity == 0) return 0;
    size_t mask = table->capacity - 1;
    for (size_t at = slot_hash(socket, role, table->capacity);; at = (at + 1) & mask) {
        const ClientTableSlot& slot = table->slots[at];
        if (!slot.client) return table->capacity;
        if (slot.socket == socket && slot.role == role && (!client || slot.client == client)) return at;
    }
}

void slot_place(ClientTableSlot* slots, size_t capacity, const ClientTableSlot& entry) {
    size_t at = slot_hash(entry.socket, entry.role, capacity);
    while (slots[at].client) at = (at + 1) & (capacity - 1);
    slots[at] = entry;
}

// Doubles the slots, or makes the first ones; entries keep their order along each probe run.
void table_grow(ClientTable* table) {
    size_t capacity = table->capacity ? table->capacity * 2 : TABLE_FIRST_CAPACITY;
    ClientTableSlot* slots = static_cast<ClientTableSlot*>(mem_calloc(capacity * sizeof(ClientTableSlot)));
    if (table->capacity) {
        // Walked from the start of a probe run, so that entries of one key go in in their order.
        size_t start = 0;
        while (table->slots[start].client) start++;
        for (size_t step = 1; step <= table->capacity; step++) {
            const ClientTableSlot& entry = table->slots[(start + step) & (table->capacity - 1)];
            if (entry.client) slot_place(slots, capacity, entry);
        }
    }
    mem_free(table->slots);
    table->slots = slots;
    table->capacity = capacity;
}

// Empties a slot and moves back the entries after it that belong before the gap.
void slot_erase(ClientTable* table, size_t gap) {
    size_t mask = table->capacity - 1;
    for (size_t at = (gap + 1) & mask; table->slots[at].client; at = (at + 1) & mask) {
        size_t home = slot_hash(table->slots[at].socket, table->slots[at].role, table->capacity);
        // The entry may move to the gap when its home is not in the cyclic range (gap, at].
        bool home_after_gap = gap <= at ? (home > gap && home <= at) : (home > gap || home <= at);
        if (home_after_gap) continue;
        table->slots[gap] = table->slots[at];
        gap = at;
    }
    table->slots[gap] = ClientTableSlot{};
}

}  // namespace

void client_table_add(ClientTable* table, SOCKET socket, ClientSocketRole role, FtpClient* client) {
    if (socket == INVALID_SOCKET) return;
    // Kept at most half full, so that probe runs stay short.
    if ((table->count + 1) * 2 > table->capacity) table_grow(table);
    slot_place(table->slots, table->capacity, ClientTableSlot{socket, client, role});
    table->count++;
}

void client_table_remove(ClientTable* table, SOCKET socket, ClientSocketRole role, const FtpClient* client) {
    size_t at = slot_find(table, socket, role, client);
    if (at == table->capacity) return;
    slot_erase(table, at);
    if (--table->count != 0) return;
    mem_free(table->slots);
    *table = ClientTable{};
}

FtpClient* client_table_find(const ClientTable* table, SOCKET socket, ClientSocketRole role) {
    size_t at = slot_find(table, socket, role, nullptr);
    return at == table->capacity ? nullptr : table->slots[at].client;
}
