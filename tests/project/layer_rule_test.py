#!/usr/bin/env python3
"""The layer rule holds in the source tree, and its check catches what it must."""

import os
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import layer_rule  # noqa: E402

SRC = os.environ.get("QUARVEX_SRC", os.path.join(os.path.dirname(__file__), "../../src"))


class LayerRule(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.src = self.tmp.name
        # Project headers the fixtures include, one per layer and front end.
        for rel in ("search/core.h", "search/text/texts.h", "ui/form.h", "ui/qt/main_window.h",
                    "ui/win32/main_window.h", "platform/posix/posix_platform.h",
                    "platform/win32/utf16.h"):
            self.write(rel, "#pragma once\n")

    def tearDown(self):
        self.tmp.cleanup()

    def write(self, rel, text):
        path = os.path.join(self.src, rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w", encoding="utf-8") as f:
            f.write(text)

    def flagged(self):
        return {(rel, number) for rel, number, _, _ in layer_rule.check(self.src)}

    def test_the_source_tree_keeps_the_rule(self):
        self.assertTrue(os.path.isdir(os.path.join(SRC, "search")), SRC)
        violations = layer_rule.check(SRC)
        self.assertEqual([], [f"src/{r}:{n}: {t}: {why}" for r, n, t, why in violations])

    def test_os_toolkit_and_upward_includes_in_search_are_caught(self):
        bad = [
            "#include <windows.h>", "#include <winternl.h>", "#include <ntstatus.h>",
            "#include <QString>", "#include <QtWidgets/QWidget>", "#include <unistd.h>",
            "#include <sys/stat.h>", "#include <dirent.h>", "#include <fcntl.h>",
            "#include <pthread.h>", "#include <linux/fs.h>", "#include <mntent.h>",
            "  #  include <unistd.h>", '#include "windows.h"',
            '#include "platform/posix/posix_platform.h"', '#include "../platform/win32/utf16.h"',
            '#include "ui/form.h"', "#include OS_HEADER", "#import <Cocoa/Cocoa.h>",
        ]
        self.write("search/walk.cpp", "\n".join(bad) + "\n")
        expected = {("search/walk.cpp", n) for n in range(1, len(bad) + 1)}
        self.assertEqual(expected, self.flagged())

    def test_window_logic_may_use_search_but_no_front_end_or_platform(self):
        self.write("ui/skin.cpp", "\n".join([
            "#include <fstream>", "#include <filesystem>", "#include <cstdint>",
            "#include <stdint.h>", '#include "ui/form.h"', '#include "search/core.h"',
            '#include "form.h"',
            '#include "ui/qt/main_window.h"', '#include "ui/win32/main_window.h"',
            '#include "platform/win32/utf16.h"', "#include <QWidget>", "#include <shlobj.h>",
        ]) + "\n")
        self.assertEqual({("ui/skin.cpp", n) for n in range(8, 13)}, self.flagged())

    def test_search_uses_the_standard_library_and_itself(self):
        self.write("search/walk/walk.h", "\n".join([
            "#pragma once", "#include <thread>", "#include <condition_variable>",
            "#include <string_view>", "#include <cstring>", '#include "search/text/texts.h"',
            '#include "../text/texts.h"', "// a comment", "#define X 1",
        ]) + "\n")
        self.assertEqual(set(), self.flagged())

    def test_a_part_of_search_includes_no_part_above_it_and_no_cycle(self):
        self.write("search/store/store.h", '#pragma once\n#include "search/walk/walk.h"\n')
        self.write("search/walk/walk.h", '#pragma once\n#include "search/store/store.h"\n')
        self.write("search/walk/node.h", '#include "search/walk/ring.h"\n')
        self.write("search/walk/ring.h", '#include "search/walk/node.h"\n')
        self.assertEqual({("search/walk/walk.h", 2),
                          ("search/walk/node.h", 1), ("search/walk/ring.h", 1)}, self.flagged())

    def test_no_part_of_search_befriends_another_or_casts_const_away(self):
        self.write("search/store/store.h", "\n".join([
            "class Store {", "    friend class Search;", "    friend class Walk;", "};",
            "class Search {};", "int* p = const_cast<int*>(q);", "// const_cast, said",
        ]) + "\n")
        self.write("search/walk/walk.h", "class Walk {};\n")
        self.assertEqual({("search/store/store.h", 3), ("search/store/store.h", 6)},
                         self.flagged())

    def test_a_platform_uses_the_system_and_only_the_searchs_os_and_text(self):
        self.write("search/os/platform.h", "#pragma once\n")
        self.write("search/walk/walk.h", "#pragma once\n")
        self.write("platform/posix/tree_watch.cpp", "\n".join([
            "#include <sys/inotify.h>", '#include "platform/posix/posix_platform.h"',
            '#include "search/os/platform.h"', '#include "search/text/texts.h"',
            '#include "search/walk/walk.h"', '#include "ui/form.h"',
        ]) + "\n")
        self.assertEqual({("platform/posix/tree_watch.cpp", 5), ("platform/posix/tree_watch.cpp", 6)},
                         self.flagged())

    def test_only_the_front_ends_and_platforms_may_include_os_headers(self):
        self.write("ui/qt/main_window.cpp", "#include <QWidget>\n#include <unistd.h>\n")
        self.write("ui/win32/main_window.cpp", "#include <windows.h>\n")
        self.write("ui/console/io.cpp", "#include <termios.h>\n")
        self.write("platform/posix/posix_platform.cpp", "#include <dirent.h>\n")
        self.write("platform/win32/win32_platform.cpp", "#include <windows.h>\n")
        # A new folder of the window logic is not a front end.
        self.write("ui/widgets/list.cpp", "#include <string>\n#include <QListView>\n")
        self.write("search/engine/walk.cpp", "#include <sys/syscall.h>\n")
        self.assertEqual({("ui/widgets/list.cpp", 2), ("search/engine/walk.cpp", 1)},
                         self.flagged())


if __name__ == "__main__":
    unittest.main()
