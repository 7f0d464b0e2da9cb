#!/usr/bin/env python3
"""Checks that every #include between the product's folders is an allowed edge.

The allowed edges are listed in scripts/layers.txt (see the comment at its top
for the format). Every C/C++ source and header under the product folders (the
top-level folders of the tree, build directories excluded) is scanned for
#include "x/..." and #include <x/...> where x is one of those folders. An
include inside the file's own top-level folder is always allowed; any other
must match an edge of the list, or the check fails naming the file, the line
and the edge the list lacks. The list itself must be sound: every line well
formed with a reason, every path it names present, every product folder named,
and the folder edges a strict order (no cycle).

Exit status: 0 when every include is allowed, 1 when some are not, 2 when the
list or the arguments are wrong. Python 3 standard library only.
"""

import argparse
import os
import re
import sys

SOURCE_SUFFIXES = (".h", ".hpp", ".hh", ".inl", ".ipp", ".c", ".cc", ".cpp", ".cxx")
INCLUDE_RE = re.compile(r'^\s*#\s*include\s*(?:"([^"]+)"|<([^>]+)>)')
EDGE_RE = re.compile(r"^(todo\s+)?(\S+)\s*->\s*(\S+)\s*:\s*(.*?)\s*$")
NOTHING = "-"  # "FROM -> -": the folder includes nothing of the others
ANYTHING = "*"  # "FROM -> *": the folder may include any folder


class ListError(Exception):
    """The allowed-edges list is malformed or names what is not there."""


class Edge:
    def __init__(self, nLine, strFrom, strTo, strReason, bTodo):
        self.nLine = nLine
        self.strFrom = strFrom
        self.strTo = strTo
        self.strReason = strReason
        self.bTodo = bTodo
        self.nUses = 0

    def Text(self):
        return f"{self.strFrom} -> {self.strTo}"


def TopFolder(strPath):
    return strPath.split("/", 1)[0]


def Covers(strPrefix, strPath):
    """True when strPath is strPrefix itself or lies below it."""
    return strPath == strPrefix or strPath.startswith(strPrefix + "/")


def IsBuildDir(strRoot, strName):
    return strName.startswith("build") or os.path.exists(os.path.join(strRoot, strName, "CMakeCache.txt"))


def ProductFolders(strRoot):
    """Top-level folders that hold C/C++ files, build directories and hidden ones excluded."""
    aFolders = []
    for strName in sorted(os.listdir(strRoot)):
        strPath = os.path.join(strRoot, strName)
        if strName.startswith(".") or not os.path.isdir(strPath) or IsBuildDir(strRoot, strName):
            continue
        if any(f.endswith(SOURCE_SUFFIXES) for _, _, files in os.walk(strPath) for f in files):
            aFolders.append(strName)
    return aFolders


def ReadList(strListPath, strRoot):
    aEdges = []
    with open(strListPath, encoding="utf-8") as f:
        for nLine, strRaw in enumerate(f, 1):
            strText = strRaw.strip()
            if not strText or strText.startswith("#"):
                continue
            m = EDGE_RE.match(strText)
            if not m:
                raise ListError(f"{strListPath}:{nLine}: expected 'FROM -> TO : reason', got: {strText}")
            bTodo, strFrom, strTo, strReason = bool(m.group(1)), m.group(2), m.group(3), m.group(4)
            if not strReason:
                raise ListError(f"{strListPath}:{nLine}: the edge {strFrom} -> {strTo} gives no reason")
            aNamed = [strFrom] + ([] if strTo in (NOTHING, ANYTHING) else [strTo])
            for strPath in aNamed:
                if not os.path.exists(os.path.join(strRoot, strPath)):
                    raise ListError(f"{strListPath}:{nLine}: {strPath} does not exist in {strRoot}")
            aEdges.append(Edge(nLine, strFrom.rstrip("/"), strTo.rstrip("/"), strReason, bTodo))
    return aEdges


def FindCycle(aEdges):
    """A cycle among the folder edges as a list of folders, or None."""
    graph = {}
    for e in aEdges:
        if e.bTodo or e.strTo in (NOTHING, ANYTHING):
            continue
        a, b = TopFolder(e.strFrom), TopFolder(e.strTo)
        if a != b:
            graph.setdefault(a, set()).add(b)
    state = {}  # folder -> 1 on the current path, 2 done

    def Visit(node, path):
        state[node] = 1
        path.append(node)
        for nxt in sorted(graph.get(node, ())):
            if state.get(nxt) == 1:
                return path[path.index(nxt):] + [nxt]
            if nxt not in state:
                found = Visit(nxt, path)
                if found:
                    return found
        path.pop()
        state[node] = 2
        return None

    for node in sorted(graph):
        if node not in state:
            found = Visit(node, [])
            if found:
                return found
    return None


def ScanIncludes(strRoot, aFolders):
    """Yields (file, line number, included path) for includes that name a product folder."""
    folderSet = set(aFolders)
    for strFolder in aFolders:
        for strDir, aSubdirs, aFiles in os.walk(os.path.join(strRoot, strFolder)):
            aSubdirs.sort()
            for strName in sorted(aFiles):
                if not strName.endswith(SOURCE_SUFFIXES):
                    continue
                strPath = os.path.join(strDir, strName)
                strRel = os.path.relpath(strPath, strRoot).replace(os.sep, "/")
                with open(strPath, encoding="utf-8", errors="replace") as f:
                    for nLine, strLine in enumerate(f, 1):
                        m = INCLUDE_RE.match(strLine)
                        if not m:
                            continue
                        strInc = m.group(1) or m.group(2)
                        if "/" in strInc and TopFolder(strInc) in folderSet:
                            yield strRel, nLine, strInc


def Check(strRoot, strListPath, out, err):
    try:
        aEdges = ReadList(strListPath, strRoot)
    except (ListError, OSError) as e:
        print(f"check_layers: {e}", file=err)
        return 2
    strRelList = os.path.relpath(strListPath, strRoot)
    if not strRelList.startswith(".."):
        strListPath = strRelList  # shorter in the messages
    aFolders = ProductFolders(strRoot)
    aUnnamed = [d for d in aFolders if not any(TopFolder(e.strFrom) == d for e in aEdges)]
    if aUnnamed:
        print(f"check_layers: {strListPath} names no edge for the folder(s) {', '.join(aUnnamed)}; "
              f"add at least 'FOLDER -> - : reason' for each", file=err)
        return 2
    aCycle = FindCycle(aEdges)
    if aCycle:
        print(f"check_layers: the edges of {strListPath} form a cycle: {' -> '.join(aCycle)}", file=err)
        return 2

    nBad = 0
    for strFile, nLine, strInc in ScanIncludes(strRoot, aFolders):
        if TopFolder(strFile) == TopFolder(strInc):
            continue
        edge = next((e for e in aEdges if Covers(e.strFrom, strFile)
                     and (e.strTo == ANYTHING or (e.strTo != NOTHING and Covers(e.strTo, strInc)))), None)
        if edge:
            edge.nUses += 1
            continue
        nBad += 1
        aAllowed = sorted({e.strTo for e in aEdges if Covers(e.strFrom, strFile) and e.strTo != NOTHING})
        print(f"{strFile}:{nLine}: #include \"{strInc}\": the edge {TopFolder(strFile)} -> {strInc} is not "
              f"allowed by {strListPath} ({strFile} may include: {', '.join(aAllowed) or 'nothing outside '+ TopFolder(strFile)})",
              file=err)

    for e in aEdges:
        if e.bTodo and e.nUses:
            print(f"check_layers: todo edge still in use ({e.nUses} include(s)): {e.Text()}  # {e.strReason}", file=out)
        elif e.strTo not in (NOTHING, ANYTHING) and e.nUses == 0:
            print(f"check_layers: note: {strListPath}:{e.nLine}: no include uses {e.Text()} any more", file=out)
    if nBad:
        print(f"check_layers: {nBad} include(s) outside the allowed layering; fix the include or, "
              f"if the edge is sound, add it to {strListPath} with its reason", file=err)
        return 1
    print(f"check_layers: ok ({len(aFolders)} folders, {len(aEdges)} edges)", file=out)
    return 0


def main(argv):
    strHere = os.path.dirname(os.path.abspath(__file__))
    p = argparse.ArgumentParser(description="Fails when an #include crosses the product's folders along "
                                            "an edge that the allowed-edges list does not name.")
    p.add_argument("--root", default=os.path.dirname(strHere), help="tree to scan (default: the repository)")
    p.add_argument("--list", default=None, help="allowed-edges list (default: ROOT/scripts/layers.txt)")
    a = p.parse_args(argv)
    strList = a.list or os.path.join(a.root, "scripts", "layers.txt")
    return Check(a.root, strList, sys.stdout, sys.stderr)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
