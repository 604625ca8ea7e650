#!/usr/bin/env python3
"""Makes the benchmark's file tree: deterministic, about 330,000 files in about 32,000 folders.

Usage: gen_tree.py [--files N] [--folders N] DEST

--files and --folders make a tree of another size with the same mix (the benchmark's million-file
tree); the folders keep their spread over the depths.

DEST must not exist. The tree goes to DEST/root and a summary to DEST/tree.json, which the
benchmark uses as the expected answer for its result-count check. The tree is the same on every
run (fixed seed, fixed name order); only this file's contents decide it, so the benchmark keys its
cache on this file's hash.

What the tree holds:
  * folders from depth 1 to 9, names in mixed case, with spaces, Chinese, Cyrillic, Greek and
    accented letters, some named like files ("Live.mp3 12");
  * files named stem + number + extension: .mp3 in several letter cases, .txt .jpg .JPG .doc and
    others, names without extension, decoys such as "x.mp3.txt", a few names that are not
    valid UTF-8;
  * hidden names (beginning with "."): some folders at depth 4 or more, with whole subtrees under
    them, and some files ("._IMG 12.mp3", ".DS_Store"); every tool in the benchmark skips both;
  * sizes: about 3% empty, most 1 byte to 4 KB, some to 64 KB, a few of 1 to 8 MB. Files are
    made with ftruncate, so they are sparse and the tree costs little disk beyond its inodes.
  * no symbolic links.
"""

import json
import os
import random
import sys
import time

SEED = 20261207
FILES = 330_000
# Folders made at each depth (depth 1 = children of the root).
FOLDERS_AT_DEPTH = [12, 120, 900, 3000, 6000, 8000, 7000, 4500, 2500]
HIDDEN_FOLDER_MIN_DEPTH = 4
HIDDEN_FOLDER_SHARE = 0.006
HIDDEN_FILE_SHARE = 0.005
RAW_BYTE_NAME_SHARE = 0.0001

FOLDER_WORDS = [
    "Music", "music", "MUSIC", "Album", "Photos", "照片", "音乐", "文档", "Documents", "src",
    "Backup 2019", "My Files", "Projects", "data", "Über Ordner", "Café", "Reports", "misc",
    "Downloads", "ВИДЕО", "Ωmega", "temp", "Archive", "Mixed CaSe", "New Folder", "Library",
    "Live.mp3", "disk.MP3", "Old.Stuff", "下载", "Ünïcödé", "x",
]
HIDDEN_FOLDER_WORDS = [".cache", ".git", ".thumbnails", ".Trash-1000", ".config", ".mp3"]
FILE_STEMS = [
    "track", "Track", "TRACK", "song", "Song Title", "IMG_", "DSC", "report", "Report Final",
    "notes", "README", "Makefile", "备份", "音乐", "我的文档", "歌曲", "café", "Über",
    "naïve résumé", "Ωmega", "ファイル", "müsic", "Mixed CaSe", "data", "photo", "invoice",
    "🎵 tune", "x", "a b c", "mp3", "MP3 list", "Песня",
]
# (extension, weight); "" is a name without extension.
EXTENSIONS = [
    (".mp3", 80), (".MP3", 20), (".Mp3", 5), (".mP3", 2), (".txt", 140), (".TXT", 10),
    (".jpg", 140), (".JPG", 40), (".jpeg", 10), (".doc", 70), (".DOC", 10), (".docx", 40),
    (".pdf", 50), (".png", 50), (".cpp", 30), (".h", 30), (".log", 30), (".tar.gz", 10),
    (".mp3.txt", 5), (".mp3.bak", 3), (".mp4", 20), (".m3u", 5), ("", 100), (".", 1),
]
SEPARATORS = [" ", "_", "-", ""]


def pick_size(rng):
    r = rng.random()
    if r < 0.03:
        return 0
    if r < 0.88:
        return rng.randint(1, 4096)
    if r < 0.995:
        return rng.randint(4097, 65536)
    return rng.randint(1_000_000, 8_000_000)


def plan(rng, files, folders_at_depth):
    """Returns folders as (parent index, name bytes, depth, hidden) and files per folder."""
    folders = [(-1, b"", 0, False)]  # the root
    by_depth = [[0]]
    children = {0: set()}
    for depth, count in enumerate(folders_at_depth, start=1):
        level = []
        parents = by_depth[depth - 1]
        for _ in range(count):
            parent = parents[rng.randrange(len(parents))]
            ordinal = len(children[parent]) + 1
            if depth >= HIDDEN_FOLDER_MIN_DEPTH and rng.random() < HIDDEN_FOLDER_SHARE:
                word = rng.choice(HIDDEN_FOLDER_WORDS)
            else:
                word = rng.choice(FOLDER_WORDS)
            name = f"{word}{rng.choice(SEPARATORS)}{ordinal}".encode()
            while name in children[parent]:
                name += b"~"
            children[parent].add(name)
            index = len(folders)
            hidden = folders[parent][3] or name.startswith(b".")
            folders.append((parent, name, depth, hidden))
            children[index] = set()
            level.append(index)
        by_depth.append(level)

    weights = [rng.lognormvariate(0.0, 1.0) for _ in folders]
    total = sum(weights)
    counts = [int(files * w / total) for w in weights]
    for i in range(files - sum(counts)):
        counts[i % len(counts)] += 1
    return folders, counts


def file_name(rng, ordinal):
    exts = [e for e, _ in EXTENSIONS]
    ext_weights = [w for _, w in EXTENSIONS]
    ext = rng.choices(exts, ext_weights)[0]
    r = rng.random()
    if r < RAW_BYTE_NAME_SHARE:
        # Latin-1 bytes, not valid UTF-8.
        return b"caf\xe9 r\xe9sum\xe9 " + str(ordinal).encode() + ext.encode(), True
    stem = rng.choice(FILE_STEMS)
    name = f"{stem}{rng.choice(SEPARATORS)}{ordinal:03d}{ext}"
    if r < RAW_BYTE_NAME_SHARE + HIDDEN_FILE_SHARE:
        name = ("._" if rng.random() < 0.5 else ".") + name
    return name.encode(), False


def main():
    args = sys.argv[1:]
    files, folders_at_depth = FILES, FOLDERS_AT_DEPTH
    while len(args) > 2 and args[0] in ("--files", "--folders") and args[1].isdigit():
        if args[0] == "--files":
            files = int(args[1])
        else:
            scale = int(args[1]) / sum(FOLDERS_AT_DEPTH)
            folders_at_depth = [max(1, round(n * scale)) for n in FOLDERS_AT_DEPTH]
        args = args[2:]
    # An option it does not know (--help among them) is no destination.
    if len(args) != 1 or args[0].startswith("-"):
        sys.exit(__doc__)
    dest = os.fsencode(args[0])
    root = os.path.join(dest, b"root")
    os.makedirs(dest)
    start = time.monotonic()
    rng = random.Random(SEED)
    folders, counts = plan(rng, files, folders_at_depth)

    paths = [root]
    os.mkdir(root)
    for parent, name, _, _ in folders[1:]:
        path = os.path.join(paths[parent], name)
        os.mkdir(path)
        paths.append(path)

    stats = dict(folders_visible=0, folders_hidden=0, files_visible=0, files_hidden=0,
                 mp3_visible=0, bytes_visible=0, mp3_bytes_visible=0, empty_files_visible=0,
                 raw_byte_names=0, max_depth=max(d for _, _, d, _ in folders))
    flags = os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC
    for index, (_, _, _, hidden_folder) in enumerate(folders):
        if index > 0:
            stats["folders_hidden" if hidden_folder else "folders_visible"] += 1
        folder_fd = os.open(paths[index], os.O_RDONLY | os.O_DIRECTORY)
        try:
            names = set()
            if counts[index] > 20 and rng.random() < 0.1:
                names.add(b".DS_Store")
                fd = os.open(b".DS_Store", flags, 0o644, dir_fd=folder_fd)
                os.ftruncate(fd, 6148)
                os.close(fd)
                stats["files_hidden"] += 1
            for ordinal in range(1, counts[index] + 1):
                name, raw_bytes = file_name(rng, ordinal)
                while name in names:
                    name = b"_" + name
                names.add(name)
                size = pick_size(rng)
                fd = os.open(name, flags, 0o644, dir_fd=folder_fd)
                if size:
                    os.ftruncate(fd, size)
                os.close(fd)
                if hidden_folder or name.startswith(b"."):
                    stats["files_hidden"] += 1
                    continue
                stats["files_visible"] += 1
                stats["bytes_visible"] += size
                stats["empty_files_visible"] += size == 0
                stats["raw_byte_names"] += raw_bytes
                if name.lower().endswith(b".mp3"):
                    stats["mp3_visible"] += 1
                    stats["mp3_bytes_visible"] += size
        finally:
            os.close(folder_fd)

    with open(os.path.join(dest, b"tree.json"), "w") as out:
        json.dump(stats, out, indent=1)
    print(f"made {stats['files_visible'] + stats['files_hidden']:,} files in "
          f"{len(folders) - 1:,} folders in {time.monotonic() - start:.1f} s", file=sys.stderr)


if __name__ == "__main__":
    main()
