// What gsdinfo does with one GSD file, apart from its arguments: check it,
// print its header and per-gate counts, optionally draw the montage.
#pragma once

#include <cstdio>
#include <string>

// Reads the GSD file from in (name is for messages) and prints the report
// on out, or one line "gsdinfo: NAME: REASON" on err; every byte from the
// file or a name that is not printable ASCII is shown as "\xHH". png, when
// not null, is where the montage goes, under the output-file rules and never
// onto the input. Returns gsdinfo's exit status: 0 or 1.
int InspectGsd(std::FILE* in, const char* name, const char* png, std::FILE* out, std::FILE* err);

// text with every byte outside printable ASCII (0x20 to 0x7E) written as
// "\xHH": a header may hold terminal controls (ESC, BEL) that must not
// reach the terminal.
std::string PrintableText(const std::string& text);
