// One study in memory: its record, its frames and what the scan of its file
// found. A value its holder owns (the window, a conversion, a test): two
// Studies share nothing, so a load into one never touches another.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "model/scan_findings.h"
#include "model/study_state.h"
#include "platform/file_identity.h"

class PageBuffer;

// Room for kStoreGates gates of kStoreFramesPerGate frames of 64 x 64 signed
// counts, gate-major: frame f of gate g begins at FrameSlotIndex(g, f). The
// 8 MiB come from the system's pages, zero-filled and touched only as
// frames land, aligned for huge pages. Held() is false when the system had
// no memory for them; then there is nothing to read or write.
class FrameStore {
 public:
  FrameStore();
  ~FrameStore();
  FrameStore(const FrameStore&) = delete;
  FrameStore& operator=(const FrameStore&) = delete;

  bool Held() const { return values_ != nullptr; }
  std::int16_t* data() { return values_; }
  const std::int16_t* data() const { return values_; }
  std::int16_t* begin() { return values_; }
  std::int16_t* end() { return values_ + (values_ ? kStoreValues : 0); }
  const std::int16_t* begin() const { return values_; }
  const std::int16_t* end() const { return values_ + (values_ ? kStoreValues : 0); }
  // The first value of frame f of gate g.
  std::int16_t* Slot(int gate, int frame) { return values_ + FrameSlotIndex(gate, frame); }
  const std::int16_t* Slot(int gate, int frame) const {
    return values_ + FrameSlotIndex(gate, frame);
  }

 private:
  std::unique_ptr<PageBuffer> pages_;
  std::int16_t* values_ = nullptr;
};

struct Study {
  TStudyRecord record{};  // the StudyRecord: what the GSD header says
  FrameStore frames;
  ScanFindings found;  // of the last scan of a load into this study
  // Values per row and rows per frame of the frames read; both 64 after a
  // 128-column study was binned. Set once a load reads frames.
  std::int16_t workMatrixColumns = 0;
  std::int16_t workMatrixRows = 0;
  // The file the load read, as the open stream saw it, and its name: the
  // writer refuses to replace that very file, whatever name leads to it
  // when the output is opened.
  std::optional<FileIdentity> source;
  std::string sourceName;
};
