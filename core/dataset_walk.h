// A walk over a data set that knows where it stands: the VR form that the
// transfer syntax gives, and which sequences and items enclose the element
// just read. The element reader alone sees one flat stream of headers; the
// scan needs to tell a top-level Rows from the Rows of an icon image.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "core/element_reader.h"

class DatasetWalk {
 public:
  // Walks stream from where it stands; the walk ends at the stream's size.
  explicit DatasetWalk(std::FILE* stream);

  // Reads the next header, as ReadElementHeader does: 1, or -1 at the end of
  // the file, on a header cut short, on nesting deeper than the walk keeps,
  // on a value that runs past the end of the file, beyond 2 GiB, where the
  // tags stop ascending (not a data set: zeros, noise), or at an item that a
  // Sequence Delimitation Item closes (readers disagree on where such an
  // item leaves them: one is back at the top level, another still in the
  // sequence).
  int Next(DicomElement& element);

  // After the top-level Pixel Data, the element last read: walks over its
  // value and what follows it. -1 when a second top-level Pixel Data
  // follows (readers differ on which one counts), with Failure() naming
  // both; 1 otherwise, also when what follows does not walk (padding or
  // damage after the pixels, which are found). Leaves the stream where the
  // walk stopped.
  int WalkPastPixelData(DicomElement element);

  // Why Next returned -1, in words; empty at a plain end of the file.
  const std::string& Failure() const { return failure_; }

  // True when the element last read by Next lies in no sequence.
  bool AtTopLevel() const { return depth_at_element_ == 0; }

  // True when the element last read by Next lies directly in an item of the
  // top-level sequence (group, element).
  bool InItemOfTopLevelSequence(std::uint16_t group, std::uint16_t element) const;

  // True when the element last read by Next lies anywhere inside the
  // top-level sequence (group, element).
  bool InsideTopLevelSequence(std::uint16_t group, std::uint16_t element) const;

  // The data set's headers from now on are read in this form.
  void UseForm(VrForm form) { form_ = form; }

  // Where the header of the element last read begins in the stream.
  long long ElementStart() const { return elementStart_; }

  // True when the values of the element last read are big endian.
  bool BigEndianValues() const { return bigEndianValues_; }

 private:
  enum class Kind { kSequence, kItem, kFragments };
  struct Container {
    Kind kind;
    long long end;      // offset just after the value; -1 until a delimiter
    bool implicit;      // an undefined-length UN holds implicit VR
    std::uint32_t tag;  // group << 16 | element of a sequence; 0 for items
  };
  static constexpr int kMaxDepth = 64;
  // PS3.5 7.1: the elements of a data set ascend by tag. A file may hold one
  // out of place; a run of this many that do not ascend is no data set.
  static constexpr int kMaxDescendingRun = 4;

  int Fail(std::string why);
  bool TagsStopAscending(const DicomElement& element);

  void CloseFinished(long long position);
  void Open(Kind kind, long long end, bool implicit, std::uint32_t tag = 0);
  void CloseThrough(Kind kind);
  bool InsideImplicit() const { return depth_ > 0 && open_[depth_ - 1].implicit; }

  std::FILE* stream_;
  VrForm form_ = VrForm::kGuess;
  Container open_[kMaxDepth];
  int depth_ = 0;
  int depth_at_element_ = 0;  // containers around the element last read
  bool tooDeep_ = false;
  bool bigEndianValues_ = false;
  long long size_;                          // the stream's size in bytes
  long long elementStart_ = 0;              // where the header last read begins
  std::uint32_t lastTag_[kMaxDepth + 1]{};  // per nesting level
  int descendingRun_ = 0;
  long long runStart_ = 0;  // where the run of tags that do not ascend began
  std::string failure_;
};
