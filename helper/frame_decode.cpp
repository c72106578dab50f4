#include "helper/frame_decode.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

#include "core/dataset_walk.h"
#include "core/frame_count.h"
#include "core/transfer_syntax.h"
#include "helper/decode_threads.h"
#include "helper/frame_codecs.h"
#include "platform/memory_stream.h"
#include "platform/pipe_pages.h"
#include "platform/thread_group.h"

namespace {

constexpr std::size_t kPreamble = 128;
constexpr std::size_t kThreadStack = std::size_t{2} << 20;   // codecs need little stack
const char kExplicitLittleEndian[] = "1.2.840.10008.1.2.1";  // 19 characters, NUL-padded to 20

using Decoder = bool (*)(const unsigned char*, std::size_t, const FrameTarget&, std::string&);

std::uint32_t Le16(const unsigned char* b) {
  return std::uint32_t{b[0]} | (std::uint32_t{b[1]} << 8);
}

std::uint32_t Le32(const unsigned char* b) {
  return Le16(b) | (Le16(b + 2) << 16);
}

void PutLe16(std::string& out, std::uint32_t v) {
  out.push_back(static_cast<char>(v & 0xFF));
  out.push_back(static_cast<char>((v >> 8) & 0xFF));
}

void PutLe32(std::string& out, std::uint32_t v) {
  PutLe16(out, v & 0xFFFF);
  PutLe16(out, v >> 16);
}

// VRs whose explicit form has two reserved bytes and a 32-bit length.
bool HasLongLength(const unsigned char* vr) {
  static const char* const kLong[] = {"OB", "OD", "OF", "OL", "OV", "OW", "SQ",
                                      "SV", "UC", "UN", "UR", "UT", "UV"};
  for (const char* v : kLong)
    if (vr[0] == v[0] && vr[1] == v[1]) return true;
  return false;
}

// The codec of each encapsulated syntax this path decodes, from the one
// transfer-syntax table; the others (deflated, big endian, MPEG, HTJ2K, ...)
// stay with GDCM.
Decoder DecoderOf(const std::string& syntax) {
  switch (FindTransferSyntax(syntax).codec) {
    case FrameCodec::kJpeg:
      return DecodeJpegFrame;
    case FrameCodec::kJpegLs:
      return DecodeJpegLsFrame;
    case FrameCodec::kJpeg2000:
      return DecodeJpeg2000Frame;
    case FrameCodec::kRle:
      return DecodeRleFrame;
    case FrameCodec::kByGdcm:
      break;
  }
  return nullptr;
}

std::string Trimmed(const unsigned char* value, std::size_t length) {
  std::string text(reinterpret_cast<const char*>(value), length);
  while (!text.empty() && (text.back() == '\0' || text.back() == ' ')) text.pop_back();
  while (!text.empty() && text.front() == ' ') text.erase(0, 1);
  return text;
}

struct Fragment {
  std::size_t item;  // offset of its item tag from the first fragment's
  const unsigned char* data;
  std::size_t size;
};

struct FrameSpan {
  std::size_t first, count;  // fragments
};

// What the fast path needs of the file.
struct Study {
  Decoder decode = nullptr;
  std::string header;  // preamble, meta group, data set, Pixel Data element header
  long rows = -1, columns = -1, bitsAllocated = -1, samples = 1, frames = 1;
  const unsigned char* offsetTable = nullptr;
  std::size_t offsetTableSize = 0;
  std::vector<Fragment> fragments;
  std::vector<FrameSpan> spans;
};

enum class Parse { kOk, kNotHandled, kFailed, kFramesMissing };

struct Reader {
  const unsigned char* data;
  std::size_t size;
  std::string why;

  Parse Fail(const std::string& words, Parse result = Parse::kFailed) {
    why = words;
    return result;
  }
};

// The meta group: every element copied, the transfer syntax replaced and
// the group length recomputed. Returns the end of the group.
Parse ReadMeta(Reader& r, Study& study, std::size_t& end) {
  const unsigned char* d = r.data;
  if (r.size < kPreamble + 4 || std::memcmp(d + kPreamble, "DICM", 4) != 0)
    return r.Fail("no Part 10 preamble", Parse::kNotHandled);
  std::string meta;
  std::size_t groupLengthAt = std::string::npos;
  std::string syntax;
  std::size_t pos = kPreamble + 4;
  while (pos + 8 <= r.size && Le16(d + pos) == 0x0002) {
    const std::uint32_t element = Le16(d + pos + 2);
    const bool isLong = HasLongLength(d + pos + 4);
    if (isLong && pos + 12 > r.size) break;
    const std::size_t head = isLong ? 12 : 8;
    const std::uint32_t length = isLong ? Le32(d + pos + 8) : Le16(d + pos + 6);
    if (length == kUndefinedLength || length > r.size - pos - head)
      return r.Fail("the meta group does not walk", Parse::kNotHandled);
    if (element == 0x0010) {
      if (isLong) return r.Fail("the transfer syntax is no UI value", Parse::kNotHandled);
      syntax = Trimmed(d + pos + head, length);
      meta.append(reinterpret_cast<const char*>(d + pos), 6);  // tag and VR
      PutLe16(meta, sizeof kExplicitLittleEndian);
      meta.append(kExplicitLittleEndian, sizeof kExplicitLittleEndian);
    } else {
      if (element == 0x0000 && length == 4) groupLengthAt = meta.size() + 8;
      meta.append(reinterpret_cast<const char*>(d + pos), head + length);
    }
    pos += head + length;
  }
  study.decode = DecoderOf(syntax);
  if (study.decode == nullptr) return r.Fail("transfer syntax " + syntax, Parse::kNotHandled);
  if (groupLengthAt != std::string::npos) {
    const std::uint32_t after = static_cast<std::uint32_t>(meta.size() - groupLengthAt - 4);
    std::string value;
    PutLe32(value, after);
    meta.replace(groupLengthAt, 4, value);
  }
  study.header.assign(reinterpret_cast<const char*>(d), kPreamble + 4);
  study.header += meta;
  end = pos;
  return Parse::kOk;
}

bool ReadNumberOfFrames(const unsigned char* value, std::size_t length, long& frames) {
  const std::string text = Trimmed(value, length);
  if (text.empty()) return true;  // empty: one frame
  // As the loader read it before it handed the file over.
  const std::int32_t n = ParseNumberOfFrames(text.c_str());
  if (n < 1 || n > 100000000) return false;
  frames = n;
  return true;
}

struct StreamCloser {
  void operator()(std::FILE* stream) const { std::fclose(stream); }
};

// Walks the data set to the top-level Pixel Data by the converter's own walk
// (dataset_walk.h) over the file as read, so that the two agree on where
// each element stands and refuse the same damage; keeps the image
// attributes of the top level on the way. The walk starts after "DICM", as
// the converter's does; every encapsulated syntax is explicit VR little
// endian (the content of a UN of undefined length implicit).
Parse WalkToPixelData(Reader& r, Study& study, std::size_t& pixelElement) {
  std::unique_ptr<std::FILE, StreamCloser> stream(
      OpenMemoryStream(reinterpret_cast<const char*>(r.data), r.size));
  if (!stream || std::fseek(stream.get(), kPreamble + 4, SEEK_SET) != 0)
    return r.Fail("out of memory");
  DatasetWalk walk(stream.get());
  walk.UseForm(VrForm::kExplicit);
  DicomElement element{};
  for (;;) {
    if (walk.Next(element) != 1)
      return r.Fail(walk.Failure().empty() ? "the data set ends before its Pixel Data"
                                           : walk.Failure());
    const std::uint32_t group = element.group, number = element.element;
    if (walk.AtTopLevel() && group == 0x7FE0 && number == 0x0010) {
      pixelElement = static_cast<std::size_t>(walk.ElementStart());
      const bool encapsulated = (element.vr == kVrOB || element.vr == kVrOW) &&
                                element.declaredLength == kUndefinedLength;
      if (walk.WalkPastPixelData(element) != 1) return r.Fail(walk.Failure());
      if (!encapsulated) return r.Fail("the Pixel Data are not encapsulated", Parse::kNotHandled);
      return Parse::kOk;
    }
    if (walk.AtTopLevel() && group == 0x0028 && element.declaredLength != kUndefinedLength) {
      // The walk has checked that the value lies within the file.
      const unsigned char* value = r.data + std::ftell(stream.get());
      const std::size_t length = static_cast<std::size_t>(element.length);
      const long number16 = length >= 2 ? static_cast<long>(Le16(value)) : -1;
      if (number == 0x0002) study.samples = number16;
      if (number == 0x0010) study.rows = number16;
      if (number == 0x0011) study.columns = number16;
      if (number == 0x0100) study.bitsAllocated = number16;
      if (number == 0x0008 && !ReadNumberOfFrames(value, length, study.frames))
        return r.Fail("Number of Frames is not a number", Parse::kNotHandled);
    }
    SkipElementValue(stream.get(), element);
  }
}

// The fragments after the Basic Offset Table, to the sequence delimiter.
Parse ReadFragments(Reader& r, std::size_t pos, Study& study) {
  const unsigned char* d = r.data;
  auto itemAt = [&](std::size_t at, std::uint32_t element) {
    return at + 8 <= r.size && Le16(d + at) == 0xFFFE && Le16(d + at + 2) == element;
  };
  if (!itemAt(pos, 0xE000)) return r.Fail("the Pixel Data hold no Basic Offset Table item");
  const std::uint32_t tableSize = Le32(d + pos + 4);
  if (tableSize > r.size - pos - 8) return r.Fail("the Basic Offset Table runs past the end");
  study.offsetTable = d + pos + 8;
  study.offsetTableSize = tableSize;
  pos += 8 + tableSize;
  const std::size_t first = pos;
  for (;;) {
    if (itemAt(pos, 0xE0DD)) return Parse::kOk;
    if (!itemAt(pos, 0xE000))
      return r.Fail(pos + 8 > r.size ? "the pixel data end before their sequence delimiter"
                                     : "a fragment item is damaged");
    const std::uint32_t length = Le32(d + pos + 4);
    if (length > r.size - pos - 8) return r.Fail("a fragment runs past the end of the file");
    study.fragments.push_back(Fragment{pos - first, d + pos + 8, length});
    pos += 8 + length;
  }
}

bool StartsAFrame(const Study& study, const Fragment& f) {
  static const unsigned char kJp2[8] = {0x00, 0x00, 0x00, 0x0C, 0x6A, 0x50, 0x20, 0x20};
  if (f.size < 8) return false;
  if (study.decode == DecodeJpeg2000Frame)
    return (f.data[0] == 0xFF && f.data[1] == 0x4F && f.data[2] == 0xFF && f.data[3] == 0x51) ||
           std::memcmp(f.data, kJp2, sizeof kJp2) == 0;
  return f.data[0] == 0xFF && f.data[1] == 0xD8;  // JPEG and JPEG-LS
}

// Which fragments make each frame: one each when they are as many as the
// frames; all of them for a single frame; else the Basic Offset Table's
// frames, or (JPEG and JPEG 2000) a frame at each fragment that starts a
// codestream. A frame without fragments is never made up.
Parse GroupFrames(Reader& r, Study& study) {
  const std::size_t n = study.fragments.size();
  const std::size_t frames = static_cast<std::size_t>(study.frames);
  std::vector<FrameSpan>& spans = study.spans;
  if (n == frames) {
    for (std::size_t i = 0; i < n; ++i) spans.push_back({i, 1});
    return Parse::kOk;
  }
  if (frames == 1 && n > 0) {
    spans.push_back({0, n});
    return Parse::kOk;
  }
  if (study.offsetTableSize == 4 * frames) {
    std::size_t fragment = 0;
    for (std::size_t i = 0; i < frames && fragment <= n; ++i) {
      const std::size_t offset = Le32(study.offsetTable + 4 * i);
      while (fragment < n && study.fragments[fragment].item < offset) ++fragment;
      if (fragment == n || study.fragments[fragment].item != offset) break;
      if (!spans.empty()) spans.back().count = fragment - spans.back().first;
      spans.push_back({fragment, n - fragment});
      ++fragment;
    }
    if (spans.size() == frames) return Parse::kOk;
    spans.clear();
  }
  if (study.decode != DecodeRleFrame) {
    for (std::size_t i = 0; i < n; ++i) {
      if (StartsAFrame(study, study.fragments[i]))
        spans.push_back({i, 1});
      else if (!spans.empty())
        ++spans.back().count;
      else
        return r.Fail("the first fragment starts no codestream");
    }
    if (spans.size() > frames) spans.resize(frames);
  } else if (n > frames) {
    return r.Fail(std::to_string(n) + " RLE fragments for " + std::to_string(frames) + " frames");
  } else {
    for (std::size_t i = 0; i < n; ++i) spans.push_back({i, 1});
  }
  if (spans.size() < frames)
    return r.Fail("the pixel data hold " + std::to_string(spans.size()) + " of the " +
                      std::to_string(frames) + " frames",
                  Parse::kFramesMissing);
  return Parse::kOk;
}

Parse ReadStudy(Reader& r, Study& study) {
  std::size_t dataSet = 0, pixelElement = 0;
  Parse p = ReadMeta(r, study, dataSet);
  if (p == Parse::kOk) p = WalkToPixelData(r, study, pixelElement);
  if (p != Parse::kOk) return p;
  if (pixelElement < dataSet) return r.Fail("the Pixel Data lie in the meta group");
  if (study.samples != 1 || study.bitsAllocated != 16 || study.rows <= 0 || study.columns <= 0)
    return r.Fail("not a 16-bit single-sample image", Parse::kNotHandled);
  const unsigned long long bytes = 2ULL * study.rows * study.columns * study.frames;
  if (bytes >= kUndefinedLength)
    return r.Fail("the pixels exceed what one Pixel Data element holds", Parse::kNotHandled);
  study.header.append(reinterpret_cast<const char*>(r.data + dataSet), pixelElement - dataSet);
  study.header += std::string("\xE0\x7F\x10\x00OW\0\0", 8);
  PutLe32(study.header, static_cast<std::uint32_t>(bytes));
  p = ReadFragments(r, pixelElement + 12, study);
  return p == Parse::kOk ? GroupFrames(r, study) : p;
}

// The pixels, in pages that go into the pipe by reference (pipe_pages.h):
// never handed back to the heap, where a later allocation could overwrite
// pixels the converter has not read yet.
struct Pixels {
  std::uint16_t* words = nullptr;
  std::size_t mapped = 0;
  PipePages pages;
  bool Allocate(std::size_t size) {
    if (!pages.Allocate(size)) return false;
    words = reinterpret_cast<std::uint16_t*>(pages.data());
    mapped = pages.mapped();
    return true;
  }
};

// The frames, the threads that decode them and the writer that waits for
// them in order.
struct Work {
  const Study* study;
  std::uint16_t* pixels;
  std::size_t frameValues;
  std::atomic<std::size_t> next{0};
  std::mutex lock;
  std::condition_variable ready;
  std::vector<char> done;  // under lock
  bool stop = false;       // under lock: a frame failed
  long failedFrame = -1;
  bool damaged = false;  // the failed frame's
  std::string why;
  long lossyFrame = -1;  // the first frame noted lossy, and its words
  std::string lossy;
};

void DecodeFrames(Work& work) {
  const Study& study = *work.study;
  const std::size_t frames = static_cast<std::size_t>(study.frames);  // spans hold as many
  std::vector<unsigned char> joined;  // a frame of several fragments
  for (;;) {
    const std::size_t i = work.next.fetch_add(1);
    if (i >= frames) return;
    {
      // After a failure, frames before the failing one are still decoded,
      // so that the failure named is always the first frame's that fails.
      std::lock_guard<std::mutex> hold(work.lock);
      if (work.stop && (work.failedFrame < 0 || static_cast<long>(i) > work.failedFrame)) return;
    }
    std::string why;
    FrameNotes notes;
    bool ok = false;
    try {
      const FrameSpan& span = study.spans[i];
      const Fragment& first = study.fragments[span.first];
      const unsigned char* data = first.data;
      std::size_t size = first.size;
      if (span.count > 1) {
        joined.clear();
        for (std::size_t f = span.first; f < span.first + span.count; ++f)
          joined.insert(joined.end(), study.fragments[f].data,
                        study.fragments[f].data + study.fragments[f].size);
        data = joined.data();
        size = joined.size();
      }
      const FrameTarget target{work.pixels + i * work.frameValues, static_cast<int>(study.rows),
                               static_cast<int>(study.columns), &notes};
      ok = study.decode(data, size, target, why);
    } catch (const std::bad_alloc&) {
      why = "out of memory";
    } catch (const std::exception& error) {
      why = error.what();
    }
    {
      std::lock_guard<std::mutex> hold(work.lock);
      const long frame = static_cast<long>(i);
      if (ok) {
        work.done[i] = 1;
        if (!notes.lossy.empty() && (work.lossyFrame < 0 || frame < work.lossyFrame)) {
          work.lossyFrame = frame;
          work.lossy = "frame " + std::to_string(i + 1) + ": " + notes.lossy;
        }
      } else if (work.failedFrame < 0 || frame < work.failedFrame) {
        work.failedFrame = frame;
        work.damaged = notes.damaged;
        work.why = "frame " + std::to_string(i + 1) + ": " + why;
        work.stop = true;
      }
    }
    work.ready.notify_all();
  }
}

void DecodeThread(void* argument) {
  DecodeFrames(*static_cast<Work*>(argument));
}

// How far the writer came.
struct Written {
  bool headerOut = false, writeFailed = false;
  std::size_t frames = 0;
};

// The header once the first frame decoded, then each run of decoded frames
// as it completes, in order; stops at the first frame that failed.
Written WriteInOrder(Work& work, const Study& study, const Pixels& pixels, std::size_t frames,
                     std::size_t frameBytes) {
  Written out;
  bool spliceable = true;
  std::unique_lock<std::mutex> hold(work.lock);
  while (out.frames < frames) {
    const std::size_t written = out.frames;
    work.ready.wait(hold, [&] { return work.done[written] != 0 || work.stop; });
    if (work.done[written] == 0) break;
    std::size_t end = written;
    while (end < frames && work.done[end] != 0) ++end;
    hold.unlock();
    // Decoded pixels go into the pipe by reference, not copied: the
    // converter's read is then their only copy. They are never written again.
    const bool ok =
        (out.headerOut || WriteAllToStandardOutput(study.header.data(), study.header.size())) &&
        WritePagesToStandardOutput(
            reinterpret_cast<const char*>(pixels.words) + written * frameBytes,
            (end - written) * frameBytes, spliceable);
    out.headerOut = true;
    hold.lock();
    if (!ok) {
      out.writeFailed = true;
      work.stop = true;
      break;
    }
    out.frames = end;
  }
  return out;
}

}  // namespace

FrameDecodeOutcome DecodeFramesToStandardOutput(const char* data, std::size_t size, int threads,
                                                std::size_t memoryLeft) {
  FrameDecodeOutcome outcome;
  Reader reader{reinterpret_cast<const unsigned char*>(data), size, ""};
  Study study;
  const Parse parsed = ReadStudy(reader, study);
  outcome.why = reader.why;
  if (parsed == Parse::kNotHandled) return outcome;
  if (parsed != Parse::kOk) {
    outcome.result = FrameDecodeOutcome::kFailedBeforeOutput;
    outcome.framesMissing = parsed == Parse::kFramesMissing;
    return outcome;
  }

  const std::size_t frames = static_cast<std::size_t>(study.frames);
  const std::size_t frameValues = static_cast<std::size_t>(study.rows) * study.columns;
  const std::size_t frameBytes = frameValues * 2;
  Pixels pixels;
  if (!pixels.Allocate(frames * frameBytes)) {
    outcome.result = FrameDecodeOutcome::kFailedBeforeOutput;
    outcome.why = "out of memory";
    return outcome;
  }
  Work work;
  work.study = &study;
  work.pixels = pixels.words;
  work.frameValues = frameValues;
  work.done.assign(frames, 0);

  // At most one thread per frame, each with a stack of its own size: each
  // counts in the helper's address space.
  ThreadGroup decoders(DecodeThread, &work);
  const int fit =
      ThreadsThatFit(threads, frames, frameValues, kThreadStack, memoryLeft, pixels.mapped);
  if (decoders.Start(std::min(static_cast<std::size_t>(fit), frames), kThreadStack) == 0)
    DecodeFrames(work);  // no thread to be had: this one decodes
  const Written written = WriteInOrder(work, study, pixels, frames, frameBytes);
  decoders.JoinAll();

  if (written.writeFailed) {
    outcome.result = FrameDecodeOutcome::kWriteFailed;
    outcome.why = "cannot write the decoded file";
  } else if (written.frames == frames) {
    outcome.result = FrameDecodeOutcome::kWritten;
    outcome.lossy = work.lossy;
  } else {
    // By the frame, not by how far the writer came, which depends on the
    // threads' timing: a file fails the same way on every run.
    outcome.result = written.headerOut || work.failedFrame > 0
                         ? FrameDecodeOutcome::kFailedAfterOutput
                         : FrameDecodeOutcome::kFailedBeforeOutput;
    outcome.why = work.why;
    outcome.damaged = work.damaged;
  }
  return outcome;
}
