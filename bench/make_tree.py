#!/usr/bin/env python3
"""Makes a synthetic folder tree for the index benchmark: COUNT entries (files and folders) in
folders of about 20, names drawn from a fixed vocabulary with some non-ASCII ones, sparse files
of varied sizes. The same arguments always give the same tree.

Half of the files carry "report" in their name; about ten carry "zanzibar"."""
import argparse
import os
import random
import sys

WORDS = ["alpha", "beta", "gamma", "delta", "notes", "photo", "music", "video", "draft", "final",
         "café", "über", "straße", "niño", "résumé", "data", "backup", "scan", "invoice", "letter"]
EXTENSIONS = ["txt", "pdf", "jpg", "mp3", "doc", "png", "flac", "md", "csv", "bin"]
FOLDER_FANOUT = 20


def file_name(rng, number, rare):
    head = "report" if number % 2 == 0 else rng.choice(WORDS)
    middle = "zanzibar" if rare else rng.choice(WORDS)
    return f"{head}_{middle}_{number:07d}.{EXTENSIONS[number % len(EXTENSIONS)]}"


def make_tree(root, count, seed=1):
    rng = random.Random(seed)
    os.makedirs(root, exist_ok=True)
    folders = [root]
    made = 0
    number = 0
    rare_every = max(1, count // 10)
    at = 0
    while made < count:
        parent = folders[at]
        at += 1
        # Each folder gets a few subfolders and many files, until the count is reached.
        for _ in range(2):
            if made >= count:
                break
            path = os.path.join(parent, f"{rng.choice(WORDS)}_{made:07d}")
            os.mkdir(path)
            folders.append(path)
            made += 1
        for _ in range(FOLDER_FANOUT - 2):
            if made >= count:
                break
            number += 1
            path = os.path.join(parent, file_name(rng, number, number % rare_every == 0))
            fd = os.open(path, os.O_CREAT | os.O_WRONLY | os.O_CLOEXEC, 0o644)
            size = rng.choice((0, 1, 100, 4096, 65536, 1 << 20, rng.randrange(1 << 30)))
            if size:
                os.ftruncate(fd, size)
            os.close(fd)
            made += 1
    return made


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("root")
    parser.add_argument("--count", type=int, default=1_000_000)
    args = parser.parse_args()
    made = make_tree(args.root, args.count)
    print(f"made {made} entries under {args.root}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
