#!/usr/bin/env python3
"""Tests of scripts/check_layers.py on small trees built in a temporary folder."""

import io
import os
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts"))
import check_layers  # noqa: E402

# low < mid < top; games/x has a public header and an internal one.
BASE_LIST = """\
low -> - : bottom
mid -> low : built on low
top -> mid : built on mid
top -> low : built on low
games -> low/bytes.h : header-only helper
client -> games/x/proto.h : the public protocol header
"""


class Tree:
    def __init__(self, files, strList=BASE_LIST):
        self.tmp = tempfile.TemporaryDirectory()
        self.strRoot = self.tmp.name
        base = {"low/a.h": "", "low/bytes.h": "", "mid/m.h": "", "top/t.cpp": "", "games/x/proto.h": "",
                "games/x/internal.h": "", "client/c.cpp": ""}
        base.update(files)
        for strPath, strText in base.items():
            strFull = os.path.join(self.strRoot, strPath)
            os.makedirs(os.path.dirname(strFull), exist_ok=True)
            with open(strFull, "w", encoding="utf-8") as f:
                f.write(strText)
        self.strList = os.path.join(self.strRoot, "layers.txt")
        with open(self.strList, "w", encoding="utf-8") as f:
            f.write(strList)

    def Run(self):
        out, err = io.StringIO(), io.StringIO()
        rc = check_layers.Check(self.strRoot, self.strList, out, err)
        self.tmp.cleanup()
        return rc, out.getvalue(), err.getvalue()


class IncludeEdges(unittest.TestCase):
    def test_edges_allowed_and_refused(self):
        # (file, text, expected exit status)
        cases = [
            ("top/t.cpp", '#include "mid/m.h"\n#include "low/a.h"\n', 0),   # downward edges
            ("mid/m2.cpp", '#include "mid/m.h"\n', 0),                         # own folder
            ("low/b.cpp", '#include "mid/m.h"\n', 1),                          # upward
            ("mid/m2.cpp", '#include "top/t.h"\n', 1),                         # two layers up
            ("client/c.cpp", '#include "games/x/proto.h"\n', 0),               # the named header
            ("client/c.cpp", '#include "games/x/internal.h"\n', 1),            # not that one
            ("games/x/g.cpp", '#include "low/bytes.h"\n', 0),
            ("games/x/g.cpp", '#include "low/a.h"\n', 1),
            ("low/b.cpp", '#include <mid/m.h>\n', 1),                          # angle form too
            ("low/b.cpp", '  #  include "mid/m.h"\n', 1),                      # spaced directive
            ("low/b.cpp", '#include <vector>\n#include "asio/x.hpp"\n#include "b.h"\n', 0),  # not ours
            ("low/b.cpp", '// #include "mid/m.h"\n', 0),                       # a comment
        ]
        for strFile, strText, nExpected in cases:
            with self.subTest(file=strFile, text=strText):
                rc, _, err = Tree({strFile: strText}).Run()
                self.assertEqual(rc, nExpected, err)

    def test_message_names_file_line_and_edge(self):
        rc, _, err = Tree({"low/b.cpp": '// x\n#include "low/a.h"\n#include "mid/m.h"\n'}).Run()
        self.assertEqual(rc, 1)
        self.assertIn('low/b.cpp:3: #include "mid/m.h"', err)
        self.assertIn("low -> mid/m.h", err)
        self.assertIn("1 include(s)", err)

    def test_file_level_exception_covers_that_file_only(self):
        strList = BASE_LIST + "client/old.cpp -> games/x/internal.h : kept for now\n"
        files = {"client/old.cpp": '#include "games/x/internal.h"\n'}
        self.assertEqual(Tree(files, strList).Run()[0], 0)
        files["client/new.cpp"] = '#include "games/x/internal.h"\n'
        rc, _, err = Tree(files, strList).Run()
        self.assertEqual(rc, 1)
        self.assertIn("client/new.cpp:1:", err)
        self.assertNotIn("client/old.cpp", err)

    def test_build_and_hidden_folders_are_not_scanned(self):
        files = {"build-x/CMakeFiles/y.cpp": '#include "top/t.h"\n', "out/CMakeCache.txt": "",
                 "out/z.cpp": '#include "top/t.h"\n', ".cache/w.cpp": '#include "top/t.h"\n'}
        rc, _, err = Tree(files).Run()
        self.assertEqual(rc, 0, err)


class TheList(unittest.TestCase):
    def test_bad_lists_are_refused(self):
        # (list text added to the base, text expected in the message)
        cases = [
            ("mid -> top\n", "expected 'FROM -> TO : reason'"),
            ("mid -> top :\n", "gives no reason"),
            ("mid -> nowhere/x.h : typo\n", "nowhere/x.h does not exist"),
            ("low -> top : up\n", "cycle: low -> top -> low"),
        ]
        for strExtra, strMessage in cases:
            with self.subTest(extra=strExtra):
                rc, _, err = Tree({}, BASE_LIST + strExtra).Run()
                self.assertEqual(rc, 2)
                self.assertIn(strMessage, err)

    def test_every_product_folder_needs_an_entry(self):
        rc, _, err = Tree({"extra/e.cpp": ""}).Run()
        self.assertEqual(rc, 2)
        self.assertIn("folder(s) extra", err)
        # A folder without C/C++ files is no product folder.
        self.assertEqual(Tree({"docs/a.md": ""}).Run()[0], 0)

    def test_todo_edge_allows_reports_and_stays_out_of_the_order(self):
        strList = BASE_LIST + "todo low/a.h -> mid/m.h : to move down\n"
        rc, out, err = Tree({"low/a.h": '#include "mid/m.h"\n'}, strList).Run()
        self.assertEqual(rc, 0, err)
        self.assertIn("todo edge still in use (1 include(s)): low/a.h -> mid/m.h", out)


if __name__ == "__main__":
    unittest.main()
