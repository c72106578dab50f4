// Strict reader of GSD files, for inspection and for checking what the writer
// produced.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

struct GsdFile {
  // Header fields in file order, values as written.
  std::vector<std::pair<std::string, std::string>> fields;
  std::size_t headerBytes = 0;
  int division = 0;
  int frames = 0;
  std::vector<std::int16_t> values;  // gates x frames x 4096, file order

  int Gates() const { return division > 1 ? division : 1; }
  const std::string* Field(const std::string& key) const;
  const std::int16_t* Frame(int gate, int index) const;
};

// Returns true and fills file when path holds a well-formed GSD file;
// otherwise false with the reason in error.
bool ReadGsdFile(const char* path, GsdFile& file, std::string& error);

// The same for bytes already in memory.
bool ParseGsd(const std::string& bytes, GsdFile& file, std::string& error);
