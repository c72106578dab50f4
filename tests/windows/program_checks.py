#!/usr/bin/python3
"""The Windows programs under wine, where Windows differs from Linux:

  exit codes       dicom2gsd.exe's statuses as wine hands them to Linux and as
                   cmd.exe's %ERRORLEVEL% shows them to a Windows script
  names            a folder "Müller 山田" and file names with spaces: the
                   conversion, gsdinfo.exe and the folder mode
  failed replace   an output another process holds open (sharing nothing) is
                   refused, and the old file stays as it was with nothing
                   left beside it
  helper's end     the converter killed while its helper runs: the helper
                   goes with it (the job's kill on close)

usage: program_checks.py BUILD_DIR DATADIR WORKDIR LINUX_DICOM2GSD
BUILD_DIR holds dicom2gsd.exe, gsdinfo.exe, dicom-decode.exe and
tests/stand_in.exe; WINE names wine (default "wine").
"""
import os
import shutil
import signal
import subprocess
import sys
import time

BUILD, DATA, WORK, LINUX = (os.path.abspath(a) for a in sys.argv[1:5])
WINE = os.environ.get("WINE", "wine")
DICOM2GSD = os.path.join(BUILD, "dicom2gsd.exe")
GSDINFO = os.path.join(BUILD, "gsdinfo.exe")
STAND_IN = os.path.join(BUILD, "tests", "stand_in.exe")
failures = []


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def wine(program, *arguments, **options):
    return subprocess.run([WINE, program] + list(arguments), stdin=subprocess.DEVNULL,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=300,
                          **options)


def check(condition, what):
    if not condition:
        failures.append(what)
        print("FAILED: " + what)


def data(name):
    return os.path.join(DATA, name + ".dcm")


def exit_codes():
    """(label, arguments, status): each seen unchanged by Linux through wine,
    and by cmd.exe as the number itself."""
    out = windows_path(os.path.join(WORK, "codes.gsd"))
    cases = [
        ("written", [windows_path(data("gated64")), out], 0),
        ("missing input", [windows_path(os.path.join(WORK, "missing.dcm")), out], 1),
        ("pixel data short", [windows_path(data("pixel_short2")), out], 4),
        ("usage error", ["--frobnicate"], 2),
    ]
    for label, arguments, status in cases:
        run = wine(DICOM2GSD, *arguments)
        check(run.returncode == status,
              "exit codes, %s: %d through wine, not %d" % (label, run.returncode, status))
        # A batch file: its lines are read one at a time (a status on the
        # line of its command would be the one before), and its quotes
        # reach cmd.exe as written.
        script = os.path.join(WORK, "status.cmd")
        with open(script, "w", newline="\r\n") as f:
            f.write("@" + subprocess.list2cmdline([windows_path(DICOM2GSD)] + arguments) + "\n")
            f.write("@echo status %ERRORLEVEL%\n")
        shown = subprocess.run([WINE, "cmd", "/c", windows_path(script)],
                               stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                               stderr=subprocess.DEVNULL, timeout=300)
        check(("status %d" % status).encode() in shown.stdout,
              "exit codes, %s: cmd.exe says %r" % (label, shown.stdout.strip()[-40:]))


def non_latin_names():
    folder = os.path.join(WORK, "Müller 山田")
    os.makedirs(os.path.join(folder, "out"))
    source = os.path.join(folder, "in put.dcm")
    shutil.copyfile(data("gated64"), source)
    reference = os.path.join(WORK, "reference.gsd")
    subprocess.run([LINUX, "--height", "170", source, reference], check=True)
    # The output named as Windows programs name paths: by drive, as a device
    # path (no length limit), with forward slashes, and from the current folder.
    forms = [("drive", lambda p: windows_path(p)),
             ("device path", lambda p: "\\\\?\\" + windows_path(p)),
             ("forward slashes", lambda p: windows_path(p).replace("\\", "/")),
             ("relative", lambda p: os.path.relpath(p, folder).replace("/", "\\"))]
    for label, name in forms:
        target = os.path.join(folder, "out put %s.gsd" % label)
        run = wine(DICOM2GSD, "--height", "170", windows_path(source), name(target), cwd=folder)
        check(run.returncode == 0, "names, %s: dicom2gsd.exe said %r" % (label, run.stderr))
        check(os.path.exists(target) and open(target, "rb").read() == open(reference, "rb").read(),
              "names, %s: the GSD file differs from Linux's" % label)
    target = os.path.join(folder, "out put drive.gsd")
    info = wine(GSDINFO, windows_path(target))
    check(info.returncode == 0 and b"division" in info.stdout,
          "names: gsdinfo.exe said %r %r" % (info.stdout[:200], info.stderr))
    scan = wine(DICOM2GSD, "--scan", "--out", windows_path(os.path.join(folder, "out")),
                "--height", "170", windows_path(folder))
    written = os.listdir(os.path.join(folder, "out"))
    check(scan.returncode == 0 and len(written) == 1,
          "names: --scan wrote %s and said %r" % (written, scan.stderr))


def failed_replace():
    folder = os.path.join(WORK, "replace")
    os.makedirs(folder)
    target = os.path.join(folder, "held.gsd")
    with open(target, "wb") as f:
        f.write(b"the old file\n")
    holder = subprocess.Popen([WINE, STAND_IN, "hold", windows_path(target), "60"],
                              stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE)
    try:
        check(holder.stdout.readline().strip() == b"held", "replace: the file was not held")
        run = wine(DICOM2GSD, windows_path(data("gated64")), windows_path(target))
        check(run.returncode == 1, "replace: exit %d, said %r" % (run.returncode, run.stderr))
    finally:
        holder.kill()
        holder.wait()
    check(open(target, "rb").read() == b"the old file\n", "replace: the old file changed")
    check(os.listdir(folder) == ["held.gsd"], "replace: left %s" % os.listdir(folder))


def helper_ends_with_converter():
    """A stand-in helper that never answers, beside a copy of the converter:
    the converter killed (as by Task Manager), the helper must not outlive it."""
    folder = os.path.join(WORK, "orphan")
    os.makedirs(folder)
    shutil.copy(DICOM2GSD, folder)
    shutil.copy(STAND_IN, os.path.join(folder, "dicom-decode.exe"))
    converter = subprocess.Popen(
        [WINE, os.path.join(folder, "dicom2gsd.exe"),
         windows_path(os.path.join(DATA, "encoded", "gated64.rle.dcm")),
         windows_path(os.path.join(folder, "o.gsd"))],
        stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    # Wine shows a process's command line with its Windows path.
    helper = windows_path(os.path.join(folder, "dicom-decode.exe")).encode()

    def helpers():
        found = []
        for pid in filter(str.isdigit, os.listdir("/proc")):
            try:
                with open("/proc/%s/cmdline" % pid, "rb") as f:
                    if f.read().startswith(helper):
                        found.append(int(pid))
            except OSError:
                pass
        return found

    deadline = time.time() + 60
    while not helpers() and time.time() < deadline and converter.poll() is None:
        time.sleep(0.2)
    check(helpers() != [], "helper's end: the stand-in helper never started")
    converter.send_signal(signal.SIGKILL)
    converter.wait()
    deadline = time.time() + 20
    while helpers() and time.time() < deadline:
        time.sleep(0.2)
    left = helpers()
    check(left == [], "helper's end: the helper outlived its converter (%s)" % left)
    for pid in left:
        os.kill(pid, signal.SIGKILL)


def main():
    shutil.rmtree(WORK, ignore_errors=True)
    os.makedirs(WORK)
    for case in (exit_codes, non_latin_names, failed_replace, helper_ends_with_converter):
        case()
    print("%d failed" % len(failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
