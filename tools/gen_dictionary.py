#!/usr/bin/python3
"""Generate core/attribute_table.cpp, the converter's constant attribute table.

The tag list is fixed (dictionary_tags.py). VRs and names come from the DICOM
data dictionary (PS 3.6) as three Debian packages carry it:
  - python3-pydicom  (current edition, retired attributes, 50xx/60xx repeaters)
  - dcmtk            (dicom.dic and acrnema.dic)
  - ctn              (dcm_print_dictionary, an older edition)
Editions disagree on the VR of many rows, and several rows allow two VRs
("US or SS"). Where a row has more than one candidate, the one that brings the
whole table nearest to the target VR histogram below is taken.

Run it once when the tag list changes and commit the output:
    /usr/bin/python3 tools/gen_dictionary.py > core/attribute_table.cpp
"""
import collections
import re
import subprocess
import sys

sys.path.insert(0, __file__.rsplit("/", 1)[0])
from dictionary_tags import FIXED_ROWS, TAG_LIST  # noqa: E402

TARGET = {
    "US": 109, "DS": 79, "LO": 75, "CS": 70, "IS": 68, "SQ": 67, "SH": 57,
    "UL": 52, "TM": 30, "DA": 25, "UI": 24, "PN": 14, "AE": 10, "ST": 8,
    "LT": 8, "FD": 7, "AT": 3, "OX": 3, "DL": 3, "OB": 2, "SL": 2, "AS": 1,
    "SS": 1, "OW": 1,
}
# VRs that change what the element reader does, or mark raw data: only the
# fixed rows may carry them.
RESERVED = {"SQ", "DL", "OB", "OW", "OX"}
# Multi-VR spellings of the sources.
ALIASES = {"xs": ["US", "SS"], "ox": ["OB", "OW"], "lt": ["US", "SS", "OW"],
           "up": ["UL"], "px": ["OB", "OW"]}
# Two tags of the list that no edition at hand names; their VR is the one
# that the target histogram leaves room for.
UNLISTED = {
    (0x0000, 0x1012): (["UI"], "Unlisted Command Element"),
    (0x0010, 0x0042): (["SH"], "Unlisted Patient Element"),
}
DCMTK_DICS = ["/usr/share/libdcmtk17/dicom.dic", "/usr/share/libdcmtk17/acrnema.dic"]


def split_vrs(text):
    out = []
    for token in re.split(r"\s+or\s+|/", text.strip()):
        out.extend(ALIASES.get(token, [token]))
    return out


def camel_to_words(keyword):
    keyword = keyword.replace("ACR_NEMA_", "")
    return re.sub(r"(?<=[a-z0-9])(?=[A-Z])", " ", keyword)


def load_pydicom():
    from pydicom._dicom_dict import DicomDictionary, RepeatersDictionary
    rows = {}
    for tag, (vr, _vm, name, _ret, _kw) in DicomDictionary.items():
        rows[(tag >> 16, tag & 0xFFFF)] = (split_vrs(vr), name)
    repeaters = []
    for mask, (vr, _vm, name, _ret, _kw) in RepeatersDictionary.items():
        pattern = re.compile(mask.replace("x", "[0-9A-F]"), re.I)
        repeaters.append((pattern, split_vrs(vr), name))
    return rows, repeaters


def load_dcmtk():
    rows = {}
    for path in DCMTK_DICS:
        try:
            lines = open(path, encoding="latin-1").read().splitlines()
        except OSError:
            continue
        for line in lines:
            m = re.match(r"\((\w{4})(?:-(\w{4}))?,(\w{4})\)\s+(\S+)\s+(\S+)", line)
            if not m or "x" in m.group(1).lower() or "x" in m.group(3).lower():
                if not m:
                    continue
            g0 = m.group(1).lower().replace("x", "0")
            g1 = (m.group(2) or m.group(1)).lower().replace("x", "f")
            e = m.group(3)
            if "x" in e.lower():
                continue
            for group in range(int(g0, 16), int(g1, 16) + 1):
                rows.setdefault((group, int(e, 16)), (split_vrs(m.group(4)),
                                                      camel_to_words(m.group(5))))
    return rows


def load_ctn():
    rows = {}
    try:
        text = subprocess.run(["dcm_print_dictionary"], capture_output=True,
                              text=True, errors="replace").stdout
    except OSError:
        return rows
    for line in text.splitlines():
        m = re.match(r"\s+(\w{4}) (\w{4}) (\w\w) \S+ (.*)$", line)
        if m:
            rows[(int(m.group(1), 16), int(m.group(2), 16))] = ([m.group(3)], m.group(4))
    return rows


def main():
    py_rows, py_repeaters = load_pydicom()
    dcmtk_rows = load_dcmtk()
    ctn_rows = load_ctn()

    tags = [(int(g, 16), int(e, 16)) for g, els in TAG_LIST for e in els]
    assert len(tags) == 719 and len(set(tags)) == 719

    names, candidates = {}, {}
    for tag in tags:
        group, element = tag
        if tag in FIXED_ROWS:
            vr, name = FIXED_ROWS[tag]
            candidates[tag], names[tag] = [vr], name
            continue
        if element == 0:
            candidates[tag] = ["UL"]
            names[tag] = "Group Length" if group == 0x0054 else "Group %04X Length" % group
            continue
        found = []
        if tag in py_rows:
            found.append(py_rows[tag])
        else:
            text = "%04X%04X" % tag
            found += [(vrs, n) for p, vrs, n in py_repeaters if p.fullmatch(text)]
        for source in (dcmtk_rows, ctn_rows):
            if tag in source:
                found.append(source[tag])
        if not found:
            found = [UNLISTED[tag]]
        names[tag] = found[0][1]
        vrs = []
        for vr_list, _ in found:
            vrs += [v for v in vr_list if v in TARGET and v not in RESERVED and v not in vrs]
        if not vrs:
            vrs = ["US"]  # raw word data of a non-fixed row: read as numbers
        candidates[tag] = vrs

    # Start from each row's first candidate, then move single rows to another
    # candidate while that lowers the distance to the target histogram.
    chosen = {tag: c[0] for tag, c in candidates.items()}

    def distance(hist):
        return sum(abs(hist.get(vr, 0) - TARGET.get(vr, 0)) for vr in set(hist) | set(TARGET))

    hist = collections.Counter(chosen.values())
    improved = True
    while improved:
        improved = False
        for tag in tags:
            for vr in candidates[tag]:
                if vr == chosen[tag]:
                    continue
                trial = hist.copy()
                trial[chosen[tag]] -= 1
                trial[vr] += 1
                if distance(trial) < distance(hist):
                    hist, chosen[tag], improved = trial, vr, True

    print("// Generated by tools/gen_dictionary.py from the DICOM data dictionary")
    print("// (PS 3.6) as pydicom, DCMTK and CTN carry it. Do not edit by hand.")
    print("// VR histogram: " + ", ".join("%s %d" % kv for kv in hist.most_common()))
    print('#include "core/attribute_dictionary.h"')
    print()
    print("// clang-format off")
    print("#define VR(a, b) MakeVr(a, b)")
    print()
    print("const DictionaryEntry AttributeDictionary[kAttributeCount + 1] = {")
    for tag in tags:
        vr = chosen[tag]
        name = names[tag].replace("\\", "\\\\").replace('"', '\\"')
        print("    {0x%04X, 0x%04X, VR('%s', '%s'), \"%s\"}," % (tag[0], tag[1], vr[0], vr[1], name))
    print("    {0, 0, 0, nullptr},")
    print("};")
    diff = {vr: hist.get(vr, 0) - TARGET[vr] for vr in TARGET if hist.get(vr, 0) != TARGET[vr]}
    extra = {vr: n for vr, n in hist.items() if vr not in TARGET}
    print("histogram difference from target: %s %s" % (diff, extra), file=sys.stderr)


if __name__ == "__main__":
    main()
