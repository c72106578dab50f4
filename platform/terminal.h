// Whether a standard stream is a terminal the operator watches, and how
// wide it is: a progress line is redrawn in place only there.
#pragma once

enum class StandardStream { kOutput, kError };

bool IsTerminal(StandardStream stream);

// The terminal's width in columns; 0 when the stream is no terminal or
// the terminal does not say.
int TerminalColumns(StandardStream stream);
