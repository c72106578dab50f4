// Text from files and folders (paths, DICOM values, a child's words) made
// safe for a terminal or a log: nothing in it can move the cursor, set a
// title or clear the screen, and valid UTF-8 ("Études") stays readable.
#pragma once

#include <cstddef>
#include <string>

// The length of the valid UTF-8 sequence that starts at text[i] (1 for
// ASCII), or 0 when the byte there starts none: a stray continuation byte, an
// overlong form, a surrogate, a code point above U+10FFFF, a cut sequence.
std::size_t Utf8SequenceLength(const std::string& text, std::size_t i);

// Whether the valid sequence at text[i] is a C1 control (U+0080 to U+009F,
// UTF-8 C2 80 to C2 9F), which a terminal obeys as it does ESC.
bool IsC1Control(const std::string& text, std::size_t i);

// text with every C0 control, DEL, C1 control and byte that is not UTF-8
// shown as \xHH, the rest as it is.
std::string TerminalText(const std::string& text);
