// How many bytes the file beneath a stream holds, for readers that bound a
// walk by the file's end, and where the stream stands in it. Apart from the
// other input services: the decoder helper's data-set walk compiles it in.
#pragma once

#include <cstdio>

// The size of the regular file the stream reads; -1 when it reads no
// regular file (a pipe, a device, memory).
long long RegularFileBytes(std::FILE* stream);

// Where the stream stands, in bytes from its start, past 2 GiB too (the C
// library's ftell answers in a long, 32 bits on Windows); -1 when it cannot
// tell.
long long StreamOffset(std::FILE* stream);
