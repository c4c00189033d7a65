#!/usr/bin/env python3
"""Checks the project's library graph against what the archives really use.

Reads the graph CMake writes (cmake/link_graph.cmake) and nm's view of each
static library, then reports:
  - a library that uses a symbol defined (strongly) only in project
    libraries it does not link, directly or through its links, and that it
    has not declared as a link seam;
  - a platform library that links a driver library;
  - a cycle among the libraries' links.
Exits 1 with one line per finding, 0 when the graph is clean.
"""
import json
import os
import re
import subprocess
from concurrent.futures import ThreadPoolExecutor
import sys

DRIVER_DIRS = ("adapter", "topology", "stream", "dsp", "common", "primitives")
STRONG = set("TDBRGS")  # text, data, bss, read-only, small data


def load_graph(path):
    with open(path) as f:
        libs = [json.loads(line) for line in f if line.strip()]
    names = {lib["name"] for lib in libs}
    token = re.compile(r"[A-Za-z0-9_.+:-]+")
    for lib in libs:
        # Generator expressions ($<LINK_ONLY:x>, $<LINK_LIBRARY:WHOLE_ARCHIVE,x>)
        # wrap the names; keep the tokens that are project libraries.
        found = []
        for entry in lib["links"]:
            for word in token.findall(entry.replace(",", " ").replace(">", " ")):
                word = word.split(":")[-1]
                if word in names and word != lib["name"] and word not in found:
                    found.append(word)
        lib["deps"] = found
    return {lib["name"]: lib for lib in libs}


def closure(graph, name):
    seen, todo = set(), list(graph[name]["deps"])
    while todo:
        dep = todo.pop()
        if dep not in seen:
            seen.add(dep)
            todo.extend(graph[dep]["deps"])
    return seen


def symbols(archive):
    if not os.path.exists(archive):
        sys.exit(f"{archive} is not built; build the project first")
    out = subprocess.run(["nm", "-g", archive], capture_output=True, text=True, check=True).stdout
    defined, undefined = set(), set()
    for line in out.splitlines():
        parts = line.split()
        if len(parts) == 3 and parts[1] in STRONG:
            defined.add(parts[2])
        elif len(parts) == 2 and parts[0] == "U":
            undefined.add(parts[1])
    return defined, undefined - defined


def top_dir(lib):
    return lib["dir"].split("/")[0]


def find_cycles(graph):
    findings, state = [], {}

    def visit(name, path):
        state[name] = "open"
        for dep in graph[name]["deps"]:
            if state.get(dep) == "open":
                findings.append("link cycle: " + " -> ".join(path[path.index(dep):] + [dep]))
            elif dep not in state:
                visit(dep, path + [dep])
        state[name] = "done"

    for name in sorted(graph):
        if name not in state:
            visit(name, [name])
    return findings


def main():
    graph = load_graph(sys.argv[1] if len(sys.argv) > 1 else "build/link_graph.json")
    archives = {n: l for n, l in graph.items() if l["archive"]}
    with ThreadPoolExecutor() as pool:
        table = dict(zip(archives, pool.map(lambda lib: symbols(lib["archive"]), archives.values())))
    providers = {}
    for name, (defined, _) in table.items():
        for sym in defined:
            providers.setdefault(sym, set()).add(name)

    findings = find_cycles(graph)
    for name in sorted(archives):
        reach = closure(graph, name)
        allowed = reach | {name} | set(graph[name]["seams"])
        missing = {}
        for sym in table[name][1]:
            owners = providers.get(sym)
            if owners and not owners & allowed:
                missing.setdefault(",".join(sorted(owners)), []).append(sym)
        for owners, syms in sorted(missing.items()):
            findings.append(f"{name} uses {len(syms)} symbol(s) of {owners} without linking it, e.g. {sorted(syms)[0]}")
        if top_dir(graph[name]) == "platform":
            for dep in sorted(reach):
                if top_dir(graph[dep]) in DRIVER_DIRS:
                    findings.append(f"platform library {name} links driver library {dep}")
    for line in findings:
        print(line)
    return 1 if findings else 0


if __name__ == "__main__":
    sys.exit(main())
