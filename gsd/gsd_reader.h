// Strict reader of GSD files, for inspection and for checking what the writer
// produced. Frames are read as a stream: memory stays at one frame whatever
// the file holds, and counts beyond the store's 16 gates of 64 frames are
// refused before any frame is read.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "platform/memory_stream.h"  // ByteReader

// The longest header accepted: its lines hold a few short values.
constexpr std::size_t kGsdMaxHeaderBytes = 65536;

struct GsdFile {
  // Header fields in file order, values as written.
  std::vector<std::pair<std::string, std::string>> fields;
  std::size_t headerBytes = 0;
  int division = 0;
  int frames = 0;                    // 0 to 64
  std::vector<std::int16_t> values;  // gates x frames x 4096, file order; ReadGsdFile only

  int Gates() const { return division > 1 ? division : 1; }
  std::size_t FrameDataBytes() const;
  const std::string* Field(const std::string& key) const;
  const std::int16_t* Frame(int gate, int index) const;
  // Copies one frame's 4096 values into values, sized for the whole study.
  void KeepFrame(int gate, int index, const std::int16_t* frame);

 private:
  std::size_t FrameOffset(int gate, int index) const;
};

// Reads the header and leaves in at the first frame byte. Returns false
// with the reason in error for a malformed header: a line not of the form
// "key = value;", a key given twice, a required key missing, a count that is
// negative or beyond the store, or a failed read (named as such).
bool ReadGsdHeader(std::FILE* in, GsdFile& file, std::string& error);
bool ReadGsdHeader(ByteReader& in, GsdFile& file, std::string& error);

// Called for each frame in file order with its 4096 values.
using GsdFrameSink = std::function<void(int gate, int index, const std::int16_t* values)>;

// Reads the frames that the header announces and checks that nothing
// follows them. Returns false with the reason in error.
bool ReadGsdFrames(std::FILE* in, const GsdFile& file, const GsdFrameSink& sink,
                   std::string& error);
bool ReadGsdFrames(ByteReader& in, const GsdFile& file, const GsdFrameSink& sink,
                   std::string& error);

// Opens path for reading without waiting for a FIFO's writer. Null with the
// reason in error when it cannot be opened.
std::FILE* OpenGsdInput(const char* path, std::string& error);

// Header and frames, the frames kept in values. Returns true when path
// holds a well-formed GSD file; otherwise false with the reason in error.
bool ReadGsdFile(const char* path, GsdFile& file, std::string& error);

// The same for bytes already in memory.
bool ParseGsd(const std::string& bytes, GsdFile& file, std::string& error);
