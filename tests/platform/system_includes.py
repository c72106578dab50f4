#!/usr/bin/python3
"""Fails when a product source outside platform/ includes a system header
(POSIX, Linux or Windows) that is not on the list of files not yet behind
the seam, or when a listed file no longer includes one: the list stays
exact, so it can only shrink.

usage: system_includes.py SOURCE_ROOT LIST
"""
import os
import re
import sys

# The headers whose services live behind platform/.
SYSTEM_HEADER = re.compile(
    r'^\s*#\s*include\s*[<"]\s*('
    r'unistd\.h|fcntl\.h|sys/[^>"]+|poll\.h|linux/[^>"]+|dirent\.h|pwd\.h|grp\.h|'
    r'spawn\.h|signal\.h|termios\.h|windows\.h)\s*[>"]',
    re.IGNORECASE | re.MULTILINE)
SOURCE = re.compile(r'\.(c|cc|cpp|cxx|h|hh|hpp)$')
# Not product code: the seam itself, and the tests, fuzz targets and
# benchmarks, which may use the system directly.
NOT_PRODUCT = {'platform', 'tests', 'fuzz', 'bench'}


def product_sources(root):
    for top in sorted(os.listdir(root)):
        folder = os.path.join(root, top)
        if (top in NOT_PRODUCT or top.startswith('.') or not os.path.isdir(folder)
                or os.path.exists(os.path.join(folder, 'CMakeCache.txt'))):
            continue
        for base, dirs, files in os.walk(folder):
            dirs.sort()
            for name in sorted(files):
                if SOURCE.search(name):
                    path = os.path.join(base, name)
                    yield os.path.relpath(path, root).replace(os.sep, '/')


def listed(path):
    entries = set()
    with open(path, encoding='utf-8') as f:
        for line in f:
            entry = line.split('#', 1)[0].strip()
            if entry:
                entries.add(entry)
    return entries


def main():
    root, list_path = sys.argv[1], sys.argv[2]
    allowed = listed(list_path)
    including = {}
    for source in product_sources(root):
        with open(os.path.join(root, source), encoding='utf-8', errors='replace') as f:
            headers = SYSTEM_HEADER.findall(f.read())
        if headers:
            including[source] = headers
    faults = []
    for source, headers in sorted(including.items()):
        if source not in allowed:
            faults.append('%s includes %s: use a service of platform/ (or add one there)'
                          % (source, ', '.join('<%s>' % h for h in headers)))
    for source in sorted(allowed - set(including)):
        faults.append('%s is listed in %s but includes no system header: take it off the list'
                      % (source, os.path.basename(list_path)))
    for fault in faults:
        print(fault)
    print('%d product sources not yet behind the seam' % len(including))
    return 1 if faults else 0


if __name__ == '__main__':
    sys.exit(main())
