#include "helper_client/transcoder.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/child_launcher.h"
#include "platform/file_status.h"
#include "platform/program_folder.h"
#include "status/decoder_status.h"

namespace {

constexpr const char* kHelperName = "dicom-decode";
// The first bytes of the helper's standard error: its one line of reason.
constexpr std::size_t kHelperWordsLimit = 4096;

// Where the helper may be, in order: beside the running program as the kernel
// resolved it, then where the build installs it. Never a name looked up in
// PATH, the current folder or a folder above, where another user could have
// put a program of that name.
std::vector<std::string> HelperCandidates(const DecoderSettings& settings) {
  if (!settings.helperPath.empty()) return {settings.helperPath};
  std::vector<std::string> paths;
  const std::string beside = ProgramBeside(kHelperName);
  if (!beside.empty()) paths.push_back(beside);
#ifdef DGC_DECODER_PATH
  const std::string installed = DGC_DECODER_PATH;
  if (installed[0] == '/' && (paths.empty() || paths[0] != installed)) paths.push_back(installed);
#endif
  return paths;
}

// The first candidate that is a file, or empty with the reason.
std::string HelperPath(const DecoderSettings& settings, std::string& reason) {
  std::vector<std::string> candidates = HelperCandidates(settings);
  std::string looked;
  for (const std::string& path : candidates) {
    FileStatus status;
    if (StatusOfPath(path, true, status) == 0 && status.type == FileType::kRegular) return path;
    looked += (looked.empty() ? "" : ", ") + path;
  }
  reason = looked.empty() ? "the decoder is not installed (no /proc/self/exe to look beside)"
                          : "the decoder is not installed (looked for " + looked + ")";
  return "";
}

// The decoded file as the launcher's sink for the helper's output.
class DecodedFileSink : public ChildOutputSink {
 public:
  DecodedFileSink(DecodedFile& file, std::size_t limit) : file_(file), limit_(limit) {}
  bool Room(char*& at, std::size_t& bytes) override { return file_.Room(limit_, at, bytes); }
  void Took(std::size_t bytes) override { file_.Took(bytes); }

 private:
  DecodedFile& file_;
  std::size_t limit_;
};

std::string WhyNotStarted(const ChildEnd& end, const std::string& path) {
  switch (end.startFailure) {
    case StartFailure::kInput:
      return std::string("cannot read the file again: ") + std::strerror(end.error);
    case StartFailure::kResources:
      return std::string("cannot start the decoder: ") + std::strerror(end.error);
    case StartFailure::kNotAbsolute:
      return "cannot start the decoder " + path + ": not an absolute path";
    case StartFailure::kInChild:
    case StartFailure::kNone:
      break;
  }
  std::string reason = "cannot start the decoder " + path + ": ";
  if (end.step != nullptr) reason += std::string(end.step) + ": ";
  return reason + std::strerror(end.error);
}

std::string HowItEnded(const ChildEnd& end, int timeoutSeconds, const std::string& words) {
  if (end.timedOut)
    return "the decoder did not finish within " + std::to_string(timeoutSeconds) + " s";
  if (end.signal != 0) {
    if (end.cpuLimit) return "the decoder ran out of CPU time";
    if (end.refusedCall)
      return "the decoder was stopped for a system call outside its sandbox (Bad system call)";
    return "the decoder crashed (" + ChildSignalName(end.signal) + ")";
  }
  std::string reason = words;
  while (!reason.empty() && (reason.back() == '\n' || reason.back() == '\r')) reason.pop_back();
  if (reason.empty()) reason = "the decoder failed (status " + std::to_string(end.exitCode) + ")";
  return reason;
}

// The result of a decode from how its helper ended.
DecodeResult Verdict(const ChildEnd& end, const std::string& words, DecodedFile& decoded,
                     int timeoutSeconds, std::string& reason) {
  if (end.cancelled) {
    reason = "cancelled by the operator";
    return DecodeResult::kCancelled;
  }
  if (end.lost) {
    reason = std::string("cannot follow the decoder: ") + std::strerror(end.error);
    return DecodeResult::kFailed;
  }
  if (end.refused) {
    reason = "the decoded file exceeds the memory set aside for it";
    return DecodeResult::kFailed;
  }
  if (!end.timedOut && end.exitCode == kHelperPixelDataShort) {
    reason = "the pixel data end before the last frame";
    return DecodeResult::kPixelDataShort;
  }
  const bool lossy = !end.timedOut && end.exitCode == kHelperDecodedLossy;
  if (lossy) {
    const std::string first = words.substr(0, words.find('\n'));
    decoded.set_lossy(first.empty() ? "a lossy codestream" : first);
  }
  if (!lossy && (end.timedOut || end.exitCode != kHelperDecoded)) {
    reason = HowItEnded(end, timeoutSeconds, words.substr(0, words.find('\n')));
    return DecodeResult::kFailed;
  }
  if (decoded.size() == 0) {
    reason = "the decoder wrote nothing";
    return DecodeResult::kFailed;
  }
  return DecodeResult::kDecoded;
}

}  // namespace

// The first pages take what the limit can need, up to kFirstMapping, so
// that a decode of the size the header declared is read without a move;
// they are address space only until the bytes arrive. Beyond them (a
// deflated data set, whose size nobody knows first, or a wide study), they
// double by remapping, which moves page tables, not bytes.
bool DecodedFile::Grow(std::size_t limit) {
  constexpr std::size_t kHugePage = std::size_t{2} << 20;
  constexpr std::size_t kFirstMapping = std::size_t{64} << 20;
  constexpr std::size_t kChunk = std::size_t{1} << 20;
  const std::size_t capacity = pages_.capacity();
  std::size_t wanted = capacity == 0 ? std::min(limit + kChunk, kFirstMapping) : capacity * 2;
  wanted = std::min(wanted, limit + kChunk);
  wanted = (wanted + kHugePage - 1) / kHugePage * kHugePage;
  return wanted > capacity && pages_.GrowTo(wanted);
}

bool DecodedFile::Room(std::size_t limit, char*& at, std::size_t& bytes) {
  constexpr std::size_t kChunk = std::size_t{1} << 20;
  if (size_ > limit) return false;
  if (pages_.capacity() - size_ < kChunk && !Grow(limit)) return false;
  at = pages_.data() + size_;
  bytes = pages_.capacity() - size_;
  return true;
}

DecodeResult DecodeToRawLittleEndian(std::FILE* input, DecodedFile& decoded, std::string& reason,
                                     const DecodeBudget& budget, const DecoderSettings& settings,
                                     const DecodeWaitCallback& goOn) {
  if (!settings.enabled) {
    reason = "the decoder is switched off";
    return DecodeResult::kFailed;
  }
  const int timeout =
      settings.timeoutSeconds > 0 ? settings.timeoutSeconds : DecoderSettings{}.timeoutSeconds;
  const std::string helper = HelperPath(settings, reason);
  if (helper.empty()) return DecodeResult::kFailed;
  DecodedFileSink output(decoded, budget.decodedBytes);
  TextSink words(kHelperWordsLimit);
  ChildRun run;
  run.argv = {helper};
  if (settings.threads > 0) {
    run.argv.push_back("--threads");
    run.argv.push_back(std::to_string(settings.threads));
  }
  if (settings.libraryDecoders) run.argv.push_back("--library-decoders");
  run.environment.emplace();  // none: the helper needs nothing of ours
  run.input = input;
  run.output = &output;
  run.errors = &words;
  run.addressSpaceLimit = budget.helperMemory;
  run.deadlineMilliseconds = 1000LL * timeout;
  run.goOn = goOn;
  run.waitForOutputEnd = true;
  // Where the system confines a child from its start (Windows), it does;
  // the helper then confines itself further.
  run.confined = true;
  const ChildEnd end = RunChildProgram(run);
  if (end.startFailure != StartFailure::kNone) {
    reason = WhyNotStarted(end, helper);
    return DecodeResult::kFailed;
  }
  return Verdict(end, words.text(), decoded, timeout, reason);
}
