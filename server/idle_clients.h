// The clients that have not logged on, least recently heard from first, and the one that gives
// up its descriptor when an accept finds none left.
#pragma once

struct FtpClient;

// Lists a new client, which has not logged on yet, as the most recently heard from.
void idle_clients_add(FtpClient* client);
// After a client's bytes were read and its lines run: it becomes the most recently heard from
// while it has not logged on, and leaves the list once it has.
void idle_clients_note_activity(FtpClient* client);
// Takes a client out of the list; client_destroy calls it.
void idle_clients_remove(FtpClient* client);
// Closes the client idle longest among those not logged on whose bytes have all been read,
// other than `spare`; false when there is none.
bool idle_clients_close_one(const FtpClient* spare);
