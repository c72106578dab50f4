// A look at the first frame of encapsulated pixel data before any decoder
// sees it. A codestream states its own image size (JPEG and JPEG-LS in their
// SOF segment, JPEG 2000 in SIZ, RLE in its segment count); a decoder sizes
// its buffers from that, not from Rows and Columns, so a 4096 x 4096
// codestream inside a 64 x 64 data set is refused here.
#pragma once

#include <cstdio>
#include <string>

// Reads the Basic Offset Table item and the start of the first fragment at
// offset (just after the Pixel Data header). Returns false, with the reason,
// when the codestream names another size, more than one component or more
// than 16 bits per sample; true when it agrees or when there is nothing this
// check knows how to read (the decoder then gives its own words).
bool CodestreamFitsTheDataSet(std::FILE* stream, long offset, const std::string& syntax, int rows,
                              int columns, std::string& why);
