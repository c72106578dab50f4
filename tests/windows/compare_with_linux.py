#!/usr/bin/python3
"""Converts every test study, raw and in every encoding, with the Linux
dicom2gsd and with dicom2gsd.exe under wine, and fails where the two differ:
in exit status, in whether a GSD file was written, or in one byte of it
(header included). The folder mode too: both scan the encoded studies into
a folder of their own, and the folders must hold the same files.

usage: compare_with_linux.py LINUX_DICOM2GSD WINDOWS_DICOM2GSD DATADIR WORKDIR

Wine runs the .exe (WINE, default "wine"); a wine server kept alive for the
run (tools/test_windows.sh starts one) makes each start a fraction of a
second. Paths reach the Windows program as wine shows the Linux root, Z:.
"""
import concurrent.futures
import filecmp
import os
import shutil
import subprocess
import sys

LINUX, WINDOWS, DATA, WORK = sys.argv[1:5]
WINE = os.environ.get("WINE", "wine")
# Every study with the same options on both sides; a study that asks an
# operator's question is declined on both.
OPTIONS = ["--height", "170", "--weight", "70"]


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def run(command):
    done = subprocess.run(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, timeout=600)
    return done.returncode, done.stdout, done.stderr


def convert(study):
    name = os.path.relpath(study, DATA).replace("/", "__")[:-len(".dcm")]
    linux_out = os.path.join(WORK, "linux", name + ".gsd")
    windows_out = os.path.join(WORK, "windows", name + ".gsd")
    linux = run([LINUX] + OPTIONS + [study, linux_out])
    windows = run([WINE, WINDOWS] + OPTIONS + [windows_path(study), windows_path(windows_out)])
    problems = []
    if linux[0] != windows[0]:
        problems.append("exit %d on Linux, %d under wine (%s)" %
                        (linux[0], windows[0], windows[2].decode(errors="replace").strip()))
    written = (os.path.exists(linux_out), os.path.exists(windows_out))
    if written[0] != written[1]:
        problems.append("a GSD file written only %s" % ("on Linux" if written[0] else "under wine"))
    elif written[0] and not filecmp.cmp(linux_out, windows_out, shallow=False):
        problems.append("the GSD files differ")
    return name, linux[0], written[0], problems


def compare_folders():
    """dicom2gsd --scan over the encoded studies, each into a folder of its own."""
    source = os.path.join(DATA, "encoded")
    outs = {side: os.path.join(WORK, "scan-" + side) for side in ("linux", "windows")}
    for out in outs.values():
        os.makedirs(out)
    linux = run([LINUX, "--scan", "--out", outs["linux"], "--jobs", "2"] + OPTIONS + [source])
    windows = run([WINE, WINDOWS, "--scan", "--out", windows_path(outs["windows"]), "--jobs", "2"]
                  + OPTIONS + [windows_path(source)])
    problems = []
    if linux[0] != windows[0]:
        problems.append("--scan: exit %d on Linux, %d under wine" % (linux[0], windows[0]))
    names = {side: sorted(os.listdir(out)) for side, out in outs.items()}
    if names["linux"] != names["windows"]:
        problems.append("--scan: Linux wrote %s, wine %s" % (names["linux"], names["windows"]))
    else:
        for name in names["linux"]:
            if not filecmp.cmp(os.path.join(outs["linux"], name),
                               os.path.join(outs["windows"], name), shallow=False):
                problems.append("--scan: %s differs" % name)
    return len(names["linux"]), problems


def main():
    shutil.rmtree(WORK, ignore_errors=True)
    for side in ("linux", "windows"):
        os.makedirs(os.path.join(WORK, side))
    studies = sorted(os.path.join(DATA, f) for f in os.listdir(DATA) if f.endswith(".dcm"))
    encoded = os.path.join(DATA, "encoded")
    studies += sorted(os.path.join(encoded, f) for f in os.listdir(encoded) if f.endswith(".dcm"))
    failures = 0
    written = 0
    with concurrent.futures.ThreadPoolExecutor(max_workers=2) as pool:
        for name, status, wrote, problems in pool.map(convert, studies):
            written += wrote
            for problem in problems:
                print("%s: %s" % (name, problem))
            failures += bool(problems)
    scanned, problems = compare_folders()
    for problem in problems:
        print(problem)
    failures += bool(problems)
    print("%d studies, %d converted, %d refused alike; --scan wrote %d; %d differ" %
          (len(studies), written, len(studies) - written, scanned, failures))
    return 1 if failures or written == 0 else 0


if __name__ == "__main__":
    sys.exit(main())
