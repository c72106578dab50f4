#include "cli/folder_mode.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <set>
#include <thread>

#include "output/name_template.h"
#include "platform/placeholder_file.h"
#include "platform/terminal.h"
#include "process/child_process.h"
#include "process/conversion_log.h"
#include "process/converter_outcome.h"
#include "process/terminal_text.h"
#include "scan/study_table.h"
#include "scan/tree_scan.h"
#include "status/converter_status.h"

namespace {

constexpr std::size_t kOutputLimit = 64 * 1024;

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Where the run stands, on stderr: one line redrawn on a terminal, plain
// lines for a log file or a pipe.
class Progress {
 public:
  Progress() : terminal_(IsTerminal(StandardStream::kError)), start_(Clock::now()) {}

  void Scanned(long long files, std::size_t studies) {
    if (!terminal_ || (files % 16 != 0)) return;
    Redraw("scanned " + std::to_string(files) + " files, " + std::to_string(studies) +
           " NM studies");
  }
  void ScanDone(long long files, std::size_t studies) {
    Line("scanned " + std::to_string(files) + " files, " + std::to_string(studies) + " NM studies");
  }
  void StartConverting() { start_ = Clock::now(); }
  // A conversion ended: its own line off a terminal, the counts on one.
  void Converted(std::size_t done, std::size_t total, const std::string& line) {
    if (!terminal_) return Line(line);
    const double seconds = SecondsSince(start_);
    const double rate = seconds > 0 ? done / seconds : 0;
    char text[160];
    std::snprintf(text, sizeof text, "converted %zu/%zu studies, %.1f/s, %.0f s left", done, total,
                  rate, rate > 0 ? (total - done) / rate : 0.0);
    Redraw(text);
  }
  // text may hold paths and a child's words: shown without controls.
  void Line(const std::string& text) {
    Clear();
    std::fprintf(stderr, "dicom2gsd: %s\n", TerminalText(text).c_str());
  }
  // The line redrawn goes, so that stdout's table starts on a line of its own.
  void Clear() {
    if (drawn_) std::fputs("\r\033[K", stderr);
    std::fflush(stderr);
    drawn_ = false;
  }

 private:
  void Redraw(const std::string& text) {
    std::fprintf(stderr, "\r\033[K%s", text.c_str());
    std::fflush(stderr);
    drawn_ = true;
  }
  bool terminal_;
  bool drawn_ = false;
  Clock::time_point start_;
};

struct Conversion {
  std::string outcome;  // converted, declined, failed, short, no-memory
  std::string output, reason;
  int status = 0;  // the exit status it contributes
  // As the child measured them: the gate farthest from the mean (1-based,
  // 0: none) with its per cent, and why the gating looks irregular.
  int worstGate = 0, worstGatePercent = 0;
  std::string gating;
};

NameFields FieldsOf(const StudyFacts& study) {
  return {study.patientId, study.studyDate, study.studyTime, study.sopInstanceUid};
}

Conversion Convert(const StudyFacts& study, const FolderOptions& options,
                   const std::string& converter, std::vector<std::string>& warnings) {
  Conversion result;
  std::string error;
  const std::string name = ReserveOutputName(
      options.out, ExpandNameTemplate(options.nameTemplate, FieldsOf(study)), error);
  if (name.empty()) {
    result.outcome = "failed";
    result.reason = error;
    result.status = 1;
    return result;
  }
  result.output = options.out + "/" + name;
  std::vector<std::string> argv = {converter};
  argv.insert(argv.end(), options.converterOptions.begin(), options.converterOptions.end());
  // The child opens the path again: it converts only the file whose facts
  // named the output, not one swapped in since the scan.
  argv.insert(argv.end(), {"--expect-sop-uid", study.sopInstanceUid, "--expect-patient-id",
                           study.patientId, "--expect-study-uid", study.studyInstanceUid});
  argv.insert(argv.end(),
              {"--outcome-fd", std::to_string(kChildReportFd), "--", study.path, result.output});
  ChildResult run = RunChild(argv, kConverterDeadlineSeconds, kOutputLimit, true);
  const ConverterOutcome outcome = OutcomeOfChild(run, RegularFileSize(result.output) > 0);
  warnings = outcome.warnings;
  result.outcome = outcome.kind;
  result.status = outcome.status;
  result.worstGate = outcome.worstGate;
  result.worstGatePercent = outcome.worstGatePercent;
  result.gating = outcome.gating;
  if (outcome.status == kExitSaved) return result;
  // The placeholder goes; a file the converter began is its own to clean.
  if (RegularFileSize(result.output) == 0) RemoveName(result.output);
  result.output.clear();
  result.reason = outcome.reason;
  return result;
}

// What --dry-run prints: the names the conversions would take, each free
// in the folder and among the others.
int DryRun(const std::vector<StudyFacts>& studies, const FolderOptions& options) {
  std::set<std::string> taken;
  for (const StudyFacts& study : studies) {
    const std::string name = ExpandNameTemplate(options.nameTemplate, FieldsOf(study));
    for (int n = 0; n <= kMaxNameSuffix; ++n) {
      std::string candidate = NameWithSuffix(name, n);
      if (taken.count(candidate) || NameTaken(options.out + "/" + candidate)) continue;
      taken.insert(candidate);
      std::printf("%s\n",
                  TerminalText(study.path + " -> " + options.out + "/" + candidate).c_str());
      break;
    }
  }
  return 0;
}

// Converts every study, one child each, several at once. False when the
// report cannot be opened: nothing is converted then.
bool ConvertAll(const std::vector<StudyFacts>& studies, const FolderOptions& options,
                Progress& progress, std::vector<Conversion>& results) {
  ConversionLog log;
  std::string why;
  if (!options.report.empty() && !log.Open(options.report, why)) {
    progress.Line(options.report + ": cannot open the report: " + why);
    return false;
  }
  const std::string converter = ProgramBeside("dicom2gsd");  // empty: each conversion fails
  results.assign(studies.size(), Conversion());
  std::atomic<std::size_t> next{0};
  std::mutex mutex;
  std::size_t done = 0;
  progress.StartConverting();
  auto work = [&] {
    for (std::size_t i = next++; i < studies.size(); i = next++) {
      const auto start = Clock::now();
      std::vector<std::string> warnings;
      Conversion result = Convert(studies[i], options, converter, warnings);
      ObjectLogEntry entry;
      entry.input = studies[i].path;
      entry.sopInstanceUid = studies[i].sopInstanceUid;
      entry.patientId = studies[i].patientId;
      entry.modality = studies[i].modality;
      entry.outcome = result.outcome;
      entry.warnings = warnings;
      entry.output = result.output;
      entry.message = result.reason;
      entry.convertMs = SecondsSince(start) * 1000;
      entry.beatsKeptPercent = KeptBeatsOf(studies[i]);
      entry.worstGate = result.worstGate;
      entry.worstGatePercent = result.worstGatePercent;
      entry.gating = result.gating;
      if (!options.report.empty()) log.Write(entry);
      std::lock_guard<std::mutex> lock(mutex);
      results[i] = result;
      progress.Converted(
          ++done, studies.size(),
          result.outcome + " " + studies[i].path +
              (result.output.empty() ? ": " + result.reason : " -> " + result.output));
    }
  };
  const int jobs = std::max(1, std::min<int>(options.jobs, static_cast<int>(studies.size())));
  std::vector<std::thread> threads;
  for (int i = 1; i < jobs; ++i) threads.emplace_back(work);
  work();
  for (std::thread& thread : threads) thread.join();
  return true;
}

// The summary on stderr: the counts, each study not converted with its
// reason, and each whose gating looks irregular with its gates. Returns the
// worst status.
int Summarize(const std::vector<StudyFacts>& studies, const std::vector<Conversion>& results,
              Progress& progress) {
  int status = 0;
  std::size_t converted = 0, declined = 0, failed = 0, irregular = 0;
  for (const Conversion& result : results) {
    status = std::max(status, result.status);
    if (result.outcome == "converted")
      ++converted;
    else if (result.outcome == "declined")
      ++declined;
    else
      ++failed;
    if (!result.gating.empty()) ++irregular;
  }
  progress.Line("converted " + std::to_string(converted) + ", declined " +
                std::to_string(declined) + ", failed " + std::to_string(failed) +
                (irregular > 0 ? ", gating irregular " + std::to_string(irregular) : ""));
  for (std::size_t i = 0; i < studies.size(); ++i)
    if (results[i].outcome != "converted")
      std::fprintf(
          stderr, "  %s\n",
          TerminalText(results[i].outcome + ": " + studies[i].path + ": " + results[i].reason)
              .c_str());
  for (std::size_t i = 0; i < studies.size(); ++i)
    if (!results[i].gating.empty())
      std::fprintf(
          stderr, "  %s\n",
          TerminalText("gating irregular: " + studies[i].path + ": " + results[i].gating).c_str());
  return status;
}

}  // namespace

int RunFolderMode(const FolderOptions& options) {
  Progress progress;
  ScanOptions scan;
  scan.acceptNonNm = options.acceptNonNm;
  scan.crossDevices = options.crossDevices;
  scan.progress = [&progress](long long files, std::size_t studies) {
    progress.Scanned(files, studies);
    return true;
  };
  TreeScanResult found = ScanTrees(options.paths, scan);
  for (const std::string& line : found.unreadable) progress.Line(line);
  progress.ScanDone(found.filesRead, found.studies.size());
  SortStudies(found.studies);
  if (options.out.empty() || options.dryRun) {
    // The headers alone: no worst gate, which only a conversion counts.
    std::fputs(FormatStudyTable(found.studies).c_str(), stdout);
    std::fflush(stdout);
    return options.out.empty() ? 0 : DryRun(found.studies, options);
  }
  std::vector<Conversion> results;
  if (!ConvertAll(found.studies, options, progress, results)) return 1;
  // The table once the conversions counted each study's gates.
  progress.Clear();
  std::vector<std::string> worstGates;
  for (const Conversion& result : results)
    worstGates.push_back(WorstGateCell(result.worstGate, result.worstGatePercent));
  std::fputs(FormatStudyTable(found.studies, worstGates).c_str(), stdout);
  std::fflush(stdout);
  return Summarize(found.studies, results, progress);
}
