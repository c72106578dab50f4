// Bytes already in memory, read like a file: a stream for the readers that
// take a std::FILE* (the DICOM reader), and a small reader interface for the
// rest, which needs no file at all (the GSD reader).
#pragma once

#include <cstddef>
#include <cstdio>
#include <string_view>

// A read-only stream over size bytes at data, which must outlive it; close
// it with std::fclose. Null when the system cannot make one. A system
// without memory streams makes it a temporary file: a reader that can take
// a ByteReader should.
std::FILE* OpenMemoryStream(const char* data, std::size_t size);

// Bytes read in order, from memory or from a stream.
class ByteReader {
 public:
  virtual ~ByteReader() = default;
  // Up to bytes into buffer; fewer only at the end or on an error.
  virtual std::size_t Read(void* buffer, std::size_t bytes) = 0;
  // The system's error number of a failed read, 0 when none failed.
  virtual int Error() const = 0;
  // The next byte, or -1 at the end or on an error.
  int Get();
};

class MemoryReader : public ByteReader {
 public:
  explicit MemoryReader(std::string_view bytes) : bytes_(bytes) {}
  std::size_t Read(void* buffer, std::size_t bytes) override;
  int Error() const override { return 0; }

 private:
  std::string_view bytes_;
  std::size_t at_ = 0;
};

// Reads a std::FILE* from where it stands; the stream stays the caller's.
class StreamReader : public ByteReader {
 public:
  explicit StreamReader(std::FILE* stream) : stream_(stream) {}
  std::size_t Read(void* buffer, std::size_t bytes) override;
  int Error() const override { return error_; }

 private:
  std::FILE* stream_;
  int error_ = 0;
};
