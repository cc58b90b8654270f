#!/usr/bin/env python3
"""Checks the include layout of src/: every folder feeds one library, and a path tells what a
file may include.

    check_layers.py SRC_DIR      checks the tree; prints every offending include
    check_layers.py --self-test  checks that the rules catch what they are meant to catch

Rules:
  - a file under core/ includes nothing from gui/ or app/ (kez_core has no widgets);
  - a file under gui/ includes nothing from app/;
  - no two folders include each other, directly or through others (no cycle between folders).
A folder is the first two levels below src/, e.g. core/transport, gui/main_window or app.
"""

import os
import re
import sys
import tempfile

INCLUDE = re.compile(r'^\s*#\s*include\s*"([^"]+)"', re.M)
FORBIDDEN = {"core": ("gui", "app"), "gui": ("app",)}


def folder_of(path):
    parts = path.split("/")[:-1]
    return "/".join(parts[:2]) if parts else None


def scan(src):
    """Folder edges: {(from, to): [(file, include), ...]}."""
    edges = {}
    for root, _, files in os.walk(src):
        for name in files:
            if not name.endswith((".h", ".cpp")):
                continue
            full = os.path.join(root, name)
            rel = os.path.relpath(full, src).replace(os.sep, "/")
            here = folder_of(rel)
            if here is None:
                continue
            with open(full, encoding="utf-8") as f:
                text = f.read()
            for target in INCLUDE.findall(text):
                there = folder_of(target)
                if there is None or there == here:
                    continue
                if not os.path.exists(os.path.join(src, target)):
                    continue  # a header of the tests or the system, not of src/
                edges.setdefault((here, there), []).append((rel, target))
    return edges


def cycles(edges):
    """Strongly connected groups of more than one folder (Tarjan)."""
    graph = {}
    for a, b in edges:
        graph.setdefault(a, set()).add(b)
        graph.setdefault(b, set())
    index, low, stack, on_stack, groups = {}, {}, [], set(), []

    def visit(node):
        index[node] = low[node] = len(index)
        stack.append(node)
        on_stack.add(node)
        for nxt in sorted(graph[node]):
            if nxt not in index:
                visit(nxt)
                low[node] = min(low[node], low[nxt])
            elif nxt in on_stack:
                low[node] = min(low[node], index[nxt])
        if low[node] == index[node]:
            group = []
            while True:
                top = stack.pop()
                on_stack.discard(top)
                group.append(top)
                if top == node:
                    break
            if len(group) > 1:
                groups.append(sorted(group))

    for node in sorted(graph):
        if node not in index:
            visit(node)
    return groups


def check(src):
    edges = scan(src)
    problems = []
    for (a, b), uses in sorted(edges.items()):
        layer, other = a.split("/")[0], b.split("/")[0]
        if other in FORBIDDEN.get(layer, ()):
            for rel, target in uses:
                problems.append(f"{rel}: includes {target}, but {layer}/ may not include {other}/")
    for group in cycles(edges):
        problems.append("folders include each other: " + " -> ".join(group + group[:1]))
        for a in group:
            for b in group:
                for rel, target in edges.get((a, b), []):
                    problems.append(f"  {rel}: includes {target}")
    return problems


def self_test():
    def tree(files):
        root = tempfile.mkdtemp(prefix="kez-layers-")
        for path, text in files.items():
            full = os.path.join(root, path)
            os.makedirs(os.path.dirname(full), exist_ok=True)
            with open(full, "w", encoding="utf-8") as f:
                f.write(text)
        return root

    clean = {
        "core/text/trim.h": "#pragma once\n#include <QString>\n",
        "core/delivery/log.cpp": '#include "core/text/trim.h"\n',
        "gui/main_window/form.cpp": '#include "core/delivery/log.cpp"\n#include "gui/widgets/w.h"\n',
        "gui/widgets/w.h": "#pragma once\n",
        "app/main.cpp": '#include "gui/main_window/form.cpp"\n',
    }
    cases = [
        ("clean tree", clean, False),
        ("core includes gui", {**clean, "core/text/trim.cpp": '#include "gui/widgets/w.h"\n'}, True),
        ("gui includes app", {**clean, "gui/widgets/w.cpp": '#include "app/main.cpp"\n'}, True),
        ("two folders include each other",
         {**clean, "gui/widgets/w.cpp": '#include "gui/main_window/form.cpp"\n'}, True),
        ("a cycle through three folders",
         {**clean, "core/text/t.cpp": '#include "core/delivery/log.cpp"\n',
          "core/delivery/d.cpp": '#include "core/settings/s.h"\n',
          "core/settings/s.h": '#include "core/text/trim.h"\n'}, True),
    ]
    failed = False
    for name, files, should_fail in cases:
        found = bool(check(tree(files)))
        if found != should_fail:
            print(f"self-test: {name}: expected {'a' if should_fail else 'no'} complaint")
            failed = True
    print("self-test: " + ("FAILED" if failed else f"{len(cases)} cases as expected"))
    return 1 if failed else 0


def main():
    if len(sys.argv) == 2 and sys.argv[1] == "--self-test":
        return self_test()
    if len(sys.argv) != 2:
        print(__doc__)
        return 2
    problems = check(sys.argv[1])
    for line in problems:
        print(line)
    if problems:
        return 1
    print("layers: core/ includes only core/, gui/ no app/, no folder cycles")
    return 0


if __name__ == "__main__":
    sys.exit(main())
