// Helpers that bench_transfer.py times.
//   swp_bench_transfer copy FILE         listens on 127.0.0.1, prints its port, accepts one
//                                        connection and sends FILE through one 64 KiB buffer that a
//                                        reader thread and the sending thread hand back and forth:
//                                        the ceiling of a one-buffer download that hands over
//                                        through a condition variable.
//   swp_bench_transfer send FILE         the same with one thread that reads and sends in turn:
//                                        the ceiling of any download through one buffer in user
//                                        memory, with no hand-over at all.
//   swp_bench_transfer drain HOST PORT   connects and reads until the peer closes; prints the bytes.
//   swp_bench_transfer echo              listens on 127.0.0.1, prints its port, accepts one
//                                        connection and answers each line with one short line.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr size_t BUFFER_SIZE = 65536;

struct Handoff {
    std::mutex lock;
    std::condition_variable changed;
    std::vector<char> buffer = std::vector<char>(BUFFER_SIZE);
    ssize_t filled = 0;  // bytes waiting to be sent; 0: the reader owns the buffer; -1: end
};

void read_loop(int file, Handoff* handoff)
{
    for (;;) {
        {
            std::unique_lock<std::mutex> hold(handoff->lock);
            handoff->changed.wait(hold, [&] { return handoff->filled == 0; });
        }
        ssize_t count = read(file, handoff->buffer.data(), BUFFER_SIZE);
        std::lock_guard<std::mutex> hold(handoff->lock);
        handoff->filled = count > 0 ? count : -1;
        handoff->changed.notify_one();
        if (count <= 0) return;
    }
}

int send_all(int socket, const char* bytes, size_t count)
{
    while (count != 0) {
        ssize_t sent = send(socket, bytes, count, MSG_NOSIGNAL);
        if (sent <= 0) return 0;
        bytes += sent;
        count -= static_cast<size_t>(sent);
    }
    return 1;
}

// Listens on a loopback port, prints it for the benchmark to connect to, and accepts one
// connection, closing the listener; -1 (the cause printed) when any step fails.
int accept_one_on_loopback()
{
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 || listen(listener, 1) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        return perror("listen"), -1;
    }
    std::printf("%d\n", ntohs(address.sin_port));
    std::fflush(stdout);
    int connection = accept(listener, nullptr, nullptr);
    if (connection < 0) perror("accept");
    close(listener);  // one connection is all a run takes
    return connection;
}

int copy(const char* path)
{
    int file = open(path, O_RDONLY);
    if (file < 0) return perror(path), 1;
    int connection = accept_one_on_loopback();
    if (connection < 0) return 1;

    Handoff handoff;
    std::thread reader(read_loop, file, &handoff);
    unsigned long long total = 0;
    for (;;) {
        std::unique_lock<std::mutex> hold(handoff.lock);
        handoff.changed.wait(hold, [&] { return handoff.filled != 0; });
        if (handoff.filled < 0) break;
        size_t count = static_cast<size_t>(handoff.filled);
        hold.unlock();
        if (!send_all(connection, handoff.buffer.data(), count)) break;
        total += count;
        hold.lock();
        handoff.filled = 0;
        handoff.changed.notify_one();
    }
    {
        // A failed send leaves the reader waiting: give it the end.
        std::lock_guard<std::mutex> hold(handoff.lock);
        if (handoff.filled > 0) handoff.filled = -1;
    }
    reader.join();
    shutdown(connection, SHUT_WR);
    close(connection);
    close(file);
    std::fprintf(stderr, "%llu\n", total);
    return 0;
}

int send_loop(const char* path)
{
    int file = open(path, O_RDONLY);
    if (file < 0) return perror(path), 1;
    int connection = accept_one_on_loopback();
    if (connection < 0) return 1;
    std::vector<char> buffer(BUFFER_SIZE);
    unsigned long long total = 0;
    for (;;) {
        ssize_t count = read(file, buffer.data(), BUFFER_SIZE);
        if (count <= 0 || !send_all(connection, buffer.data(), static_cast<size_t>(count))) break;
        total += static_cast<unsigned long long>(count);
    }
    shutdown(connection, SHUT_WR);
    close(connection);
    close(file);
    std::fprintf(stderr, "%llu\n", total);
    return 0;
}

// Answers every line of one connection at once with one short line, until the peer closes.
int echo()
{
    int connection = accept_one_on_loopback();
    if (connection < 0) return 1;
    int on = 1;
    setsockopt(connection, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
    static const char ANSWER[] = "200 NOOP ok.\r\n";
    char buffer[4096];
    for (;;) {
        ssize_t count = recv(connection, buffer, sizeof(buffer), 0);
        if (count <= 0) break;
        for (ssize_t i = 0; i < count; i++)
            if (buffer[i] == '\n' && !send_all(connection, ANSWER, sizeof(ANSWER) - 1)) count = 0;
    }
    close(connection);
    return 0;
}

int drain(const char* host, const char* port)
{
    addrinfo hints = {};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host, port, &hints, &found) != 0) return std::fprintf(stderr, "bad address\n"), 1;
    int connection = socket(found->ai_family, SOCK_STREAM, 0);
    if (connect(connection, found->ai_addr, found->ai_addrlen) != 0) return perror("connect"), 1;
    freeaddrinfo(found);
    std::vector<char> buffer(1 << 18);
    unsigned long long total = 0;
    for (;;) {
        ssize_t count = recv(connection, buffer.data(), buffer.size(), 0);
        if (count <= 0) break;
        total += static_cast<unsigned long long>(count);
    }
    close(connection);
    std::printf("%llu\n", total);
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 3 && std::strcmp(argv[1], "copy") == 0) return copy(argv[2]);
    if (argc == 3 && std::strcmp(argv[1], "send") == 0) return send_loop(argv[2]);
    if (argc == 4 && std::strcmp(argv[1], "drain") == 0) return drain(argv[2], argv[3]);
    if (argc == 2 && std::strcmp(argv[1], "echo") == 0) return echo();
    std::fprintf(stderr, "usage: %s copy FILE | send FILE | drain HOST PORT | echo\n", argv[0]);
    return 2;
}
