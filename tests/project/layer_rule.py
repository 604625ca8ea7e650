#!/usr/bin/env python3
"""The layer rule: search/ and the window logic in ui/ include no OS or toolkit header, and
every part includes only the parts below it.

Files of search/ and ui/ may include the C++ standard library and project headers of their own
layer or the layers below (ui/ may include search/; search/ only itself). Anything else -
<windows.h>, <QString>, <unistd.h>, <sys/stat.h>, "platform/...", "ui/qt/..." - breaks the rule.
Inside search/ the parts are ranked, text < os < walk < store < core: a part includes its own
headers and those of the parts below, and no two headers of search/ include each other, however
far round; no part befriends a class of another, and search/ casts nothing const away.
platform/ may include any system header, its own folders, and the two parts of
search/ it implements or uses: os/ and text/. Front-end folders (ui/win32, ui/qt, ui/console)
adapt a toolkit and are not checked.

    layer_rule.py [SRC]      exits 1 and names each offending line
"""

import os
import re
import sys

FRONT_ENDS = ("win32", "qt", "console")

# ISO C++20/23 library headers, and the C library headers in both spellings.
CXX_HEADERS = set("""
algorithm any array atomic barrier bit bitset charconv chrono codecvt compare complex concepts
condition_variable coroutine deque exception execution expected filesystem flat_map flat_set
format forward_list fstream functional future generator initializer_list iomanip ios iosfwd
iostream istream iterator latch limits list locale map mdspan memory memory_resource mutex new
numbers numeric optional ostream print queue random ranges ratio regex scoped_allocator
semaphore set shared_mutex source_location span spanstream sstream stack stacktrace stdexcept
stdfloat stop_token streambuf string string_view syncstream system_error thread tuple
type_traits typeindex typeinfo unordered_map unordered_set utility valarray variant vector
version
""".split())
C_HEADERS = """
assert ctype errno fenv float inttypes limits locale math setjmp signal stdarg stddef stdint
stdio stdlib string time uchar wchar wctype
""".split()
STANDARD = CXX_HEADERS | {"c" + h for h in C_HEADERS} | {h + ".h" for h in C_HEADERS}

INCLUDE = re.compile(r'^\s*#\s*(?:include|include_next|import)\b\s*(.*)$')
FRIEND = re.compile(r'\bfriend\s+(?:class\s+|struct\s+)?([A-Za-z_][\w:]*)')
DECLARED = re.compile(r'^\s*(?:class|struct)\s+([A-Za-z_]\w*)\b(?!\s*;)', re.M)


# The parts of search/, lowest first: each may include itself and those before it.
SEARCH_PARTS = ("text", "os", "walk", "store", "core")


def layer_of(rel):
    """'search/<part>', 'search' (a file beside the parts), 'ui' or 'platform' for a file under
    src/ the rule covers, else None (rel uses '/')."""
    parts = rel.split("/")
    if parts[0] == "search":
        return f"search/{parts[1]}" if len(parts) > 2 else "search"
    if parts[0] == "ui" and not (len(parts) > 2 and parts[1] in FRONT_ENDS):
        return "ui"
    if parts[0] == "platform":
        return "platform"
    return None


def rank(layer):
    part = layer.partition("/")[2]
    return SEARCH_PARTS.index(part) if part in SEARCH_PARTS else len(SEARCH_PARTS)


def allowed_project_header(layer, target_rel):
    """May a file of `layer` include the project file at src/`target_rel`?"""
    target_layer = layer_of(target_rel)
    if target_layer is None:
        return False
    if layer == "platform":
        return target_layer in ("platform", "search/os", "search/text")
    if target_layer.startswith("search"):
        return layer == "ui" or rank(target_layer) <= rank(layer)
    return layer == "ui" and target_layer == "ui"


def check(src):
    """Lists (file, line number, text, reason) for every include that breaks the rule."""
    src = os.path.realpath(src)
    violations = []
    includes = {}  # search/ file -> the search/ files it includes, for the cycle check
    for folder, _, names in os.walk(src):
        for name in sorted(names):
            path = os.path.join(folder, name)
            rel = os.path.relpath(path, src).replace(os.sep, "/")
            layer = layer_of(rel)
            if layer is None:
                continue
            with open(path, encoding="utf-8", errors="replace") as f:
                for number, line in enumerate(f, 1):
                    m = INCLUDE.match(line)
                    if not m:
                        continue
                    target = m.group(1).strip()
                    reason = judge(src, os.path.dirname(path), layer, target)
                    if reason:
                        violations.append((rel, number, line.strip(), reason))
                    elif layer.startswith("search"):
                        found = resolve(src, os.path.dirname(path), target)
                        if found:
                            includes.setdefault(rel, []).append((found, number, line.strip()))
    violations += cycles(includes)
    violations += seams(src)
    return violations


def seams(src):
    """A friend of another part of search/, and a const_cast anywhere in it."""
    texts = {}
    for folder, _, names in os.walk(os.path.join(src, "search")):
        for name in sorted(names):
            path = os.path.join(folder, name)
            with open(path, encoding="utf-8", errors="replace") as f:
                texts[os.path.relpath(path, src).replace(os.sep, "/")] = f.read()
    declared = {}
    for rel, text in texts.items():
        declared.setdefault(layer_of(rel), set()).update(DECLARED.findall(text))
    found = []
    for rel, text in texts.items():
        for number, line in enumerate(text.splitlines(), 1):
            code = line.split("//")[0]
            if "const_cast" in code:
                found.append((rel, number, line.strip(), "const_cast: search/ casts nothing "
                              "const away"))
            m = FRIEND.search(code)
            if m and m.group(1).split("::")[-1] not in declared.get(layer_of(rel), ()):
                found.append((rel, number, line.strip(), f"befriends {m.group(1)}, which is "
                              f"not of {layer_of(rel)}/"))
    return found


def cycles(includes):
    """An include of search/ that closes a cycle back to the file that makes it."""
    found = []
    for start, edges in includes.items():
        for target, number, text in edges:
            seen, todo = set(), [target]
            while todo:
                rel = todo.pop()
                if rel == start:
                    found.append((start, number, text, "closes an include cycle"))
                    break
                if rel not in seen:
                    seen.add(rel)
                    todo.extend(t for t, _, _ in includes.get(rel, ()))
    return found


def resolve(src, here, target):
    """The src/-relative path of a quoted project include, or None."""
    m = re.match(r'"([^"]+)"', target)
    if not m:
        return None
    for base in (here, src):
        candidate = os.path.realpath(os.path.join(base, m.group(1)))
        if os.path.isfile(candidate):
            return os.path.relpath(candidate, src).replace(os.sep, "/")
    return None


def judge(src, here, layer, target):
    """Why `#include target` breaks the rule for a file of `layer` in folder `here`, or None."""
    m = re.match(r'<([^>]+)>', target)
    if m:
        header = m.group(1)
        if header in STANDARD or layer == "platform":
            return None
        return f"<{header}> is not a standard C++ header"
    m = re.match(r'"([^"]+)"', target)
    if not m:
        return "computed include: the header cannot be checked"
    header = m.group(1)
    for base in (here, src):
        candidate = os.path.realpath(os.path.join(base, header))
        if os.path.isfile(candidate):
            rel = os.path.relpath(candidate, src).replace(os.sep, "/")
            if rel.startswith("../") or not allowed_project_header(layer, rel):
                return f'"{header}" is src/{rel}, outside the layers {layer}/ may use'
            return None
    return f'"{header}" is no project header'


def main():
    src = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "../../src")
    violations = check(src)
    for rel, number, text, reason in violations:
        print(f"src/{rel}:{number}: {text}: {reason}")
    return 1 if violations else 0


if __name__ == "__main__":
    sys.exit(main())
