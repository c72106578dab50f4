#include "core/dataset_walk.h"

#include <cstdio>
#include <utility>

#include "platform/stream_size.h"

namespace {

constexpr long long kMaxWalk = 0x7FFFFFFF;  // offsets are passed on as int32

std::string TagText(std::uint32_t tag) {
  char text[16];
  std::snprintf(text, sizeof text, "(%04X,%04X)", static_cast<unsigned>(tag >> 16),
                static_cast<unsigned>(tag & 0xFFFF));
  return text;
}

long long StreamSize(std::FILE* stream) {
  const long long bytes = RegularFileBytes(stream);
  if (bytes >= 0) return bytes;
  // A stream over memory or a pipe: never 2 GiB.
  long here = std::ftell(stream);
  if (here < 0 || std::fseek(stream, 0, SEEK_END) != 0) return kMaxWalk;
  long size = std::ftell(stream);
  std::fseek(stream, here, SEEK_SET);
  return size < 0 ? kMaxWalk : size;
}

}  // namespace

DatasetWalk::DatasetWalk(std::FILE* stream) : stream_(stream), size_(StreamSize(stream)) {}

int DatasetWalk::Fail(std::string why) {
  failure_ = std::move(why);
  return -1;
}

bool DatasetWalk::TagsStopAscending(const DicomElement& element) {
  if (element.group == 0xFFFE) return false;  // items and delimiters
  const std::uint32_t tag = (std::uint32_t{element.group} << 16) | element.element;
  std::uint32_t& last = lastTag_[depth_at_element_];
  descendingRun_ = tag > last ? 0 : descendingRun_ + 1;
  last = tag;
  return descendingRun_ >= kMaxDescendingRun;
}

void DatasetWalk::CloseFinished(long long position) {
  // The outermost container whose defined length is used up closes with
  // everything inside it, even a nested one that claims to run further.
  for (int i = 0; i < depth_; ++i) {
    if (open_[i].end >= 0 && position >= open_[i].end) {
      depth_ = i;
      return;
    }
  }
}

void DatasetWalk::Open(Kind kind, long long end, bool implicit, std::uint32_t tag) {
  if (depth_ == kMaxDepth) {
    tooDeep_ = true;
    return;
  }
  open_[depth_++] = Container{kind, end, implicit, tag};
  lastTag_[depth_] = 0;
}

bool DatasetWalk::InItemOfTopLevelSequence(std::uint16_t group, std::uint16_t element) const {
  return depth_at_element_ == 2 && open_[1].kind == Kind::kItem &&
         InsideTopLevelSequence(group, element);
}

bool DatasetWalk::InsideTopLevelSequence(std::uint16_t group, std::uint16_t element) const {
  return depth_at_element_ >= 1 && open_[0].kind == Kind::kSequence &&
         open_[0].tag == ((std::uint32_t{group} << 16) | element);
}

void DatasetWalk::CloseThrough(Kind kind) {
  for (int i = depth_ - 1; i >= 0; --i) {
    bool matches =
        kind == Kind::kItem ? open_[i].kind == Kind::kItem : open_[i].kind != Kind::kItem;
    if (matches) {
      depth_ = i;
      return;
    }
  }
  // A delimiter with nothing open to close is passed over.
}

int DatasetWalk::Next(DicomElement& element) {
  const long long start = StreamOffset(stream_);
  elementStart_ = start;
  CloseFinished(start);
  depth_at_element_ = depth_;
  bool implicitHere = InsideImplicit();
  if (start > kMaxWalk) return Fail("no Pixel Data element in the first 2 GiB of the file");
  if (ReadElementHeader(stream_, element, implicitHere ? VrForm::kImplicit : form_) != 1) return -1;
  const std::uint32_t tag = (std::uint32_t{element.group} << 16) | element.element;
  bigEndianValues_ =
      form_ == VrForm::kExplicitBigEndian && !implicitHere && element.group != 0x0002;
  if (descendingRun_ == 0) runStart_ = start;
  if (TagsStopAscending(element))
    return Fail("no DICOM data set from byte " + std::to_string(runStart_) +
                " on: the element tags stop ascending, " + TagText(tag) + " at byte " +
                std::to_string(start));
  const long long valueStart = StreamOffset(stream_);
  if (element.declaredLength != kUndefinedLength && element.group != 0xFFFE &&
      !(tag == 0x7FE00010u && depth_ == 0) &&
      static_cast<long long>(element.declaredLength) > size_ - valueStart)
    return Fail("the element " + TagText(tag) + " at byte " + std::to_string(start) + " claims " +
                std::to_string(element.declaredLength) + " bytes, past the end of the file");

  const bool undefined = element.declaredLength == kUndefinedLength;
  auto endOfValue = [&]() {
    return undefined ? -1LL
                     : StreamOffset(stream_) + static_cast<long long>(element.declaredLength);
  };
  if (element.group == 0xFFFE) {
    if (element.element == 0xE000) {
      if (depth_ > 0 && open_[depth_ - 1].kind == Kind::kFragments) {
        element.length = SkippableLength(element.declaredLength);
      } else {
        Open(Kind::kItem, endOfValue(), implicitHere);
      }
    } else if (element.element == 0xE00D) {
      CloseThrough(Kind::kItem);
    } else if (element.element == 0xE0DD) {
      if (depth_ > 0 && open_[depth_ - 1].kind == Kind::kItem)
        return Fail("a Sequence Delimitation Item (FFFE,E0DD) at byte " + std::to_string(start) +
                    " closes an item, which only an Item Delimitation Item (FFFE,E00D) closes");
      CloseThrough(Kind::kSequence);
    }
  } else if (element.vr == kVrSQ) {
    Open(Kind::kSequence, endOfValue(), implicitHere, tag);
  } else if (element.vr == kVrUN && (undefined || element.entry.vr == kVrSQ)) {
    // A sequence forwarded as UN: its contents are implicit VR little endian.
    element.length = 0;
    Open(Kind::kSequence, endOfValue(), true, tag);
  } else if (undefined) {
    // Encapsulated pixel data hold fragments, which are skipped; any other
    // undefined length (a private sequence in implicit VR) holds items.
    bool pixels = element.vr == kVrOB || element.vr == kVrOW ||
                  (element.group == 0x7FE0 && element.element == 0x0010);
    Open(pixels ? Kind::kFragments : Kind::kSequence, -1, implicitHere, tag);
  }
  if (tooDeep_) return Fail("sequences nested too deep to walk");
  return 1;
}

int DatasetWalk::WalkPastPixelData(DicomElement element) {
  const long long first = elementStart_;
  for (;;) {
    SkipElementValue(stream_, element);
    if (Next(element) != 1) {
      failure_.clear();
      return 1;
    }
    if (element.group == 0x7FE0 && element.element == 0x0010 && AtTopLevel())
      return Fail("a second Pixel Data (7FE0,0010) at byte " + std::to_string(elementStart_) +
                  ", after the one at byte " + std::to_string(first));
  }
}
