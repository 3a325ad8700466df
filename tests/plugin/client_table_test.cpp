// The socket-to-client table: many entries through growth and removals, a socket in two roles, and
// a socket entered for two clients found for the older one, as a walk of the client list would.
#include <vector>

#include "server/client_table.h"
#include "tests/plugin/client_fixture.h"

namespace {

using client_test::ClientTest;

class ClientTableTest : public ClientTest {};

FtpClient* fake_client(size_t number) { return reinterpret_cast<FtpClient*>(0x1000 + number * 0x100); }

// SOCKET values as the socket layer makes them: slot number and generation.
SOCKET socket_value(size_t slot, uint32_t generation) {
    return (static_cast<SOCKET>(generation) << 32) | ((slot + 1) << 2);
}

TEST_F(ClientTableTest, EntriesSurviveGrowthAndTheRemovalOfTheirNeighbours) {
    ClientTable table = {};
    constexpr size_t COUNT = 3000;
    for (size_t i = 0; i < COUNT; i++) {
        client_table_add(&table, socket_value(i, 1), CLIENT_SOCKET_CONTROL, fake_client(i));
        client_table_add(&table, socket_value(i, 2), CLIENT_SOCKET_DATA, fake_client(i));
    }
    client_table_add(&table, INVALID_SOCKET, CLIENT_SOCKET_DATA, fake_client(0));
    EXPECT_EQ(table.count, 2 * COUNT);
    for (size_t i = 0; i < COUNT; i += 2) {
        client_table_remove(&table, socket_value(i, 1), CLIENT_SOCKET_CONTROL, fake_client(i));
    }
    for (size_t i = 0; i < COUNT; i++) {
        FtpClient* kept = i % 2 ? fake_client(i) : nullptr;
        EXPECT_EQ(client_table_find(&table, socket_value(i, 1), CLIENT_SOCKET_CONTROL), kept);
        EXPECT_EQ(client_table_find(&table, socket_value(i, 2), CLIENT_SOCKET_DATA), fake_client(i));
        EXPECT_EQ(client_table_find(&table, socket_value(i, 2), CLIENT_SOCKET_PASV), nullptr);
    }
    // Removing every entry gives the slots back (the fixture checks that no block is left).
    for (size_t i = 0; i < COUNT; i++) {
        client_table_remove(&table, socket_value(i, 1), CLIENT_SOCKET_CONTROL, fake_client(i));
        client_table_remove(&table, socket_value(i, 2), CLIENT_SOCKET_DATA, fake_client(i));
    }
    EXPECT_EQ(table.count, 0u);
    EXPECT_EQ(table.slots, nullptr);
}

TEST_F(ClientTableTest, ASocketEnteredTwiceIsFoundForTheOlderEntryUntilItLeaves) {
    ClientTable table = {};
    SOCKET shared = socket_value(7, 1);
    for (size_t i = 1; i <= 3; i++) client_table_add(&table, shared, CLIENT_SOCKET_CONTROL, fake_client(i));
    client_table_add(&table, shared, CLIENT_SOCKET_DATA, fake_client(9));
    EXPECT_EQ(client_table_find(&table, shared, CLIENT_SOCKET_CONTROL), fake_client(1));
    EXPECT_EQ(client_table_find(&table, shared, CLIENT_SOCKET_DATA), fake_client(9));
    client_table_remove(&table, shared, CLIENT_SOCKET_CONTROL, fake_client(2));
    EXPECT_EQ(client_table_find(&table, shared, CLIENT_SOCKET_CONTROL), fake_client(1));
    client_table_remove(&table, shared, CLIENT_SOCKET_CONTROL, fake_client(1));
    EXPECT_EQ(client_table_find(&table, shared, CLIENT_SOCKET_CONTROL), fake_client(3));
    client_table_remove(&table, shared, CLIENT_SOCKET_CONTROL, fake_client(3));
    client_table_remove(&table, shared, CLIENT_SOCKET_DATA, fake_client(9));
    EXPECT_EQ(table.slots, nullptr);
}

// A client's sockets leave the table with it: a late message for them finds no one.
TEST_F(ClientTableTest, ADestroyedClientsSocketsFindNoOne) {
    FtpClient* client = connect();
    EXPECT_EQ(client_table_find(&server_.socket_clients, client_test::SCRIPTED_SOCKET, CLIENT_SOCKET_CONTROL), client);
    drop(client);
    EXPECT_EQ(client_table_find(&server_.socket_clients, client_test::SCRIPTED_SOCKET, CLIENT_SOCKET_CONTROL), nullptr);
    EXPECT_EQ(server_.socket_clients.count, 0u);
}

}  // namespace
