// The saved index's lock on Linux: flock on FILE.lock, the process id written into it.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "host/index/index_lock.h"

namespace host {
namespace {

int g_lock_fd = -1;

uint32_t holder_read(int fd) {
    char text[16] = {};
    ssize_t got = pread(fd, text, sizeof text - 1, 0);
    return got > 0 ? static_cast<uint32_t>(std::strtoul(text, nullptr, 10)) : 0;
}

}  // namespace

IndexLockResult index_lock_take(const std::string& index_path, uint32_t* holder) {
    *holder = 0;
    int fd = open((index_path + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return IndexLockResult::FAILED;
    int status;
    do status = flock(fd, LOCK_EX | LOCK_NB);
    while (status != 0 && errno == EINTR);
    if (status != 0) {
        IndexLockResult result = errno == EWOULDBLOCK ? IndexLockResult::IN_USE : IndexLockResult::FAILED;
        *holder = holder_read(fd);
        close(fd);
        return result;
    }
    std::string pid = std::to_string(getpid()) + "\n";
    // Without the number the lock holds all the same; another run then names no process.
    bool written = ftruncate(fd, 0) == 0 && pwrite(fd, pid.data(), pid.size(), 0) == static_cast<ssize_t>(pid.size());
    (void)written;
    index_lock_release();
    g_lock_fd = fd;
    return IndexLockResult::TAKEN;
}

void index_lock_release() {
    if (g_lock_fd >= 0) close(g_lock_fd);
    g_lock_fd = -1;
}

}  // namespace host
