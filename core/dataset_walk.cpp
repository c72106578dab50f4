#include "dataset_walk.h"

VrForm FormOfSyntax(const std::string& uid) {
  return uid == "1.2.840.10008.1.2" ? VrForm::kImplicit : VrForm::kExplicit;
}

void DatasetWalk::CloseFinished(long position) {
  // The outermost container whose defined length is used up closes with
  // everything inside it, even a nested one that claims to run further.
  for (int i = 0; i < depth_; ++i) {
    if (open_[i].end >= 0 && position >= open_[i].end) {
      depth_ = i;
      return;
    }
  }
}

void DatasetWalk::Open(Kind kind, long end, bool implicit, std::uint32_t tag) {
  if (depth_ == kMaxDepth) {
    tooDeep_ = true;
    return;
  }
  open_[depth_++] = Container{kind, end, implicit, tag};
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
  CloseFinished(std::ftell(stream_));
  depth_at_element_ = depth_;
  bool implicitHere = InsideImplicit();
  if (ReadElementHeader(stream_, element, implicitHere ? VrForm::kImplicit : form_) != 1) return -1;

  const bool undefined = element.declaredLength == kUndefinedLength;
  const std::uint32_t tag = (std::uint32_t{element.group} << 16) | element.element;
  auto endOfValue = [&]() {
    return undefined ? -1L : std::ftell(stream_) + static_cast<long>(element.declaredLength);
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
      CloseThrough(Kind::kSequence);
    }
  } else if (element.vr == kVrSQ) {
    Open(Kind::kSequence, endOfValue(), implicitHere, tag);
  } else if (element.vr == kVrUN && (undefined || element.entry->vr == kVrSQ)) {
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
  if (tooDeep_) return -1;
  return 1;
}
