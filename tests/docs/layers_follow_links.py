#!/usr/bin/python3
"""Checks the layers against the build: docs/ARCHITECTURE.md's table names,
for each folder, its libraries and programs and the project libraries they
link, and the suite fails where that column differs from the targets' links
in CMake, or where a product file includes a header of a library its
target does not reach through those links.

usage: layers_follow_links.py SOURCE_ROOT LAYERS_FILE
LAYERS_FILE is written by CMake: one line per target,
"NAME TYPE SOURCE,SOURCE,... LINK,LINK,...".
"""
import os
import re
import sys

INCLUDE = re.compile(r'^\s*#\s*include\s*"([^"]+)"', re.MULTILINE)
TABLE_ROW = re.compile(r'^\|\s*`([a-z_/]+)/`(?:,\s*`[^`]+`)*\s*\|(.*?)\|.*\|(.*?)\|\s*$', re.MULTILINE)
NAME = re.compile(r'`([A-Za-z0-9_-]+)`')
PROJECT_LIBRARY = re.compile(r'dgc_[a-z_]+')


def plain(name):
    # The sanitizer build's uninstrumented copies are the same library.
    return name[:-len('_helper')] if name.endswith('_helper') else name


def read_layers(path):
    targets = {}
    with open(path, encoding='utf-8') as f:
        for line in f:
            parts = line.rstrip('\n').split(' ')
            if len(parts) < 2:
                continue
            name, kind = parts[0], parts[1]
            sources = [s for s in (parts[2] if len(parts) > 2 else '').split(',') if s]
            links = {plain(l) for l in (parts[3] if len(parts) > 3 else '').split(',') if l}
            targets[name] = (kind, sources, links - {name})
    # A sanitizer build's NAME_helper is NAME's uninstrumented copy, in NAME's folder.
    return {name: t for name, t in targets.items()
            if plain(name) == name or plain(name) not in targets}


def reach(targets, start):
    seen, todo = set(), [start]
    while todo:
        name = todo.pop()
        if name in seen or name not in targets:
            continue
        seen.add(name)
        todo.extend(targets[name][2])
    return seen


def documented_rows(root):
    with open(os.path.join(root, 'docs', 'ARCHITECTURE.md'), encoding='utf-8') as f:
        text = f.read()
    rows = {}
    for folder, names, links in TABLE_ROW.findall(text):
        rows[folder] = (set(NAME.findall(names)), set(PROJECT_LIBRARY.findall(links)))
    return rows


def main():
    root, layers = sys.argv[1], sys.argv[2]
    targets = read_layers(layers)
    rows = documented_rows(root)
    problems = []

    # The table's links column is what its targets link, no more, no less.
    named = set()
    for folder, (names, documented) in sorted(rows.items()):
        built = {n for n in names if n in targets}
        named |= built
        linked = set()
        for name in built:
            linked |= targets[name][2]
        linked -= built
        if built and linked != documented:
            problems.append('docs/ARCHITECTURE.md, %s/: links %s, CMake says %s' %
                            (folder, ', '.join(sorted(documented)) or '-',
                             ', '.join(sorted(linked)) or '-'))
    for name, (kind, _, _) in sorted(targets.items()):
        if name.startswith('dgc_') and name != 'dgc_warnings' and name not in named:
            problems.append('docs/ARCHITECTURE.md names no folder for %s' % name)

    # Who owns a header: the targets that compile its .cpp, or else the
    # libraries the table names for its folder.
    compiled_by = {}
    for name, (_, sources, _) in targets.items():
        for source in sources:
            compiled_by.setdefault(source, set()).add(name)
    folder_of = lambda path: path.rsplit('/', 1)[0] if '/' in path else ''

    def owners(header):
        if header in compiled_by:
            return compiled_by[header]
        stem = os.path.splitext(header)[0]
        for ext in ('.cpp', '.inc'):
            if stem + ext in compiled_by:
                return compiled_by[stem + ext]
        folder = folder_of(header)
        while folder:
            if folder in rows:
                return {n for n in rows[folder][0] if n in targets}
            folder = folder_of(folder)
        return set()

    def check_file(path, users):
        with open(os.path.join(root, path), encoding='utf-8') as f:
            text = f.read()
        reachable = set()
        for user in users:
            reachable |= reach(targets, user)
        for header in INCLUDE.findall(text):
            if not os.path.exists(os.path.join(root, header)):
                continue  # a library's own header, or a generated one
            if folder_of(header) == folder_of(path) or folder_of(header).startswith(folder_of(path) + '/'):
                continue
            owner = owners(header)
            # A program may compile a seam's source into itself instead of linking it.
            if any(folder_of(source).startswith(folder_of(header))
                   for user in users for source in targets[user][1]):
                continue
            if owner and not (owner & reachable):
                problems.append('%s includes %s, of %s, which %s does not link' %
                                (path, header, ', '.join(sorted(owner)), ', '.join(sorted(users))))

    for source, users in sorted(compiled_by.items()):
        if os.path.exists(os.path.join(root, source)):
            check_file(source, users)
    # A header is held to what the targets of its own folder reach.
    for folder, (names, _) in sorted(rows.items()):
        users = {n for n in names if n in targets}
        top = os.path.join(root, folder)
        if not users or not os.path.isdir(top):
            continue
        for name in sorted(os.listdir(top)):
            if name.endswith('.h'):
                check_file(folder + '/' + name, owners(folder + '/' + name) or users)

    for problem in problems:
        print(problem)
    return 1 if problems else 0


if __name__ == '__main__':
    sys.exit(main())
