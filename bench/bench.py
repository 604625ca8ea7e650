#!/usr/bin/env python3
"""Times quarvex-find against GNU find, bfs and fd on one generated tree, all in the same run.

Run by bench/run.sh (`make bench`). Sections, each timed on its own (QUARVEX_BENCH_ONLY picks
some, e.g. "sweep" or "warm,cold"; default all):
  warm   quarvex-find (default threads and -j1), find, bfs, fd (default and -j1) and the GUI
         row on both patterns: one untimed warm-up run each (its output kept for the result
         check), RUNS interleaved rounds, the peak memory of one more run under /usr/bin/time;
  sweep  quarvex-find -jN for N in 1 to 1024 beside fd -jN for N in 1 to 64 and find, warm,
         SWEEP_RUNS interleaved rounds; every quarvex-find -jN must print -j1's bytes;
  cold   as root, the page cache dropped before every run: quarvex-find at its default threads
         and at -j8 to -j64, fd at -j8 to -j32, find and bfs, COLD_RUNS interleaved rounds;
         without root the section says it was skipped;
  chain  a chain of 100,000 nested folders: quarvex-find (default and -j1) against find;
  wide   one folder of 40,000 folders: quarvex-find against find;
  store  the listing store: STORE_RUNS rounds of fresh quarvex-find --queries processes: one
         asked the first '*.mp3', the same at once, and, once the process is quiet, '*.mp3',
         '*.txt' and '*.*'; two more asked '*.mp3' again 0.5 s and 1 s after their first answer,
         while the background pass runs; every answer checked against the one-shot output,
         interleaved with one-shot runs; then quarvex-store-bench for the store's bytes per file;
  million a tree of 1,000,000 files in 64,000 folders (build/bench-tree-1m, made once, never by
         `make test`): one-shot '*.mp3' runs, a --queries process asked the first '*.mp3' and,
         settled, MILLION_RUNS more, read and checked, and quarvex-store-bench's settled repeat;
  win32  the Win32 window (the i686 product where 32-bit code runs, else the x86_64 build;
         under Wine and Xvfb) searching '*' on the tree mapped as drive B:, timed from Start
         to the report box by quarvex-win32-bench, against quarvex-find.exe under the same Wine:
         WIN32_RUNS interleaved rounds after a warm-up; the window's count must equal the
         console's lines.
At the end, the goals of the speed work, each as measured by the sections that ran.
The tree is made once with bench/gen_tree.py under build/bench-tree, keyed on the generator's
hash: it is made again only when missing or when gen_tree.py changed.

Targets, printed as PASS/MISS for information only (time never fails the run): quarvex-find with
its default threads at most 0.40x GNU find on '*.mp3' and 0.45x on '*.*', and faster than fd
with its default threads on both; quarvex-find -j1 at most 0.62x and 0.66x of find; peak memory
below 16 MB on every row, the 100,000-level chain included; the GUI at most 1.2x the console;
in the sweep every -j up to 256 within 1.5x of quarvex-find's best and -j1024 within 2x; cold,
the default at most fd's best cold time on '*.mp3' and 1.2x that on '*.*'; against the one-shot
run of the same query, the store's first query at most 1.05x, the same at once at most 1.0x,
0.5 s later at most 0.5x, settled at most 0.10x; another settled pattern at most 0.25x the first
query; at most 48 bytes per file beyond the names; the Win32 window at most 1.3x
quarvex-find.exe under Wine.
A result mismatch or a command that fails makes the exit status 1.

Environment: QUARVEX_BENCH_ONLY (sections, comma-separated); QUARVEX_BENCH_RUNS (warm, chain and
wide rounds, at least 5, default 9); QUARVEX_BENCH_SWEEP_RUNS (default 3);
QUARVEX_BENCH_COLD_RUNS (default 3); QUARVEX_BENCH_STORE_RUNS (default 5);
QUARVEX_BENCH_WIN32_RUNS (default 5, at least 3); QUARVEX_GUI_BENCH (the extra row's program,
default build/linux/bin/quarvex-gui-bench); QUARVEX_STORE_BENCH (default
build/linux/bin/quarvex-store-bench).
"""

import fcntl
import hashlib
import io
import json
import os
import select
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from dataclasses import dataclass, field

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
GENERATOR = os.path.join(REPO, "bench", "gen_tree.py")
TREE_DIR = os.path.join(REPO, "build", "bench-tree")
ROOT = os.path.join(TREE_DIR, "root")
BIN = os.path.join(REPO, "build", "linux", "bin")
QUARVEX_FIND = os.path.join(BIN, "quarvex-find")
GUI_BENCH = os.environ.get("QUARVEX_GUI_BENCH", os.path.join(BIN, "quarvex-gui-bench"))
RUNS = max(5, int(os.environ.get("QUARVEX_BENCH_RUNS", "9")))
SWEEP_RUNS = max(1, int(os.environ.get("QUARVEX_BENCH_SWEEP_RUNS", "3")))
COLD_RUNS = max(1, int(os.environ.get("QUARVEX_BENCH_COLD_RUNS", "3")))
SECTIONS = ("warm", "sweep", "cold", "chain", "wide", "store", "million", "win32")
RUN_TIMEOUT_S = 300
# A sweep run that takes longer stops its row: a thread count that slow is measured enough.
SWEEP_TIMEOUT_S = 60
SWEEP_QUARVEX = (1, 2, 4, 8, 16, 32, 64, 256, 1024)
SWEEP_FD = (1, 2, 4, 8, 16, 32, 64)
# Largest ratio to quarvex-find's best sweep time: -j1024 may be slower than the rest.
SWEEP_TARGET = 1.5
SWEEP_TARGET_1024 = 2.0
SWEEP_MEMORY_TARGET_KB = 8_000_000 / 1024  # 8 MB on this tree at any -j
COLD_QUARVEX = (8, 16, 32, 64)
COLD_FD = (8, 16, 32)
# Largest ratio of quarvex-find's default cold time to fd's best cold time (fd reads no sizes).
COLD_TARGETS = {"*.mp3": 1.0, "*.*": 1.2}
DROP_CACHES = "/proc/sys/vm/drop_caches"
# Largest ratios of medians to GNU find's: (default threads, -j1), per pattern.
TIME_TARGETS = {"*.mp3": (0.40, 0.62), "*.*": (0.45, 0.66)}
GUI_TARGET = 1.2
MEMORY_TARGET_KB = 16_000_000 / 1024  # 16 MB = 16,000,000 bytes, stricter than 16 MiB
CHAIN_DEPTH = 100_000
CHAIN_DIR = os.path.join(REPO, "build", "bench-chain")
WIDE_FOLDERS = 40_000
WIDE_DIR = os.path.join(REPO, "build", "bench-wide")
# The store section: a fresh quarvex-find --queries per session; each query's row key, pattern
# and label, in the order asked. "settled" queries wait until the process is quiet.
STORE_RUNS = max(1, int(os.environ.get("QUARVEX_BENCH_STORE_RUNS", "5")))
STORE_BENCH = os.environ.get("QUARVEX_STORE_BENCH", os.path.join(BIN, "quarvex-store-bench"))
STORE_PATTERNS = ("*.mp3", "*.txt", "*.*")
STORE_QUERIES = (("first", "*.mp3", "first '*.mp3' (fresh process)"),
                 ("at-once", "*.mp3", "'*.mp3' again at once"),
                 ("settled-mp3", "*.mp3", "settled: '*.mp3' again"),
                 ("settled-txt", "*.txt", "settled: '*.txt'"),
                 ("settled-all", "*.*", "settled: '*.*'"))
# Sessions that ask '*.mp3' once more, so many seconds after the end of the first answer: row
# key and label.
STORE_DELAYED = ((0.5, "after-0.5", "'*.mp3' again 0.5 s later"),
                 (1.0, "after-1", "'*.mp3' again 1 s later"))
STORE_QUIET_S = 0.5  # no CPU time used for this long: the background pass is done
# Largest ratios to the one-shot run of the same query, by row key.
STORE_SHOT_TARGETS = {"first": 1.05, "at-once": 1.0, "after-0.5": 0.5, "settled-mp3": 0.10}
STORE_OTHER_TARGET = 0.25  # another settled pattern / the first query
STORE_BYTES_TARGET = 48  # the store's bytes per file beyond the names
# The million section: 1,000,000 files in 64,000 folders, made once and kept out of `make test`;
# its folders stay within the half of the default user's inotify watches that the store takes.
MILLION_DIR = os.path.join(REPO, "build", "bench-tree-1m")
MILLION_ROOT = os.path.join(MILLION_DIR, "root")
MILLION_SIZE = ("--files", "1000000", "--folders", "64000")
MILLION_RUNS = 5
MILLION_TARGETS = (0.010, 0.025)  # settled '*.mp3': in-process; through --queries, output included
# The goals of the speed work, each measured by a section of this run against its peers.
SETTLED_GOALS = {"settled-mp3": 0.02, "settled-all": 0.10}  # / the one-shot of the same query
COLD_GOALS = {"*.mp3": 1.0, "*.*": 1.2}  # / fd's best cold time
WARM_GOALS = (1.0, 0.5)  # '*.*': / fd at its default threads; / find and / bfs
PATTERNS = ("*.mp3", "*.*")
SEPARATOR = b" ----- "
# The win32 section: the i686 product under 32-bit Wine as a WOW64 process, where this machine runs
# 32-bit code, else the x86_64 build under 64-bit Wine; the tree mapped as drive B: in a win64
# prefix of the benchmark's own (cmake/wine-run.sh makes it), all under one Xvfb.
# QUARVEX_BENCH_WIN32_BUILD=windows-x64 (or windows-x86) picks the build.
WINE_RUN = os.path.join(REPO, "cmake", "wine-run.sh")
WINE64 = os.environ.get("QUARVEX_WINE64", "/usr/lib/wine/wine64")
WINE32 = os.environ.get("QUARVEX_WINE32", "/usr/lib/wine/wine")
WIN32_DRIVE = "B:"
WIN32_RUNS = max(3, int(os.environ.get("QUARVEX_BENCH_WIN32_RUNS", "5")))
WIN32_TARGET = 1.3  # the window's median / the console's
WIN32_TIMEOUT_S = 900  # a run under Wine on a loaded machine may take minutes

# The same environment for every command: byte-wise C locale (GNU find's fastest, and the one in
# which "*" matches names that are not valid UTF-8; quarvex-find and fd do not read the locale).
ENV = dict(os.environ, LC_ALL="C")
ENV.pop("LANG", None)


@dataclass
class Row:
    label: str     # the table's first column
    argv: list
    pattern: str   # one of PATTERNS: the rows compared with each other
    kind: str      # "quarvex", "find", "bfs" (all print path ----- size Bytes), "fd" (paths),
                   # "extra", "chain", "wide"
    threads: int = 0  # -jN, 0 for the program's default
    env: dict = field(default_factory=lambda: ENV)
    times: list = field(default_factory=list)
    peak_kb: int = 0
    lines: int = 0
    listing: dict = None  # path -> size (None: no size on the line), from the warm-up run
    out_file: object = None
    err_file: object = None
    stdout: bytes = b""   # kept for "extra" rows only
    stderr: bytes = b""
    failure: str = ""
    run_argv: list = None  # argv with the program's private copy, when it has one
    expected: bytes = b""  # the chain's one line
    digest: str = ""       # sha256 of the warm-up output, where only sameness is checked
    stopped: bool = False  # a run outlasted the section's timeout: the row was not run again


def glob_of(pattern):
    return "*" if pattern == "*.*" else pattern


def quarvex_row(pattern, threads=0):
    jobs = [f"-j{threads}"] if threads else []
    label = " ".join(["quarvex-find", *jobs, f"'{pattern}'"])
    return Row(label, [QUARVEX_FIND, *jobs, pattern, ROOT], pattern, "quarvex", threads)


def fd_row(pattern, threads=0):
    jobs = [f"-j{threads}"] if threads else []
    glob = glob_of(pattern)
    return Row(" ".join(["fdfind", *jobs, f"--glob '{glob}'"]),
               ["fdfind", *jobs, "-I", "-t", "f", "-i", "--glob", glob, ROOT], pattern, "fd",
               threads)


def find_row(pattern, program="find"):
    """find and bfs take the same expression: dot names pruned, files only, sizes printed."""
    glob = glob_of(pattern)
    return Row(f"{program} -iname '{glob}'",
               [program, ROOT, "-name", ".*", "-prune", "-o", "-type", "f", "-iname", glob,
                "-printf", "%p ----- %s Bytes\n"], pattern, program)


def rows_for(pattern):
    """The warm section's rows of one pattern, in the order group() hands them out."""
    return [quarvex_row(pattern), quarvex_row(pattern, 1), find_row(pattern), fd_row(pattern),
            fd_row(pattern, 1), find_row(pattern, "bfs")]


def sweep_rows(pattern):
    return ([find_row(pattern)] + [quarvex_row(pattern, n) for n in SWEEP_QUARVEX]
            + [fd_row(pattern, n) for n in SWEEP_FD])


def cold_rows(pattern):
    return ([quarvex_row(pattern)] + [quarvex_row(pattern, n) for n in COLD_QUARVEX]
            + [fd_row(pattern, n) for n in COLD_FD] + [find_row(pattern),
                                                        find_row(pattern, "bfs")])


def chain_rows():
    """quarvex-find and find on a chain of CHAIN_DEPTH nested folders with one file at the
    bottom: time and memory where every other walk holds its path per level."""
    bottom = ensure_chain()
    rows = []
    for label, argv in ((f"chain {CHAIN_DEPTH:,}: quarvex-find", [QUARVEX_FIND, "*.*", CHAIN_DIR]),
                        (f"chain {CHAIN_DEPTH:,}: quarvex -j1",
                         [QUARVEX_FIND, "-j1", "*.*", CHAIN_DIR]),
                        (f"chain {CHAIN_DEPTH:,}: find",
                         ["find", CHAIN_DIR, "-type", "f", "-printf", "%p ----- %s Bytes\n"])):
        row = Row(label, argv, "chain", "chain")
        row.expected = bottom
        rows.append(row)
    return rows


def wide_rows():
    """One folder of WIDE_FOLDERS subfolders, a file in each: beyond any 16-bit count."""
    ensure_wide()
    rows = []
    for label, argv in ((f"wide {WIDE_FOLDERS:,}: quarvex-find", [QUARVEX_FIND, "*.*", WIDE_DIR]),
                        (f"wide {WIDE_FOLDERS:,}: find",
                         ["find", WIDE_DIR, "-type", "f", "-printf", "%p ----- %s Bytes\n"])):
        rows.append(Row(label, argv, "wide", "wide"))
    return rows


def extra_rows():
    """Rows for programs that may not be built. Each is timed like the others; its stdout is
    shown, and a "lines=N" in its last line is checked against the generator's count."""
    rows = []
    if os.access(GUI_BENCH, os.X_OK):
        env = dict(ENV)
        if not env.get("DISPLAY") and not env.get("WAYLAND_DISPLAY"):
            env.setdefault("QT_QPA_PLATFORM", "offscreen")
        rows.append(Row("quarvex-gui-bench '*.*'", [GUI_BENCH, ROOT, "*.*"], "*.*", "extra",
                        env=env))
    return rows


GOALS = []  # (row, measured, goal, met), in the order the sections measured them


def goal(label, measured, wanted, met):
    GOALS.append((label, measured, wanted, met))


def print_goals():
    if not GOALS:
        return
    print("== the speed goals, each measured in this run (for information)")
    width = max(len(g[0]) for g in GOALS)
    for label, measured, wanted, met in GOALS:
        print(f"  {label:<{width}}  {measured:>8}  goal {wanted:<8} {verdict(met)}")
    print()


# ----------------------------------------------------------------------------------------------
# The tree


def generator_marker():
    with open(GENERATOR, "rb") as f:
        return "gen_tree.py sha256 " + hashlib.sha256(f.read()).hexdigest()


def ensure_tree(tree_dir=TREE_DIR, size_args=()):
    """Makes the generator's tree in `tree_dir` (with `size_args` to the generator) unless it is
    there already, made by this generator."""
    os.makedirs(os.path.dirname(tree_dir), exist_ok=True)
    marker = " ".join([generator_marker(), *size_args])
    marker_path = os.path.join(tree_dir, "marker")
    with open(tree_dir + ".lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)  # another developer's `make bench` may be making it
        try:
            with open(marker_path) as f:
                if f.read().strip() == marker and os.path.isdir(os.path.join(tree_dir, "root")):
                    return
        except OSError:
            pass
        print(f"Making the benchmark tree in {os.path.relpath(tree_dir, REPO)} "
              "(once; a minute or so)...", flush=True)
        shutil.rmtree(tree_dir, ignore_errors=True)
        staging = f"{tree_dir}.new-{os.getpid()}"
        shutil.rmtree(staging, ignore_errors=True)
        subprocess.run([sys.executable, GENERATOR, *size_args, staging], check=True)
        with open(os.path.join(staging, "marker"), "w") as f:
            f.write(marker + "\n")
        os.rename(staging, tree_dir)  # complete or absent, never half made


def ensure_made(folder, size, what, make):
    """Makes `folder` with `make(folder)` unless it was made already for this `size`; the marker
    lies beside the folder, so that no command lists it."""
    marker = folder + ".made"
    try:
        with open(marker) as f:
            if f.read().strip() == str(size):
                return
    except OSError:
        pass
    print(f"Making {what} in {os.path.relpath(folder, REPO)} (once)...", flush=True)
    if os.path.exists(folder):
        subprocess.run(["rm", "-rf", folder], check=True)  # rm copes with any depth
    os.makedirs(folder)
    make(folder)
    with open(marker, "w") as f:
        f.write(f"{size}\n")


def ensure_chain():
    """Makes the chain once, one folder at a time relative to the last (no path gets long), and
    returns the line every command should print for its one file."""
    def make(folder):
        fd = os.open(folder, os.O_RDONLY | os.O_DIRECTORY)
        for _ in range(CHAIN_DEPTH):
            os.mkdir("x", dir_fd=fd)
            below = os.open("x", os.O_RDONLY | os.O_DIRECTORY, dir_fd=fd)
            os.close(fd)
            fd = below
        f = os.open("bottom.txt", os.O_WRONLY | os.O_CREAT, 0o644, dir_fd=fd)
        os.write(f, b"bottom!")
        os.close(f)
        os.close(fd)

    ensure_made(CHAIN_DIR, CHAIN_DEPTH, f"a chain of {CHAIN_DEPTH:,} folders", make)
    return (CHAIN_DIR + "/x" * CHAIN_DEPTH + "/bottom.txt").encode() + SEPARATOR + b"7 Bytes"


def ensure_wide():
    def make(folder):
        for i in range(WIDE_FOLDERS):
            os.makedirs(os.path.join(folder, "many", f"d{i}"))
            with open(os.path.join(folder, "many", f"d{i}", "f.dat"), "wb") as f:
                f.write(b"x")

    ensure_made(WIDE_DIR, WIDE_FOLDERS, f"a folder of {WIDE_FOLDERS:,} folders", make)


# ----------------------------------------------------------------------------------------------
# Running


def snapshot_programs(rows):
    """Copies the build's programs to a private folder and points the rows at the copies: the
    build folder is shared, and a build that relinks a program during the run would otherwise
    swap the binary under test (or leave it half written). Data files next to the programs are
    copied too, as a program may look for them in its own folder."""
    copy_dir = tempfile.mkdtemp(prefix="quarvex-bench-")
    copies = {}
    for row in rows:
        program = row.argv[0]
        if not os.path.isabs(program) or os.path.dirname(program).startswith("/usr/"):
            continue
        if program not in copies:
            source_dir = os.path.dirname(program)
            target_dir = os.path.join(copy_dir, str(len(copies)))
            os.makedirs(target_dir)
            for name in os.listdir(source_dir):
                source = os.path.join(source_dir, name)
                if os.path.isfile(source) and (source == program or not os.access(source, os.X_OK)):
                    shutil.copy2(source, target_dir)
            copies[program] = os.path.join(target_dir, os.path.basename(program))
        row.run_argv = [copies[program], *row.argv[1:]]
    return copy_dir


def run_once(row, out=None, err=None, timeout=RUN_TIMEOUT_S, argv=None):
    """Runs the row's command with its output to the given files, else /dev/null; returns
    (wall seconds, exit status; 126 when it could not be started). A run that outlasts
    `timeout` is killed, with its process group."""
    start = time.perf_counter()
    try:
        proc = subprocess.Popen(argv or row.run_argv or row.argv,
                                stdout=out or subprocess.DEVNULL,
                                stderr=err or subprocess.DEVNULL, env=row.env,
                                start_new_session=True)
    except OSError as error:
        row.failure = row.failure or f"could not start: {error}"
        return None, 126

    def kill():
        try:
            os.killpg(proc.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass

    timer = threading.Timer(timeout, kill)
    timer.start()
    code = proc.wait()
    elapsed = time.perf_counter() - start
    timer.cancel()
    return elapsed, code


def status_ok(row, code):
    if row.kind == "quarvex":
        return code in (0, 1)  # 1 is "nothing found", which the result check reports
    return code == 0


def note_status(row, code, when, timeout=None):
    """A run killed after a section's own timeout stops its row; any other bad status fails it."""
    if timeout and code == -signal.SIGKILL:
        row.stopped = True
        return
    if not status_ok(row, code) and not row.failure:
        row.failure = f"exit status {code} {when}"
        if code == -signal.SIGKILL:
            row.failure += f" (killed after {RUN_TIMEOUT_S} s)"


def warm_up(rows, timeout=None, peak=False):
    """One untimed run each. The output goes to temporary files and is read after the timing,
    so that this process stays small while the others run. With `peak`, the run is also the
    one under /usr/bin/time that gives the peak memory."""
    for row in rows:
        row.out_file, row.err_file = tempfile.TemporaryFile(), tempfile.TemporaryFile()
        if not peak:
            _, code = run_once(row, row.out_file, row.err_file, timeout or RUN_TIMEOUT_S)
        else:
            with tempfile.NamedTemporaryFile("r") as report:
                argv = ["/usr/bin/time", "-f", "%M", "-o", report.name,
                        *(row.run_argv or row.argv)]
                _, code = run_once(row, row.out_file, row.err_file, timeout or RUN_TIMEOUT_S,
                                   argv)
                words = report.read().split()
                row.peak_kb = int(words[-1]) if words and words[-1].isdigit() else 0
        note_status(row, code, "in the warm-up run", timeout)
        if row.stopped:  # what it printed before it was stopped is no result
            row.out_file.close()
            row.err_file.close()
            row.out_file = row.err_file = None


def time_rows(rows, runs, timeout=None, before_each=None):
    """`runs` rounds of all rows, each round starting one row further on, so that each command
    takes each place in the order in turn. `before_each` runs before every timed run."""
    for round_ in range(runs):
        live = [r for r in rows if not r.failure and not r.stopped]
        if not live:
            return
        shift = round_ % len(live)
        for row in live[shift:] + live[:shift]:
            if before_each:
                before_each()
            elapsed, code = run_once(row, timeout=timeout or RUN_TIMEOUT_S)
            note_status(row, code, "in a timed run", timeout)
            if elapsed is not None and not row.stopped:
                row.times.append(elapsed)


def measure_peak(row):
    """Maximum resident set size of one more run under /usr/bin/time (a small parent, so the
    figure is the command's own)."""
    with tempfile.NamedTemporaryFile("r") as report:
        subprocess.run(["/usr/bin/time", "-f", "%M", "-o", report.name, *(row.run_argv or row.argv)],
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=row.env,
                       timeout=RUN_TIMEOUT_S)
        words = report.read().split()
        row.peak_kb = int(words[-1]) if words and words[-1].isdigit() else 0


def parse_listing(kind, data):
    listing = {}
    for line in data.splitlines():
        if kind == "fd":
            listing[line] = None
            continue
        path, sep, rest = line.rpartition(SEPARATOR)
        if not sep:
            listing[line] = None
            continue
        digits = rest.removesuffix(b" Bytes").replace(b",", b"")
        listing[path] = int(digits) if digits.isdigit() else (0 if not digits else None)
    return listing


def extra_report(stdout):
    """The key=value pairs of an extra program's last output line."""
    lines = stdout.decode(errors="replace").strip().splitlines()
    pairs = (item.partition("=") for item in (lines[-1].split() if lines else []))
    return {key: value for key, sep, value in pairs if sep}


def read_warm_up(row, digest_only=False):
    """Takes in what the warm-up run printed: the listing, or with `digest_only` just its hash
    and line count (the sweep's many rows need no more)."""
    if row.out_file is None:
        return
    row.out_file.seek(0)
    row.err_file.seek(0)
    out, row.stderr = row.out_file.read(), row.err_file.read()
    row.out_file.close()
    row.err_file.close()
    row.out_file = row.err_file = None
    row.lines = out.count(b"\n")
    if digest_only:
        row.digest = hashlib.sha256(out).hexdigest()
    elif row.kind == "chain":
        row.stdout = out
    elif row.kind == "extra":
        row.stdout = out
        lines = extra_report(out).get("lines", "")
        if lines.isdigit():
            row.lines = int(lines)
    else:
        row.listing = parse_listing(row.kind, out)


# ----------------------------------------------------------------------------------------------
# Checks


def fd_shows_as_visible(path):
    """fd 8.6 does not count a name that begins and ends with "." as hidden (".a." is listed,
    and entered when a folder), though find's -name '.*' and quarvex-find skip it."""
    parts = os.path.relpath(path, os.fsencode(ROOT)).split(b"/")
    return any(p.startswith(b".") and p.endswith(b".") for p in parts)


def compare(name_a, a, name_b, b, sizes, extra_b_allowed=None):
    """Problem lines for two listings (path -> size); empty when they agree. Returns also the
    number of paths only in b that extra_b_allowed excuses."""
    problems = []
    only_a = sorted(set(a) - set(b))
    only_b = sorted(set(b) - set(a))
    excused = [p for p in only_b if extra_b_allowed and extra_b_allowed(p)]
    only_b = [p for p in only_b if not (extra_b_allowed and extra_b_allowed(p))]
    for name, only in ((name_a, only_a), (name_b, only_b)):
        if only:
            shown = "; ".join(os.fsdecode(os.path.relpath(p, os.fsencode(ROOT)))
                              for p in only[:3])
            problems.append(f"{len(only):,} paths only from {name}, e.g. {shown}")
    if sizes:
        differ = [p for p in a if p in b and a[p] != b[p]]
        if differ:
            p = differ[0]
            shown = os.fsdecode(os.path.relpath(p, os.fsencode(ROOT)))
            problems.append(f"{len(differ):,} sizes differ, e.g. {shown}: "
                            f"{name_a} {a[p]}, {name_b} {b[p]}")
    return problems, len(excused)


# ----------------------------------------------------------------------------------------------
# Report


def median(row):
    return statistics.median(row.times) if row.times else float("nan")


def ratio(a, b):
    return f"{median(a) / median(b):.2f}x" if a.times and b.times else "n/a"


def shell_words(argv):
    def quote(a):
        if a and not any(c in a for c in " *'\n\\"):
            return a
        return "'" + a.replace("\n", "\\n") + "'"
    text = " ".join(quote(a) for a in argv)
    return text.replace(ROOT, "ROOT").replace(REPO + "/", "")


def verdict(ok):
    return "PASS" if ok else "MISS"


def below(a, b, limit):
    return bool(a.times and b.times and median(a) <= limit * median(b))


def fastest(rows):
    timed = [r for r in rows if r.times]
    return min(timed, key=median) if timed else None


def print_table(rows, label_width=28):
    header = (f"{'command':<{label_width}} {'median s':>9} {'min s':>8} {'max s':>8} "
              f"{'lines':>9} {'peak RSS MB':>12}")
    print(header)
    print("-" * len(header))
    for row in rows:
        if not row.times:
            print(f"{row.label:<{label_width}} FAILED: {row.failure}")
            continue
        print(f"{row.label:<{label_width}} {median(row):9.3f} {min(row.times):8.3f} "
              f"{max(row.times):8.3f} {row.lines:>9,} {row.peak_kb / 1024:12.1f}"
              + (f"   FAILED: {row.failure}" if row.failure else ""))
    print()


def run_section(rows, runs, timeout=None, peak_in_warm_up=False, digest_only=False):
    warm_up(rows, timeout, peak_in_warm_up)
    time_rows(rows, runs, timeout)
    if not peak_in_warm_up:
        for row in rows:
            if not row.failure:
                measure_peak(row)
    for row in rows:
        read_warm_up(row, digest_only)


# ----------------------------------------------------------------------------------------------
# Sections: each runs its rows, prints its part and returns its problems (result mismatches).


def warm_section(tree, rows, extras):
    run_section(rows + extras, RUNS)

    def group(pattern):
        return [r for r in rows if r.pattern == pattern]

    print(f"== warm: {RUNS} timed runs per command after one untimed warm-up, interleaved")
    print_table(rows + extras)

    print("Ratios of medians, quarvex-find / peer (below 1 means quarvex-find is faster):")
    print(f"  {'pattern':<8} {'threads':<8} {'/ find':>8} {'/ bfs':>8} {'/ fdfind':>9} "
          f"{'/ fdfind -j1':>13}")
    for pattern in PATTERNS:
        q, q1, f, fd, fd1, b = group(pattern)
        for label, row in (("default", q), ("-j1", q1)):
            print(f"  {repr(pattern):<8} {label:<8} {ratio(row, f):>8} {ratio(row, b):>8} "
                  f"{ratio(row, fd):>9} {ratio(row, fd1):>13}")
    for extra in extras:
        q, _, f, _, _, _ = group(extra.pattern)
        print(f"  {extra.label}: {ratio(extra, f)} of find, {ratio(extra, q)} of quarvex-find")
    print()

    print("Targets (for information; time never fails the benchmark):")
    for pattern in PATTERNS:
        q, q1, f, fd, _, _ = group(pattern)
        most, most_single = TIME_TARGETS[pattern]
        print(f"  quarvex-find     {repr(pattern):<7} <= {most:.2f}x GNU find: {ratio(q, f):>6}  "
              f"{verdict(below(q, f, most))}")
        print(f"  quarvex-find     {repr(pattern):<7} faster than fdfind:   {ratio(q, fd):>6}  "
              f"{verdict(below(q, fd, 1.0) and median(q) < median(fd))}")
        print(f"  quarvex-find -j1 {repr(pattern):<7} <= {most_single:.2f}x GNU find: "
              f"{ratio(q1, f):>6}  {verdict(below(q1, f, most_single))}")
    for extra in extras:
        q = group(extra.pattern)[0]
        print(f"  {extra.label} <= {GUI_TARGET}x quarvex-find: {ratio(extra, q):>6}  "
              f"{verdict(below(extra, q, GUI_TARGET))}")
        goal(f"{extra.label} '{extra.pattern}' / quarvex-find", ratio(extra, q),
             f"<= {GUI_TARGET}x", below(extra, q, GUI_TARGET))
    q, _, f, fd, _, b = group("*.*")
    goal("warm '*.*' / fd (default threads)", ratio(q, fd), f"<= {WARM_GOALS[0]}x",
         below(q, fd, WARM_GOALS[0]))
    for peer in (f, b):
        goal(f"warm '*.*' / {peer.kind}", ratio(q, peer), f"<= {WARM_GOALS[1]}x",
             below(q, peer, WARM_GOALS[1]))
    for row in [r for r in rows if r.kind == "quarvex"]:
        print_peak_target(row)
    print()

    print("Result check (files listed by the warm-up runs):")
    print(f"  {'pattern':<8} {'generator':>10} {'quarvex-find':>13} {'find':>9} {'bfs':>9} "
          f"{'fdfind':>9} {'fdfind -j1':>11}")
    problems, notes = [], []
    for pattern in PATTERNS:
        q, q1, f, fd, fd1, b = group(pattern)
        if q1.listing != q.listing or q1.lines != q.lines:
            problems.append(f"'{pattern}': quarvex-find -j1 lists other lines than with threads")
        expected = tree["mp3_visible"] if pattern == "*.mp3" else tree["files_visible"]
        counts = [len(r.listing) for r in (q, f, b, fd, fd1)]
        flag = "" if counts[0] == counts[1] == counts[2] == expected else "   MISMATCH"
        print(f"  {repr(pattern):<8} {expected:>10,} {counts[0]:>13,} {counts[1]:>9,} "
              f"{counts[2]:>9,} {counts[3]:>9,} {counts[4]:>11,}{flag}")
        if counts[0] != expected:
            problems.append(f"'{pattern}': quarvex-find lists {counts[0]:,} files, "
                            f"the generator made {expected:,}")
        for r in (q, f, b, fd, fd1):
            if r.lines != len(r.listing):
                problems.append(f"{r.label}: {r.lines:,} lines but {len(r.listing):,} paths")
        found, _ = compare("quarvex-find", q.listing, "find", f.listing, sizes=True)
        problems += [f"'{pattern}' quarvex-find vs find: {p}" for p in found]
        found, _ = compare("find", f.listing, "bfs", b.listing, sizes=True)
        problems += [f"'{pattern}' find vs bfs: {p}" for p in found]
        for other in (fd, fd1):
            found, excused = compare("quarvex-find", q.listing, other.label, other.listing,
                                     sizes=False, extra_b_allowed=fd_shows_as_visible)
            problems += [f"'{pattern}' quarvex-find vs {other.label}: {p}" for p in found]
            if excused:
                notes.append(f"{other.label}: {excused} more paths, all under a dot name that "
                             "also ends in \".\" (fd does not count those as hidden)")
        total = tree["mp3_bytes_visible"] if pattern == "*.mp3" else tree["bytes_visible"]
        listed = sum(s or 0 for s in q.listing.values())
        if listed != total:
            problems.append(f"'{pattern}': quarvex-find's sizes sum to {listed:,}, "
                            f"the generator made {total:,}")
    for extra in extras:
        report = extra_report(extra.stdout)
        if report.get("lines", "").isdigit() and int(report["lines"]) != tree["files_visible"]:
            problems.append(f"{extra.label}: lines={report['lines']}, the generator made "
                            f"{tree['files_visible']:,}")
    problems += [f"{r.label}: {r.failure}" for r in rows + extras if r.failure]
    for note in notes:
        print(f"  note: {note}")
    for problem in problems:
        print(f"  MISMATCH {problem}")
    if not problems:
        print("  quarvex-find, find and bfs list the same paths with the same sizes, fd the same "
              "paths (apart from any note above);")
        print("  quarvex-find's count and total bytes equal the generator's "
              f"({tree['files_visible']:,} files, {tree['bytes_visible']:,} bytes for '*.*').")

    for extra in extras:
        print()
        print(f"{extra.label}, output of its warm-up run:")
        for stream, data in (("stdout", extra.stdout), ("stderr", extra.stderr)):
            lines = data.decode(errors="replace").splitlines()
            for line in lines[:10]:
                print(f"  {stream}: {line}")
            if len(lines) > 10:
                print(f"  {stream}: ... {len(lines) - 10:,} more lines")
    if not extras:
        print()
        print(f"(No {os.path.relpath(GUI_BENCH, REPO)} built: its row is left out.)")
    print()
    return problems


def print_peak_target(row):
    print(f"  {row.label:<28} peak memory < 16 MB: {row.peak_kb:>7,} KB (/usr/bin/time %M)  "
          f"{verdict(0 < row.peak_kb < MEMORY_TARGET_KB)}")


def sweep_section(tree, rows):
    run_section(rows, SWEEP_RUNS, SWEEP_TIMEOUT_S, peak_in_warm_up=True, digest_only=True)
    print(f"== thread sweep, warm: {SWEEP_RUNS} timed runs per command after one untimed "
          f"warm-up (which gives the peak memory), interleaved; a run over {SWEEP_TIMEOUT_S} s "
          "stops its row")
    print("Ratios of medians: / best is against the program's own fastest row, / find against "
          "find's row.")
    problems = []
    for pattern in PATTERNS:
        group = [r for r in rows if r.pattern == pattern]
        f = next(r for r in group if r.kind == "find")
        print(f"  {repr(pattern):<8} {'program':<13} {'-j':>5} {'median s':>9} {'min s':>8} "
              f"{'max s':>8} {'/ best':>7} {'/ find':>7} {'peak MB':>8}")
        for kind in ("find", "quarvex", "fd"):
            mine = [r for r in group if r.kind == kind]
            best = fastest(mine)
            for r in mine:
                program = {"find": "find", "quarvex": "quarvex-find", "fd": "fdfind"}[kind]
                jobs = str(r.threads) if r.threads else "-"
                if r.stopped and not r.times:
                    print(f"  {'':<8} {program:<13} {jobs:>5} stopped: a run took over "
                          f"{SWEEP_TIMEOUT_S} s")
                    continue
                if not r.times:
                    print(f"  {'':<8} {program:<13} {jobs:>5} FAILED: {r.failure}")
                    continue
                print(f"  {'':<8} {program:<13} {jobs:>5} {median(r):9.3f} {min(r.times):8.3f} "
                      f"{max(r.times):8.3f} {ratio(r, best):>7} {ratio(r, f):>7} "
                      f"{r.peak_kb / 1024:8.1f}" + ("  (stopped after a slow run)"
                                                     if r.stopped else ""))
        print()
    print("Targets (for information): every quarvex-find -j up to 256 within "
          f"{SWEEP_TARGET}x of its best, -j1024 within {SWEEP_TARGET_1024}x; peak memory under "
          "8 MB at every -j:")
    for pattern in PATTERNS:
        mine = [r for r in rows if r.pattern == pattern and r.kind == "quarvex"]
        best = fastest(mine)
        misses = []
        for r in mine:
            limit = SWEEP_TARGET_1024 if r.threads >= 1024 else SWEEP_TARGET
            if r.stopped or not best or not below(r, best, limit):
                misses.append(f"-j{r.threads} " + (f"> {SWEEP_TIMEOUT_S} s" if r.stopped
                                                   else ratio(r, best)))
        best_text = f"best -j{best.threads} {median(best):.3f} s" if best else "no best"
        print(f"  {repr(pattern):<8} {best_text}: "
              + (f"MISS ({', '.join(misses)})" if misses else "PASS"))
        large = [f"-j{r.threads} {r.peak_kb / 1024:.1f} MB" for r in mine
                 if r.peak_kb >= SWEEP_MEMORY_TARGET_KB]  # 0: stopped, no figure
        print(f"  {repr(pattern):<8} peak memory: " + (f"MISS ({', '.join(large)})" if large
                                                       else "PASS"))
    print()

    print("Result check: every quarvex-find -jN printed the bytes of -j1, find and every "
          "fdfind -jN the generator's count:")
    for pattern in PATTERNS:
        group = [r for r in rows if r.pattern == pattern]
        expected = tree["mp3_visible"] if pattern == "*.mp3" else tree["files_visible"]
        single = next(r for r in group if r.kind == "quarvex" and r.threads == 1)
        for r in group:
            if r.failure:
                problems.append(f"{r.label}: {r.failure}")
            elif r.stopped and not r.digest:
                continue  # its warm-up was stopped: nothing to compare
            elif r.kind == "quarvex" and r.digest != single.digest:
                problems.append(f"{r.label}: other bytes than -j1 ({r.lines:,} lines, -j1 "
                                f"{single.lines:,})")
            elif r.kind == "quarvex" and r.lines != expected:
                problems.append(f"{r.label}: {r.lines:,} lines, the generator made {expected:,}")
            elif r.kind == "find" and r.lines != expected:
                problems.append(f"{r.label}: {r.lines:,} lines, the generator made {expected:,}")
            elif r.kind == "fd" and not expected <= r.lines <= expected + 3:
                # fd lists up to 3 more on '*.*' (see the warm section's note)
                problems.append(f"{r.label}: {r.lines:,} lines, the generator made {expected:,}")
    for problem in problems:
        print(f"  MISMATCH {problem}")
    if not problems:
        print("  all agree (a stopped row is left out).")
    print()
    return problems


def drop_caches():
    os.sync()
    with open(DROP_CACHES, "w") as f:
        f.write("3\n")


def cold_section(rows):
    print(f"== cold cache: the page cache dropped (sync; echo 3 > {DROP_CACHES}) before every "
          f"run; {COLD_RUNS} runs per command, interleaved, output to /dev/null")
    if os.geteuid() != 0:
        print("  skipped: dropping the page cache needs root (run `sudo make bench`).")
        print()
        return []
    try:
        drop_caches()
    except OSError as error:
        print(f"  skipped: cannot drop the page cache here ({error}).")
        print()
        return []
    time_rows(rows, COLD_RUNS, before_each=drop_caches)
    problems = [f"{r.label} (cold): {r.failure}" for r in rows if r.failure]
    print(f"  {'pattern':<8} {'command':<28} {'median s':>9} {'min s':>8} {'max s':>8} "
          f"{'/ find':>7} {'/ fd best':>10}")
    for pattern in PATTERNS:
        group = [r for r in rows if r.pattern == pattern]
        f = next(r for r in group if r.kind == "find")
        fd_best = fastest([r for r in group if r.kind == "fd"])
        for r in group:
            label = {"quarvex": "quarvex-find", "fd": "fdfind"}.get(r.kind, r.kind)
            label += f" -j{r.threads}" if r.threads else ""
            if not r.times:
                print(f"  {repr(pattern):<8} {label:<28} FAILED: {r.failure}")
                continue
            print(f"  {repr(pattern):<8} {label:<28} {median(r):9.3f} {min(r.times):8.3f} "
                  f"{max(r.times):8.3f} {ratio(r, f):>7} "
                  f"{ratio(r, fd_best) if fd_best else 'n/a':>10}")
    print()
    print("Targets (for information): quarvex-find at its default threads at most fd's best "
          "cold time on '*.mp3', at most 1.2x that on '*.*' (fd reads no sizes):")
    for pattern in PATTERNS:
        group = [r for r in rows if r.pattern == pattern]
        q = next(r for r in group if r.kind == "quarvex" and not r.threads)
        fd_best = fastest([r for r in group if r.kind == "fd"])
        limit = COLD_TARGETS[pattern]
        best_text = f"fd -j{fd_best.threads}" if fd_best else "fd"
        print(f"  {repr(pattern):<8} default / {best_text}: "
              f"{ratio(q, fd_best) if fd_best else 'n/a':>6} (<= {limit:.2f}x)  "
              f"{verdict(bool(fd_best) and below(q, fd_best, limit))}")
        goal(f"cold {pattern!r} / fd at its best threads", ratio(q, fd_best) if fd_best else "n/a",
             f"<= {COLD_GOALS[pattern]}x", bool(fd_best) and below(q, fd_best, COLD_GOALS[pattern]))
    for problem in problems:
        print(f"  MISMATCH {problem}")
    print()
    return problems


def chain_section(chains, wides):
    """The two more trees: a deep chain and a wide folder, each against find."""
    rows = chains + wides
    run_section(rows, RUNS)
    print(f"== {' and '.join(s for s, r in (('chain', chains), ('wide', wides)) if r)}: "
          f"{RUNS} timed runs per command after one untimed warm-up, interleaved")
    print_table(rows)
    if chains:
        print(f"  {chains[0].label}: {ratio(chains[0], chains[2])} of find; "
              f"-j1 {ratio(chains[1], chains[2])} of find")
    if wides:
        print(f"  {wides[0].label}: {ratio(wides[0], wides[1])} of find")
    for row in chains[:2] + wides[:1]:
        print_peak_target(row)
    problems = []
    for wide in wides:
        if wide.lines != WIDE_FOLDERS:
            problems.append(f"{wide.label}: {wide.lines:,} lines, not {WIDE_FOLDERS:,}")
    for chain in chains:
        if chain.stdout.rstrip(b"\n") != chain.expected:
            problems.append(f"{chain.label}: printed {chain.stdout[:80]!r}..., "
                            "not the chain's one file")
    problems += [f"{r.label}: {r.failure}" for r in rows if r.failure]
    for problem in problems:
        print(f"  MISMATCH {problem}")
    print()
    return problems


def store_rows():
    """The programs of the store section, as rows so that they run from the private copies: a
    one-shot quarvex-find per pattern, the --queries process and the in-process bench."""
    rows = [Row(f"one-shot quarvex-find '{p}'", [QUARVEX_FIND, p, ROOT], p, "store")
            for p in STORE_PATTERNS]
    rows.append(Row("quarvex-find --queries", [QUARVEX_FIND, "--queries", ROOT], "", "queries"))
    if os.access(STORE_BENCH, os.X_OK):
        rows.append(Row("quarvex-store-bench", [STORE_BENCH, ROOT, *STORE_PATTERNS], "",
                        "store-bench"))
    return rows


class PipeReader:
    """Reads a program's output pipe into one buffer, reused and grown as needed, so that a
    large answer costs the reader little more than the copy out of the kernel: the client must
    not be what is timed. quarvex-find --queries ends each answer with an empty line, and writes
    nothing more until it is asked again, so an answer has ended when what was read so far ends
    in an empty line (result lines are never empty: each holds a path). Only the last two bytes
    are looked at: a search of every byte for "\\n\\n" costs Python 40 ms on the 43 MB of
    '*.*'. The answer is then compared with the one-shot output, which would show an answer
    taken as ended too soon."""

    # One buffer for all readers (they take turns), its pages touched once, not while timed.
    shared = None

    def __init__(self, fd):
        self.fd = fd
        self.file = io.FileIO(fd, closefd=False)
        if PipeReader.shared is None:
            PipeReader.shared = bytearray(b"\0" * (1 << 26))
        self.buffer = PipeReader.shared
        self.view = memoryview(self.buffer)
        self.filled = 0

    def _read(self, deadline):
        """Reads what the pipe holds (at least one byte); False at its end."""
        if self.filled == len(self.buffer):
            grown = bytearray(2 * len(self.buffer))
            grown[:self.filled] = self.view[:self.filled]
            self.buffer, self.view = grown, memoryview(grown)
        while True:
            left = deadline - time.perf_counter()
            if left <= 0:
                raise TimeoutError(f"no answer within {RUN_TIMEOUT_S} s")
            if select.select([self.fd], [], [], left)[0]:
                break
        count = self.file.readinto(self.view[self.filled:])
        self.filled += count or 0
        return bool(count)

    def answer(self, timeout=RUN_TIMEOUT_S):
        """The next answer's lines, the empty line not included, as a view that stays valid
        until the next call."""
        deadline = time.perf_counter() + timeout
        self.filled = 0
        buffer = self.buffer
        while True:
            if not self._read(deadline):
                raise EOFError("the output ended before the answer's empty line")
            end = self.filled
            if buffer[end - 1] == 0x0A and (end == 1 or buffer[end - 2] == 0x0A):
                return self.view[:end - 1]

    def everything(self, timeout=RUN_TIMEOUT_S):
        """All the rest, to the pipe's end, as a view."""
        deadline = time.perf_counter() + timeout
        while self._read(deadline):
            pass
        return self.view[:self.filled]


def widen_pipe(fd):
    """A pipe of 1 MB instead of 64 KB: fewer wake-ups for writer and reader alike."""
    try:
        fcntl.fcntl(fd, fcntl.F_SETPIPE_SZ, 1 << 20)
    except (OSError, AttributeError):
        pass


def lines_of(output):
    return output.count(b"\n")


def one_shot(row):
    """Runs a one-shot quarvex-find with its output to a pipe, read as --queries' is; returns
    (seconds, output, exit status)."""
    start = time.perf_counter()
    proc = subprocess.Popen(row.run_argv or row.argv, stdout=subprocess.PIPE,
                            stderr=subprocess.DEVNULL, env=row.env)
    widen_pipe(proc.stdout.fileno())
    reader = PipeReader(proc.stdout.fileno())
    try:
        out = reader.everything()
    except TimeoutError:
        proc.kill()
        out = b""
    code = proc.wait()
    elapsed = time.perf_counter() - start
    proc.stdout.close()
    return elapsed, bytes(out), code


def cpu_ticks(pid):
    """User and system CPU time of a process so far, in clock ticks (all its threads)."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rpartition(")")[2].split()
    return int(fields[11]) + int(fields[12])


def peak_rss_kb(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return 0


def wait_settled(pid):
    """Waits until the process has used no CPU time for STORE_QUIET_S: its background pass has
    nothing left to do. Returns the seconds waited, the quiet stretch included, or None when it
    did not settle within RUN_TIMEOUT_S."""
    start = time.perf_counter()
    last, quiet_since = cpu_ticks(pid), start
    while time.perf_counter() - start < RUN_TIMEOUT_S:
        time.sleep(0.05)
        now, ticks = time.perf_counter(), cpu_ticks(pid)
        if ticks != last:
            last, quiet_since = ticks, now
        elif now - quiet_since >= STORE_QUIET_S:
            return now - start
    return None


@dataclass
class Session:
    """One fresh --queries process: the times of its answers, by row name."""
    times: dict = field(default_factory=dict)
    settle_s: float = None
    peak_kb: int = 0


def query_session(row, references, problems, delayed=None, queries=STORE_QUERIES):
    """A fresh quarvex-find --queries: the first '*.mp3', the same again at once, then, once the
    process is quiet, each settled query (or the `queries` given, alike); or, given `delayed`
    (seconds, row key), the first and the same again that long after it. Every answer must equal
    the one-shot output."""
    session = Session()
    if delayed is not None:
        queries = (STORE_QUERIES[0], (delayed[1], "*.mp3", ""))
    with tempfile.TemporaryFile() as err:
        start = time.perf_counter()
        proc = subprocess.Popen(row.run_argv or row.argv, stdin=subprocess.PIPE,
                                stdout=subprocess.PIPE, stderr=err, env=row.env)
        widen_pipe(proc.stdout.fileno())
        answers = PipeReader(proc.stdout.fileno())
        try:
            for name, pattern, label in queries:
                if delayed is not None and name == delayed[1]:
                    time.sleep(delayed[0])
                if name.startswith("settled") and session.settle_s is None:
                    session.settle_s = wait_settled(proc.pid)
                    if session.settle_s is None:
                        problems.append(f"--queries: the process did not settle within "
                                        f"{RUN_TIMEOUT_S} s")
                        break
                if name != "first":
                    start = time.perf_counter()
                os.write(proc.stdin.fileno(), pattern.encode() + b"\n")
                answer = answers.answer()
                session.times[name] = time.perf_counter() - start
                answer = bytes(answer)
                if answer != references[pattern]:
                    problems.append(f"--queries, {label}: {lines_of(answer):,} lines, the "
                                    f"one-shot {lines_of(references[pattern]):,}, or not "
                                    "byte-identical")
            session.peak_kb = peak_rss_kb(proc.pid)
        except (EOFError, TimeoutError, OSError) as error:
            problems.append(f"--queries: {str(error) or type(error).__name__}")
            proc.kill()
        proc.stdin.close()
        code = proc.wait(timeout=RUN_TIMEOUT_S)
        proc.stdout.close()
        if code != 0:
            err.seek(0)
            tail = err.read().decode(errors="replace").strip().splitlines()[-1:]
            problems.append(f"--queries exited with status {code} {tail}")
    return session


def store_bench_report(row, problems):
    """Runs quarvex-store-bench once; returns its key=value lines by their first word (searches
    by (pattern, store))."""
    result = subprocess.run(row.run_argv or row.argv, capture_output=True, env=row.env,
                            timeout=RUN_TIMEOUT_S)
    if result.returncode != 0:
        problems.append(f"quarvex-store-bench exited with status {result.returncode}: "
                        f"{result.stderr.decode(errors='replace').strip()}")
        return {}
    report = {"search": {}}
    for line in result.stdout.decode().splitlines():
        kind, _, rest = line.partition(" ")
        pairs = dict(item.partition("=")[::2] for item in rest.split())
        if kind == "search":
            report["search"][(pairs["pattern"], pairs["store"])] = pairs
        else:
            report[kind] = pairs
    return report


STORE_PAST_BOUND_BYTES = 4 << 20  # a bound the 300k tree's store passes (it takes about 20 MB)
STORE_ROOTS = 10  # roots of one --queries process, for the watches and instances it holds


def inotify_held(pid):
    """The inotify instances a process holds, and the watches in them."""
    instances = watches = 0
    fd_dir = f"/proc/{pid}/fd"
    for fd in os.listdir(fd_dir):
        try:
            if os.readlink(os.path.join(fd_dir, fd)) != "anon_inode:inotify":
                continue
            with open(f"/proc/{pid}/fdinfo/{fd}") as info:
                watches += sum(1 for line in info if line.startswith("inotify wd:"))
            instances += 1
        except OSError:
            pass
    return instances, watches


def store_citizen_report(queries, shot_mp3, problems):
    """What a --queries process holds of the machine: its peak RSS with a tree past the store's
    bound, against a one-shot search's; and the inotify instances and watches it holds with ten
    roots kept."""
    print("The store as a citizen of the machine:")
    env = dict(queries.env, QUARVEX_TEST_STORE_BYTES=str(STORE_PAST_BOUND_BYTES))
    proc = subprocess.Popen(queries.run_argv or queries.argv, stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, env=env)
    answers = PipeReader(proc.stdout.fileno())
    try:
        for _ in range(2):
            os.write(proc.stdin.fileno(), b"*.mp3\n")
            answers.answer()
            wait_settled(proc.pid)
        past = peak_rss_kb(proc.pid)
    except (EOFError, TimeoutError, OSError) as error:
        problems.append(f"--queries past the bound: {error}")
        past = 0
    proc.stdin.close()
    proc.wait(timeout=RUN_TIMEOUT_S)
    proc.stdout.close()
    measure_peak(shot_mp3)
    print(f"  peak RSS with a tree past a bound of {STORE_PAST_BOUND_BYTES >> 20} MB (asked twice, "
          f"settled): {past / 1024:.1f} MB; a one-shot search's {shot_mp3.peak_kb / 1024:.1f} MB: "
          f"within the bound plus it: {verdict(past <= shot_mp3.peak_kb + (STORE_PAST_BOUND_BYTES >> 10))}")
    # Roots are separated by spaces in a query, so only folders whose names hold none.
    roots = sorted(e.path for e in os.scandir(ROOT)
                   if e.is_dir() and not e.name.startswith(".") and " " not in e.name)
    roots = roots[:STORE_ROOTS]
    proc = subprocess.Popen(queries.run_argv or queries.argv, stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, env=queries.env)
    answers = PipeReader(proc.stdout.fileno())
    try:
        for root in roots:
            os.write(proc.stdin.fileno(), b"*.mp3\t" + root.encode() + b"\n")
            answers.answer()
        wait_settled(proc.pid)
        instances, watches = inotify_held(proc.pid)
    except (EOFError, TimeoutError, OSError) as error:
        problems.append(f"--queries over {len(roots)} roots: {error}")
        instances = watches = 0
    with open("/proc/sys/fs/inotify/max_user_watches") as f:
        limit = int(f.read())
    proc.stdin.close()
    proc.wait(timeout=RUN_TIMEOUT_S)
    proc.stdout.close()
    print(f"  {len(roots)} roots kept, settled: {instances} inotify instance(s), {watches:,} "
          f"watches, of the user's {limit:,} (at most half: {verdict(watches <= limit // 2)})")
    print()


def store_section(tree, rows):
    """The listing store (quarvex-find --queries): its answers' times against the one-shot
    run's, and its memory from quarvex-store-bench."""
    shots = {r.pattern: r for r in rows if r.kind == "store"}
    queries = next(r for r in rows if r.kind == "queries")
    bench = next((r for r in rows if r.kind == "store-bench"), None)
    problems = []
    # One untimed run each: the warm cache, and the bytes every answer must equal.
    references = {}
    for pattern, shot in shots.items():
        _, references[pattern], code = one_shot(shot)
        if code not in (0, 1):
            problems.append(f"{shot.label}: exit status {code}")
        if references[pattern].startswith(b"\n") or b"\n\n" in references[pattern]:
            problems.append(f"{shot.label}: an empty line in the output (a name holding a "
                            "newline): the answers of --queries cannot be told apart")
    sessions = []
    for round_ in range(STORE_RUNS):
        # The sessions and the one-shots, each first in turn.
        steps = [lambda: sessions.append(query_session(queries, references, problems))]
        steps += [lambda d=d: sessions.append(query_session(queries, references, problems, d))
                  for d in STORE_DELAYED]
        steps += [lambda s=s: s.times.append(one_shot(s)[0]) for s in shots.values()]
        shift = round_ % len(steps)
        for step in steps[shift:] + steps[:shift]:
            step()
    report = store_bench_report(bench, problems) if bench else {}

    print(f"== store: quarvex-find --queries ROOT over a pipe, {STORE_RUNS} sessions, each a "
          "fresh process, interleaved with the one-shot runs")
    print("Each session asks: the first '*.mp3' (timed from the process's start, as a one-shot "
          "is), '*.mp3' again at once (the background")
    print(f"pass still running), then, once the process has used no CPU for {STORE_QUIET_S} s "
          "(the pass done), the settled queries;")
    print("two more sessions a round ask '*.mp3' again 0.5 s and 1 s after the end of their first "
          "answer.")
    print("Every answer is checked byte-identical to the one-shot output of its pattern.")

    def column(name):
        return [s.times[name] for s in sessions if name in s.times]

    def med(values):
        return statistics.median(values) if values else float("nan")

    first = med(column("first"))
    shot_mp3 = med(shots["*.mp3"].times)
    header = (f"  {'row':<32} {'median s':>9} {'min s':>8} {'max s':>8} {'lines':>9} "
              f"{'/ first':>8} {'/ one-shot':>11}")
    print(header)
    print("  " + "-" * (len(header) - 2))
    table = [(shot.label, shot.times, p) for p, shot in shots.items()]
    table += [(label, column(name), p) for name, p, label in STORE_QUERIES[:2]]
    table += [(label, column(name), "*.mp3") for _, name, label in STORE_DELAYED]
    table += [(label, column(name), p) for name, p, label in STORE_QUERIES[2:]]
    for label, times, pattern in table:
        if not times:
            print(f"  {label:<32} no time (see MISMATCH below)")
            continue
        m = med(times)
        print(f"  {label:<32} {m:9.3f} {min(times):8.3f} {max(times):8.3f} "
              f"{lines_of(references[pattern]):>9,} {m / first:>7.2f}x "
              f"{m / med(shots[pattern].times):>10.2f}x")
    settles = [s.settle_s for s in sessions if s.settle_s is not None]
    if settles:
        print(f"  settled after {med(settles):.1f} s (median; {min(settles):.1f} to "
              f"{max(settles):.1f} s) from the end of the query at once, "
              f"{STORE_QUIET_S} s of quiet included")
    peak = max((s.peak_kb for s in sessions), default=0)
    print(f"  peak RSS of the --queries process (VmHWM after its last answer): "
          f"{peak / 1024:.1f} MB (largest of the sessions)")
    print()

    targets = []
    labels = {name: label for name, _, label in STORE_QUERIES}
    labels.update({name: label for _, name, label in STORE_DELAYED})
    for name, limit in STORE_SHOT_TARGETS.items():
        targets.append((f"{labels[name]} <= {limit:.2f}x the one-shot",
                        med(column(name)) / shot_mp3, limit))
    for name, pattern, label in STORE_QUERIES:
        if name.startswith("settled") and pattern != "*.mp3":
            targets.append((f"{label} <= {STORE_OTHER_TARGET:.2f}x the first",
                            med(column(name)) / first, STORE_OTHER_TARGET))
        if name in SETTLED_GOALS:
            value = med(column(name)) / med(shots[pattern].times)
            goal(f"--queries {label}, 300k / one-shot", f"{value:.3f}x",
                 f"<= {SETTLED_GOALS[name]}x", value <= SETTLED_GOALS[name])

    store = report.get("store", {})
    counted = report.get("tree", {})
    if store and counted:
        files = int(counted["files"])
        names = int(counted["name_bytes"])
        per_file = (int(store["bytes"]) - names) / files
        heap_per_file = (int(store["heap_bytes"]) - names) / files
        print(f"Memory, from quarvex-store-bench (the store built by one search, settled, "
              f"in one process):")
        print(f"  ListingStore::bytes() {int(store['bytes']):,} bytes for {files:,} files in "
              f"{int(store['folders']):,} folders ({int(counted['entries']):,} entries kept);")
        print(f"  their names {names:,} bytes; beyond the names {per_file:.1f} bytes per file.")
        layout = report.get("layout", {})
        if layout:
            tight = (int(layout["tight_bytes"]) - names) / files
            print(f"  With every string and vector at its size (no capacity left by growth): "
                  f"{tight:.1f} bytes per file (entry {layout['entry']}, folder "
                  f"{layout['folder']}, subfolder {layout['child']} bytes).")
        print(f"  The heap's own view (mallinfo2, with the store and after it was dropped): "
              f"{int(store['heap_bytes']):,} bytes, {heap_per_file:.1f} per file beyond the names")
        print(f"  (the allocator's overhead and the watches included); its peak RSS "
              f"{int(store['peak_rss_kb']) / 1024:.1f} MB.")
        searches = report["search"]

        def timed(pattern, kind):
            s = searches[(pattern, kind)]
            return float(s["seconds"]), float(s.get("cpu_seconds", "nan"))

        no, no_cpu = timed("*.mp3", "no")
        kept, kept_cpu = timed("*.mp3", "first")
        print(f"  In-process, wall (and the process's CPU time, all threads; less shaken by a busy "
              f"machine): '*.mp3' without the store")
        print(f"  {no:.3f} s ({no_cpu:.3f} s), the first with it {kept:.3f} s ({kept_cpu:.3f} s): "
              f"{kept / no:.2f}x ({kept_cpu / no_cpu:.2f}x); settled in "
              f"{float(report['settle']['seconds']):.1f} s; then, median of 5:")
        for pattern in STORE_PATTERNS:
            again, again_cpu = timed(pattern, "repeat")
            print(f"    '{pattern}' {again:.3f} s ({again_cpu:.3f} s): {again / kept:.2f}x "
                  f"({again_cpu / kept_cpu:.2f}x) the first")
        print()
        targets.append(("store bytes per file beyond the names <= 48", per_file,
                        STORE_BYTES_TARGET))
        goal("store bytes per file beyond the names, 300k", f"{per_file:.1f}", "<= 44",
             per_file <= 44)
        if int(store["folders"]) != int(counted["folders"]):
            problems.append(f"the store keeps {int(store['folders']):,} folders, the tree has "
                            f"{int(counted['folders']):,}")
        if files != tree["files_visible"]:
            problems.append(f"quarvex-store-bench counted {files:,} files, the generator made "
                            f"{tree['files_visible']:,}")
        for (pattern, kind), s in searches.items():
            expected = references.get(pattern)
            if expected is not None and (int(s["lines"]) != lines_of(expected)
                                         or int(s["line_bytes"]) != len(expected)):
                problems.append(f"quarvex-store-bench '{pattern}' ({kind}): {int(s['lines']):,} "
                                f"lines of {int(s['line_bytes']):,} bytes, the one-shot "
                                f"{lines_of(expected):,} of {len(expected):,}")
    elif not bench:
        print(f"(No {os.path.relpath(STORE_BENCH, REPO)} built: the store's bytes are not "
              "measured.)")
        print()

    store_citizen_report(queries, shots["*.mp3"], problems)
    print("Targets (for information):")
    for label, value, limit in targets:
        shown = f"{value:.1f}" if limit > 2 else f"{value:.3f}x"
        print(f"  {label:<48} {shown:>7}  {verdict(value <= limit)}")
    for problem in problems:
        print(f"  MISMATCH {problem}")
    if not problems:
        print("  every answer of every session equals the one-shot output of its pattern, byte "
              "for byte.")
    print()
    return problems


def million_rows():
    rows = [Row("one-shot quarvex-find '*.mp3'", [QUARVEX_FIND, "*.mp3", MILLION_ROOT], "*.mp3",
                "store"),
            Row("quarvex-find --queries", [QUARVEX_FIND, "--queries", MILLION_ROOT], "",
                "queries")]
    if os.access(STORE_BENCH, os.X_OK):
        rows.append(Row("quarvex-store-bench", [STORE_BENCH, "--runs", str(MILLION_RUNS),
                                                MILLION_ROOT, "*.mp3"], "", "store-bench"))
    return rows


def million_section(rows):
    """Settled repeats on a million files: through --queries with the output read, and in one
    process without output, beside one-shot runs."""
    shot, queries = rows[0], rows[1]
    problems = []
    _, reference, code = one_shot(shot)
    if code not in (0, 1):
        problems.append(f"{shot.label}: exit status {code}")
    asked = (STORE_QUERIES[0],) + tuple((f"settled-{i}", "*.mp3", "settled '*.mp3'")
                                        for i in range(MILLION_RUNS))
    session = query_session(queries, {"*.mp3": reference}, problems, queries=asked)
    for _ in range(MILLION_RUNS):
        shot.times.append(one_shot(shot)[0])
    report = store_bench_report(rows[2], problems) if len(rows) > 2 else {}

    print(f"== million: {os.path.relpath(MILLION_ROOT, REPO)} ({' '.join(MILLION_SIZE)}, made "
          f"once with the generator), {MILLION_RUNS} runs each")
    settled = [t for name, t in session.times.items() if name.startswith("settled")]
    lines = [(f"one-shot quarvex-find '*.mp3'", shot.times),
             ("--queries: first '*.mp3'", [session.times.get("first", float("nan"))]),
             ("--queries: settled '*.mp3', read", settled)]
    repeat = report.get("search", {}).get(("*.mp3", "repeat"))
    if repeat:
        lines.append(("in-process: settled '*.mp3'", [float(repeat["seconds"])]))
    shot_s = statistics.median(shot.times) if shot.times else float("nan")
    print(f"  {'row':<36} {'median s':>9} {'min s':>8} {'/ one-shot':>11}   "
          f"{lines_of(reference):,} lines")
    for label, times in lines:
        if times:
            m = statistics.median(times)
            print(f"  {label:<36} {m:9.4f} {min(times):8.4f} {m / shot_s:>10.3f}x")
    store, counted = report.get("store", {}), report.get("tree", {})
    if store and counted:
        per_file = (int(store["bytes"]) - int(counted["name_bytes"])) / int(counted["files"])
        print(f"  the store: {int(store['bytes']):,} bytes for {int(counted['files']):,} files in "
              f"{int(counted['folders']):,} folders, {per_file:.1f} bytes per file beyond the "
              "names")
        goal("store bytes per file beyond the names, 1M", f"{per_file:.1f}", "<= 44",
             per_file <= 44)
    if repeat:
        value = float(repeat["seconds"])
        goal("settled '*.mp3' in-process, 1M", f"{value * 1000:.1f} ms",
             f"<= {MILLION_TARGETS[0] * 1000:.0f} ms", value <= MILLION_TARGETS[0])
        if int(repeat["lines"]) != lines_of(reference):
            problems.append(f"quarvex-store-bench: {repeat['lines']} lines, the one-shot "
                            f"{lines_of(reference):,}")
    if settled:
        value = statistics.median(settled)
        goal("settled '*.mp3' through --queries, read, 1M", f"{value * 1000:.1f} ms",
             f"<= {MILLION_TARGETS[1] * 1000:.0f} ms", value <= MILLION_TARGETS[1])
    for problem in problems:
        print(f"  MISMATCH {problem}")
    print()
    return problems


# ----------------------------------------------------------------------------------------------
# The Win32 window under Wine


def wine_path(path):
    """A Linux path as Wine's drive Z: shows it."""
    return "Z:" + path.replace("/", "\\")


def wine32_runs():
    """Why 32-bit Wine cannot run here, or None when it can."""
    try:
        subprocess.run([WINE32, "--version"], stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, check=True, timeout=60)
    except FileNotFoundError:
        return f"32-bit Wine is not installed ({WINE32}: no such file; see make deps)"
    except OSError as error:
        return f"this machine cannot run 32-bit code ({WINE32}: {error.strerror})"
    except subprocess.SubprocessError:
        return f"32-bit Wine ({WINE32}) does not start here"
    return None


def win32_build():
    """The Windows build the section measures, and why: the i686 product where 32-bit code runs,
    as 64-bit Windows runs it (a WOW64 process in a win64 prefix); else the x86_64 build."""
    asked = os.environ.get("QUARVEX_BENCH_WIN32_BUILD", "")
    if asked in ("windows-x86", "windows-x64"):
        return asked, "asked for by QUARVEX_BENCH_WIN32_BUILD"
    why_not = wine32_runs()
    if why_not is None:
        return "windows-x86", "the product, under 32-bit Wine as a WOW64 process"
    return "windows-x64", why_not


WIN32_BUILD, WIN32_WHY = win32_build()
WIN_BIN = os.path.join(REPO, "build", WIN32_BUILD, "bin")
WIN_PREFIX = os.path.join(REPO, "build", WIN32_BUILD, "wine-prefix-bench")


class Wine:
    """One Xvfb (through xvfb-run) and one persistent wineserver of the benchmark's prefix, for
    the whole section: every run finds Wine's own processes started and the display up."""
    WINESERVER = os.path.join(os.path.dirname(WINE64), "wineserver")

    def __init__(self):
        self.server = None
        # xvfb-run keeps its X server while the command runs: here, until stdin is closed.
        self.xvfb = subprocess.Popen(["xvfb-run", "-a", "-s", "-screen 0 1024x768x24", "sh",
                                      "-c", 'echo "$DISPLAY $XAUTHORITY"; exec cat >/dev/null'],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.DEVNULL, start_new_session=True)
        display, xauthority = (self.xvfb.stdout.readline().decode().split() + ["", ""])[:2]
        # C.UTF-8: Wine converts Linux file names by the locale, and the tree's are UTF-8.
        # QUARVEX_WINEARCH: a PE32 program runs in the win64 prefix, as a WOW64 process.
        self.env = dict(ENV, LC_ALL="C.UTF-8", DISPLAY=display, XAUTHORITY=xauthority,
                        QUARVEX_WINEPREFIX=WIN_PREFIX, WINEPREFIX=WIN_PREFIX, WINEDEBUG="-all",
                        QUARVEX_WINEARCH="win64")
        if not display:
            self.stop()
            raise RuntimeError("xvfb-run started no X server")

    def start(self, probe):
        """Makes the prefix (running `probe` once), maps the drive and starts the server."""
        # Wine's processes keep the files they inherit: never a pipe of ours, or a read of it
        # would wait for them.
        quiet = dict(stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                     stderr=subprocess.DEVNULL, env=self.env)
        subprocess.run([WINE_RUN, probe, "--version"], timeout=300, **quiet)
        subprocess.run([self.WINESERVER, "-k"], **quiet)
        subprocess.run([self.WINESERVER, "-w"], **quiet)
        drive = os.path.join(WIN_PREFIX, "dosdevices", WIN32_DRIVE.lower())
        if os.path.islink(drive) and os.readlink(drive) != ROOT:
            os.unlink(drive)
        if not os.path.islink(drive):
            os.symlink(ROOT, drive)
        self.server = subprocess.Popen([self.WINESERVER, "-f", "-p"], **quiet)
        # A client that came before the server's socket would start a server of its own.
        for _ in range(200):
            if self.listening() or self.server.poll() is not None:
                break
            time.sleep(0.05)
        if self.server.poll() is not None:
            raise RuntimeError("the wineserver did not start")

    def listening(self):
        """Whether the server's socket is there, beside the lock file it holds open."""
        fds = f"/proc/{self.server.pid}/fd"
        for fd in os.listdir(fds):
            try:
                target = os.readlink(os.path.join(fds, fd))
            except OSError:
                continue
            if target.endswith("/lock"):
                return os.path.exists(os.path.join(os.path.dirname(target), "socket"))
        return False

    def server_cpu(self):
        """The wineserver's processor seconds so far: Wine's share of a run's work."""
        with open(f"/proc/{self.server.pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def stop(self):
        if self.server:
            subprocess.run([self.WINESERVER, "-k"], env=self.env, stderr=subprocess.DEVNULL)
            try:
                self.server.wait(timeout=30)
            except subprocess.TimeoutExpired:
                self.server.kill()
        self.xvfb.stdin.close()
        try:
            self.xvfb.wait(timeout=30)
        except subprocess.TimeoutExpired:
            os.killpg(self.xvfb.pid, signal.SIGKILL)


def win32_rows():
    """The console and the window (through its driver) on drive B:, and a bare start of Wine."""
    find_exe = os.path.join(WIN_BIN, "quarvex-find.exe")
    return [Row(f"quarvex-find.exe '*' {WIN32_DRIVE}", [find_exe, "*", WIN32_DRIVE], "*", "win32"),
            Row(f"Win32 window '*' on {WIN32_DRIVE}\\",
                [os.path.join(WIN_BIN, "quarvex-win32-bench.exe"),
                 os.path.join(WIN_BIN, "Quarvex.exe"), WIN32_DRIVE + "\\", "*"], "*", "win32"),
            Row("quarvex-find.exe --version", [find_exe, "--version"], "", "win32")]


def win32_section(tree, rows, required):
    """The Win32 window against quarvex-find.exe, both under the same Wine on the same tree.
    Without the Windows build it is skipped; a failure only when `required`."""
    console, window, bare = rows
    print(f"== win32: the Win32 window (Quarvex.exe) against quarvex-find.exe, both under Wine, "
          f"'*' on drive {WIN32_DRIVE} (the tree)")
    # `make bench` builds only the Linux programs: the Windows build this section measures is made
    # (or brought up to date) here, as `make test` makes it.
    built = subprocess.run([os.path.join(REPO, "scripts", "build-preset.sh"), WIN32_BUILD],
                           stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    if built.returncode != 0:
        print(f"  building {WIN32_BUILD} failed: {built.stderr.strip().splitlines()[-1:]}")
    missing = sorted({r.argv[i] for r in rows for i in (0, 1) if r.argv[i].endswith(".exe")
                      and not os.path.isfile(r.argv[i])})
    if not shutil.which("xvfb-run"):
        missing.append("xvfb-run")
    if missing:
        names = ", ".join(os.path.relpath(m, REPO) if "/" in m else m for m in missing)
        print(f"  skipped: missing {names}; build with ./scripts/build-preset.sh {WIN32_BUILD}\n")
        return [f"win32: missing {names}"] if required else []
    version = subprocess.run([WINE64, "--version"], capture_output=True, text=True).stdout.strip()
    which = ("The i686 build" if WIN32_BUILD == "windows-x86" else "The x86_64 build")
    print(f"  {which} ({os.path.relpath(WIN_BIN, REPO)}) under {version}: {WIN32_WHY}.")
    print(f"  Prefix {os.path.relpath(WIN_PREFIX, REPO)}, {WIN32_DRIVE} -> "
          f"{os.path.relpath(ROOT, REPO)}, one Xvfb and one wineserver for the section, "
          "LC_ALL=C.UTF-8.")
    print("  Window: from the press of Start to the report box, timed by quarvex-win32-bench from "
          "another process; console: the whole process, output to a file.")
    quarvex = Row("", [window.argv[1]], "", "win32")
    copy_dir = snapshot_programs(rows + [quarvex])
    window.run_argv[1] = wine_path(quarvex.run_argv[0])
    problems, wine = [], None
    try:
        wine = Wine()
        wine.start(console.run_argv[0])
        for row in rows:
            row.env = wine.env
            row.run_argv = [WINE_RUN, *row.run_argv]
        reports, server = {id(r): [] for r in rows}, {id(r): [] for r in rows}
        out_path = os.path.join(copy_dir, "out")
        for round_ in range(WIN32_RUNS + 1):  # round 0 is the warm-up
            for row in rows[round_ % len(rows):] + rows[:round_ % len(rows)]:
                if row.failure:
                    continue
                with open(out_path, "wb+") as out, tempfile.TemporaryFile() as err:
                    before = wine.server_cpu()
                    elapsed, code = run_once(row, out, err, WIN32_TIMEOUT_S)
                    cpu = wine.server_cpu() - before
                    note_status(row, code, "in the warm-up run" if round_ == 0 else "in a run")
                    if row.failure:
                        err.seek(0)
                        row.failure += ": " + err.read().decode(errors="replace").strip()[-300:]
                        continue
                    out.seek(0)
                    if row is console and round_ == 0:
                        row.lines = out.read().count(b"\n")
                    report = extra_report(out.read()) if row is window else {}
                if row is window:
                    if "seconds" not in report:
                        row.failure = "no seconds= line"
                        continue
                    reports[id(row)].append(report)
                    elapsed = float(report["seconds"])
                if round_ > 0:
                    row.times.append(elapsed)
                    server[id(row)].append(cpu)
    except (RuntimeError, OSError, subprocess.SubprocessError) as error:
        print(f"  MISMATCH win32: Wine could not be set up: {error}\n")
        return [f"win32: Wine could not be set up: {error}"]
    finally:
        if wine:
            wine.stop()
        shutil.rmtree(copy_dir, ignore_errors=True)

    print(f"  {WIN32_RUNS} timed runs each after one untimed warm-up, interleaved; medians of "
          "wall seconds and of the wineserver's processor seconds in each run:")
    print(f"  {'command':<34} {'median s':>9} {'min s':>8} {'max s':>8} {'wineserver s':>13}")
    for row in rows:
        if not row.times:
            print(f"  {row.label:<34} FAILED: {row.failure}")
            continue
        print(f"  {row.label:<34} {median(row):9.3f} {min(row.times):8.3f} {max(row.times):8.3f} "
              f"{statistics.median(server[id(row)]):13.3f}")
    seen = reports[id(window)]
    if seen:
        startup = statistics.median(float(r["startup"]) for r in seen)
        print(f"  the window took {startup:.3f} s (median) from its start to answering, which its "
              "time leaves out; the console's includes its start, as the bare row shows")
    print(f"  window / console: {ratio(window, console)}, target <= {WIN32_TARGET}x  "
          f"{verdict(below(window, console, WIN32_TARGET))}")
    goal("Win32 window under Wine '*' / quarvex-find.exe", ratio(window, console),
         f"<= {WIN32_TARGET}x", below(window, console, WIN32_TARGET))

    files = sorted({int(r["files"]) for r in seen if r.get("files", "").isdigit()})
    listed = sorted({int(r["list_lines"]) for r in seen if r.get("list_lines", "").isdigit()})
    print(f"  Sanity check: the window's report says {', '.join(f'{n:,}' for n in files) or '?'} "
          f"files (List1 holds {', '.join(f'{n:,}' for n in listed) or '?'} lines) in every run; "
          f"quarvex-find.exe printed {console.lines:,} lines; the generator made "
          f"{tree['files_visible']:,} visible files.")
    if files != [console.lines] or listed != [console.lines]:
        problems.append(f"win32: the window reported {files} files and listed {listed}, "
                        f"quarvex-find.exe printed {console.lines:,} lines")
    problems += [f"{r.label}: {r.failure}" for r in rows if r.failure]
    for problem in problems:
        print(f"  MISMATCH {problem}")
    print()
    return problems


def main():
    only = [s.strip() for s in os.environ.get("QUARVEX_BENCH_ONLY", "").split(",") if s.strip()]
    unknown = [s for s in only if s not in SECTIONS]
    if unknown:
        sys.exit(f"bench: QUARVEX_BENCH_ONLY names no section {', '.join(unknown)}; "
                 f"the sections are {', '.join(SECTIONS)}")
    sections = only or list(SECTIONS)
    linux_tools = (QUARVEX_FIND, "/usr/bin/time", shutil.which("find"), shutil.which("fdfind"),
                   shutil.which("bfs"))
    for tool in linux_tools if set(sections) - {"win32"} else ():
        if not tool or not os.access(tool, os.X_OK):
            sys.exit(f"bench: missing {tool or 'find, fdfind or bfs'}; "
                     "run `make build` / `make deps`")
    tree = None
    if {"warm", "sweep", "cold", "store", "win32"} & set(sections):
        ensure_tree()
        with open(os.path.join(TREE_DIR, "tree.json")) as f:
            tree = json.load(f)

    warm = [r for p in PATTERNS for r in rows_for(p)] if "warm" in sections else []
    extras = extra_rows() if "warm" in sections else []
    sweep = [r for p in PATTERNS for r in sweep_rows(p)] if "sweep" in sections else []
    cold = [r for p in PATTERNS for r in cold_rows(p)] if "cold" in sections else []
    chains = chain_rows() if "chain" in sections else []
    wides = wide_rows() if "wide" in sections else []
    stores = store_rows() if "store" in sections else []
    millions = million_rows() if "million" in sections else []
    win32 = win32_rows() if "win32" in sections else []
    if millions:
        ensure_tree(MILLION_DIR, MILLION_SIZE)
    everything = warm + extras + sweep + cold + chains + wides + stores + millions
    load_before = os.getloadavg()
    started = time.monotonic()

    print(f"Sections: {', '.join(sections)}; {os.cpu_count()} CPUs, load average "
          f"{load_before[0]:.2f} {load_before[1]:.2f} {load_before[2]:.2f} (1, 5, 15 min) before.")
    if tree:
        print(f"Tree {os.path.relpath(ROOT, REPO)}: {tree['files_visible']:,} files in "
              f"{tree['folders_visible']:,} folders, depth up to {tree['max_depth']}; "
              f"{tree['files_hidden']:,} more files and {tree['folders_hidden']:,} more folders "
              "are under dot names, which every command skips.")
    print("Commands (ROOT is the tree's absolute path; all run with LC_ALL=C; the build's programs "
          "run from copies made at the start):")
    for row in warm + extras + chains + wides + stores:
        print(f"  {row.label:<28} {shell_words(row.argv)}")
    for row in millions:
        print(f"  {row.label:<28} {shell_words(row.argv)} (the million section's tree)")
    for row in win32:
        print(f"  {row.label:<28} cmake/wine-run.sh {shell_words(row.argv)} (LC_ALL=C.UTF-8)")
    if sweep or cold:
        print("  sweep and cold rows: the same commands with -jN (quarvex-find -jN PATTERN ROOT, "
              "fdfind -jN ...), and bfs with find's arguments")
    print(flush=True)

    problems = []
    copy_dir = snapshot_programs(everything)
    try:
        if warm:
            problems += warm_section(tree, warm, extras)
        if sweep:
            sys.stdout.flush()
            problems += sweep_section(tree, sweep)
        if chains or wides:
            sys.stdout.flush()
            problems += chain_section(chains, wides)
        if stores:
            sys.stdout.flush()
            problems += store_section(tree, stores)
        if millions:
            sys.stdout.flush()
            problems += million_section(millions)
        if win32:
            sys.stdout.flush()
            problems += win32_section(tree, win32, "win32" in only)
        if cold:
            sys.stdout.flush()
            problems += cold_section(cold)
    finally:
        shutil.rmtree(copy_dir, ignore_errors=True)
    print_goals()

    load_after = os.getloadavg()
    print(f"{time.monotonic() - started:.0f} s in all; load average {load_before[0]:.2f} before "
          f"and {load_after[0]:.2f} after.")
    # The sweep's own runs of hundreds of threads raise the load it ends with.
    busiest = load_before[0] if sweep else max(load_before[0], load_after[0])
    if busiest > 0.5 * (os.cpu_count() or 1):
        print(f"Note: a load average of {busiest:.2f} on {os.cpu_count()} CPUs means other work ran "
              "alongside; the figures are noisier than on an idle machine.")
    if problems:
        print(f"{len(problems)} result mismatches (see MISMATCH above).")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
