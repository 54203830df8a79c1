#!/usr/bin/env python3
"""The core's files form layers: no two of them depend on each other, directly
or through others. A file is a header and its source together (dfu.h and
dfu.cpp); it depends on another when it includes that one's header.

    include_graph.py CORE_DIR      exits 1 and names every cycle found
    include_graph.py --self-test   checks that a made-up cycle is found
"""
import os
import re
import sys
import tempfile

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)
SOURCES = ('.h', '.hpp', '.c', '.cpp')


def include_graph(directory):
    names = sorted(f for f in os.listdir(directory) if f.endswith(SOURCES))
    headers = {os.path.splitext(f)[0] for f in names if f.endswith(('.h', '.hpp'))}
    graph = {os.path.splitext(f)[0]: set() for f in names}
    for name in names:
        unit = os.path.splitext(name)[0]
        with open(os.path.join(directory, name), encoding='utf-8') as text:
            for included in INCLUDE.findall(text.read()):
                target = os.path.splitext(os.path.basename(included))[0]
                if target in headers and target != unit:
                    graph[unit].add(target)
    return graph


def cycles(graph):
    """Strongly connected components of more than one unit (Tarjan)."""
    index, low, stack, on_stack, found = {}, {}, [], set(), []
    counter = [0]

    def visit(unit):
        index[unit] = low[unit] = counter[0]
        counter[0] += 1
        stack.append(unit)
        on_stack.add(unit)
        for other in sorted(graph[unit]):
            if other not in index:
                visit(other)
                low[unit] = min(low[unit], low[other])
            elif other in on_stack:
                low[unit] = min(low[unit], index[other])
        if low[unit] == index[unit]:
            component = []
            while True:
                other = stack.pop()
                on_stack.discard(other)
                component.append(other)
                if other == unit:
                    break
            if len(component) > 1:
                found.append(sorted(component))

    for unit in sorted(graph):
        if unit not in index:
            visit(unit)
    return found


def self_test():
    with tempfile.TemporaryDirectory() as directory:
        files = {
            'a.h': '', 'a.cpp': '#include "a.h"\n#include "b.h"\n',
            'b.h': '', 'b.cpp': '#include "b.h"\n#include "c.h"\n',
            'c.h': '#include "a.h"\n', 'd.h': '#include "a.h"\n',
        }
        for name, text in files.items():
            with open(os.path.join(directory, name), 'w', encoding='utf-8') as out:
                out.write(text)
        found = cycles(include_graph(directory))
        if found != [['a', 'b', 'c']]:
            print('self-test: expected the cycle a, b, c; found', found)
            return 1
        os.remove(os.path.join(directory, 'c.h'))
        if cycles(include_graph(directory)):
            print('self-test: a cycle found where there is none')
            return 1
    print('self-test: passed')
    return 0


def main(argv):
    if argv[1:] == ['--self-test']:
        return self_test()
    if len(argv) != 2:
        print(__doc__)
        return 2
    graph = include_graph(argv[1])
    found = cycles(graph)
    for component in found:
        print('files that depend on each other:', ', '.join(component))
        for unit in component:
            print('  %s includes %s' % (unit, ', '.join(sorted(graph[unit] & set(component)))))
    edges = sum(len(targets) for targets in graph.values())
    print('%d files, %d dependencies, %d cycles' % (len(graph), edges, len(found)))
    return 1 if found else 0


if __name__ == '__main__':
    sys.exit(main(sys.argv))
