#include "platform/memory_stream.h"

std::FILE* OpenMemoryStream(const char* data, std::size_t size) {
  // Opened for reading only, so the bytes are never written through it.
  return ::fmemopen(const_cast<char*>(data), size, "rb");
}
