"""The trees the fault suite serves: one temporary folder per run, wide trees of empty files made
once and shared by the cases, and sparse large files."""

import os
import shutil
import tempfile
import threading
import time

from fault_figures import MIB


MEMORY_FOLDER = "/dev/shm"
LARGE_TREE_MEMORY = 6 << 30  # what a tree of 1,000,000 entries in memory and its server may take


def scratch_parent():
    """A memory file system when there is one: a tree of 100,000 entries is made there in seconds."""
    if os.path.isdir(MEMORY_FOLDER) and os.access(MEMORY_FOLDER, os.W_OK):
        stats = os.statvfs(MEMORY_FOLDER)
        if stats.f_bavail * stats.f_frsize > 512 * MIB:
            return MEMORY_FOLDER
    return None


def available_memory():
    with open("/proc/meminfo") as meminfo:
        for line in meminfo:
            if line.startswith("MemAvailable:"):
                return int(line.split()[1]) * 1024
    return 0


def make_wide_tree(root, files, per_folder=1000):
    """Empty files named f0000000_alpha.txt and on, in folders d0000 and on; returns the entries
    below root (files and folders)."""
    os.makedirs(root)
    made = folders = 0
    while made < files:
        folder = os.path.join(root, "d%04d" % folders)
        os.mkdir(folder)
        folders += 1
        folder_fd = os.open(folder, os.O_RDONLY | os.O_DIRECTORY)
        try:
            for _ in range(min(per_folder, files - made)):
                name = "f%07d_alpha.txt" % made
                os.close(os.open(name, os.O_CREAT | os.O_WRONLY | os.O_CLOEXEC, 0o644, dir_fd=folder_fd))
                made += 1
        finally:
            os.close(folder_fd)
    return made + folders


def remove_deep_tree(path):
    """Removes a tree of any depth with one folder open at a time: shutil.rmtree recurses, and no
    path names what lies beyond the system's limit for one."""
    if not os.path.isdir(path):
        return
    names = []  # from path down to the open folder
    fd = os.open(path, os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW)
    try:
        while True:
            folder = None
            for entry in os.scandir(fd):
                if entry.is_dir(follow_symlinks=False):
                    folder = entry.name
                else:
                    os.unlink(entry.name, dir_fd=fd)
            if folder is not None:
                child = os.open(folder, os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW, dir_fd=fd)
                os.close(fd)
                fd = child
                names.append(folder)
                continue
            if not names:
                break
            parent = os.open("..", os.O_RDONLY | os.O_DIRECTORY, dir_fd=fd)
            os.close(fd)
            fd = parent
            os.rmdir(names.pop(), dir_fd=fd)
    finally:
        os.close(fd)
    os.rmdir(path)


def make_sparse_file(path, size):
    with open(path, "wb") as out:
        out.truncate(size)


class Scratch:
    """The run's one temporary folder and the trees made in it, each made once when first asked for."""

    def __init__(self):
        self.folder = tempfile.mkdtemp(prefix="swp-faults-", dir=scratch_parent())
        self._wide = {}
        self._lock = threading.Lock()

    def large_tree_affordable(self):
        """A tree of 1,000,000 entries takes half a minute to make in memory, and ten on a busy disk."""
        return self.folder.startswith(MEMORY_FOLDER + "/") and available_memory() >= LARGE_TREE_MEMORY

    def path(self, *names):
        return os.path.join(self.folder, *names)

    def wide_tree(self, files):
        """(index argument, entries the index holds) of a tree of `files` files."""
        with self._lock:
            if files not in self._wide:
                root = self.path("wide%d" % files)
                started = time.monotonic()
                below = make_wide_tree(root, files)
                print("faults: made a tree of %d entries in %.1f s" % (below + 1, time.monotonic() - started),
                      flush=True)
                self._wide[files] = (root + "=wide", below + 1)
            return self._wide[files]

    def remove(self):
        shutil.rmtree(self.folder, ignore_errors=True)
