// How many bytes the file beneath a stream holds, for readers that bound a
// walk by the file's end. Apart from the other input services: the decoder
// helper's data-set walk compiles it in.
#pragma once

#include <cstdio>

// The size of the regular file the stream reads; -1 when it reads no
// regular file (a pipe, a device, memory).
long long RegularFileBytes(std::FILE* stream);
