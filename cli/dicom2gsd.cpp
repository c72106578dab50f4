// Headless DICOM to GSD conversion for scripts and pipelines. It stores the
// same record as the window's batch-mode Save when the operator changes
// nothing but what the options give: load, fill the form, store it, write.
// Where the window asks for a sex the file does not give, it writes F and
// says so.
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <thread>

#include "cli/folder_mode.h"
#include "core/gated_loader.h"
#include "form/patient_identity.h"
#include "form/study_form.h"
#include "gsd/gsd_writer.h"
#include "model/gate_curve.h"
#include "model/study.h"
#include "model/value_text.h"
#include "output/name_template.h"
#include "platform/descriptor.h"
#include "platform/file_status.h"
#include "platform/input_file.h"
#include "platform/program_start.h"
#include "platform/report_descriptor.h"
#include "process/converter_outcome.h"
#include "process/terminal_text.h"
#include "scan/study_facts.h"

namespace {

// ParseOptions' answer when the conversion is to run.
constexpr int kConvert = -1;

const char* const kUsage =
    "usage: dicom2gsd [--base-to-apex] [--height CM] [--weight KG] [--sex M|F]\n"
    "                 [--comment TEXT] [--accept-non-nm] [--accept-projections]\n"
    "                 [--expect-sop-uid UID] [--expect-patient-id ID]\n"
    "                 [--expect-study-uid UID] [--outcome-fd N] INPUT OUTPUT\n"
    "       dicom2gsd --scan [--cross-devices] [--out DIR [--name TEMPLATE] [--jobs N]\n"
    "                 [--dry-run] [--report FILE.jsonl] [OPTIONS...]] PATH...\n"
    "\n"
    "Converts one gated SPECT DICOM file (modality NM) into a Gated SPECT Data\n"
    "file. 128 x 128 studies are binned to 64 x 64.\n"
    "\n"
    "  --scan           list the NM studies in folders (recursively), DICOMDIRs and\n"
    "                   files, gated ones first, reading headers only; with --out\n"
    "                   the table follows the conversions with each worst gate\n"
    "  --cross-devices  enter folders on other file systems (mounts) below a PATH\n"
    "  --out DIR        and convert each into DIR, never replacing a file there\n"
    "  --name TEMPLATE  output names: %i Patient ID, %d Study Date, %t Study Time,\n"
    "                   %u end of the SOP Instance UID, %% '%' (default %i_%d_%t_%u.gsd)\n"
    "  --jobs N         conversions at once (default: one per core)\n"
    "  --dry-run        print what would be written, write nothing\n"
    "  --report FILE    append one JSON line per study converted\n"
    "\n"
    "  --base-to-apex   write each gate's frames first to last (default: last to first)\n"
    "  --height CM      patient height, 0 or more; written when above 30\n"
    "  --weight KG      patient weight, 0 or more; written when above 3\n"
    "  --sex M|F        patient sex, instead of the file's; a file without M or F\n"
    "                   in Patient's Sex is written F with a warning\n"
    "  --comment TEXT   comment line (at most 79 characters kept)\n"
    "  --accept-non-nm  convert a file whose modality is not NM instead of declining it\n"
    "  --accept-projections\n"
    "                   convert projections or planar images (Image Type GATED TOMO,\n"
    "                   TOMO, GATED, STATIC, DYNAMIC, WHOLE BODY) instead of declining\n"
    "  --expect-sop-uid UID, --expect-patient-id ID, --expect-study-uid UID\n"
    "                   refuse INPUT unless its SOP Instance UID, Patient ID or Study\n"
    "                   Instance UID is this (what a scan read before)\n"
    "  --gating-tolerance PERCENT\n"
    "                   warn when a gate's total counts differ from the mean of all\n"
    "                   gates by more than PERCENT (default 15); never refuses\n"
    "  --library-decoders\n"
    "                   decode JPEG lossless and JPEG-LS frames with the codec\n"
    "                   libraries only, not the decoder helper's own decoders\n"
    "  --outcome-fd N   when done, write one JSON line on descriptor N: status, kind\n"
    "                   (converted, declined, failed, short, no-memory), reason,\n"
    "                   warnings, output; for a gated study worstGate and\n"
    "                   worstGatePercent, and gating when it looks irregular\n"
    "\n"
    "Exit status: 0 written, 1 load failed or declined or cannot write,\n"
    "4 pixel data too short, 8 no memory, 2 usage error; with --scan the\n"
    "worst of the conversions.\n";

struct Options {
  bool baseToApex = false;
  bool acceptNonNm = false;
  bool acceptProjections = false;
  bool libraryDecoders = false;
  std::string height = "0", weight = "0", comment;
  FormSex sex = FormSex::kUnknown;  // unknown: the file's
  const char* input = nullptr;
  const char* output = nullptr;
  bool scan = false;
  bool named = false;  // --name given: the folder mode's alone
  // --expect-*: what INPUT must hold; absent when not given.
  std::optional<std::string> sopUid, patientId, studyUid;
  int outcomeFd = -1;                              // --outcome-fd; -1 when not given
  double gatingTolerance = kGateTolerancePercent;  // --gating-tolerance
  FolderOptions folder;  // folder.paths: every path given, INPUT and OUTPUT without --scan
};

// One line on stderr: paths and DICOM values may hold anything, but no
// control reaches the terminal.
void Say(const std::string& text) {
  std::fprintf(stderr, "dicom2gsd: %s\n", TerminalText(text).c_str());
}

int UsageError(const std::string& message) {
  Say(message);
  std::fputs(kUsage, stderr);
  return kExitUsage;
}

// What the conversion came to, for --outcome-fd.
ConverterOutcome Outcome;

// The one conversion's input and output, as its messages and outcome name
// them. Paths hold any length: a path is never cut.
std::string InputPath;
std::string OutputPath;

// Says why INPUT was not converted, on stderr and in the outcome; returns
// status. kind: declined, or else what the status means.
int Refuse(int status, const std::string& why, const char* kind = nullptr) {
  Say(InputPath + ": " + why);
  Outcome.reason = TerminalText(why);
  Outcome.kind = kind != nullptr ? kind : OutcomeOfExit(status);
  return status;
}

// A caveat of INPUT's conversion, on stderr and in the outcome.
void Warn(const std::string& why) {
  const std::string text = InputPath + ": " + why;
  Say("warning: " + text);
  Outcome.warnings.push_back(TerminalText(text));
}

// Writes the outcome line on fd, once the conversion ended with status. A
// descriptor that fails leaves the caller with the exit status alone.
void TellOutcome(int fd, int status) {
  Outcome.status = status;
  if (status == kExitSaved) {
    Outcome.reason.clear();
    Outcome.output = OutputPath;
  }
  if (status == kExitSaved || Outcome.kind.empty()) Outcome.kind = OutcomeOfExit(status);
  WriteWhole(fd, FormatOutcomeLine(Outcome));
}

// Checks the folder mode's options. Returns kConvert when they are good.
int FolderModeOptions(Options& options) {
  FolderOptions& folder = options.folder;
  if (folder.paths.empty()) return UsageError("--scan needs a folder, DICOMDIR or file");
  if ((folder.dryRun || !folder.report.empty()) && folder.out.empty())
    return UsageError("--dry-run and --report go with --out");
  if ((options.named || folder.jobs != 0) && folder.out.empty())
    return UsageError("--name and --jobs go with --out");
  if (options.sopUid || options.patientId || options.studyUid)
    return UsageError(
        "--expect-sop-uid, --expect-patient-id and --expect-study-uid go without --scan");
  if (options.outcomeFd >= 0) return UsageError("--outcome-fd goes without --scan");
  if (folder.jobs == 0)
    folder.jobs = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  folder.acceptNonNm = options.acceptNonNm;
  return kConvert;
}

// Each option and what it does. value is the next argument for an option
// that takes one, nullptr when there is none. Returns kConvert, or a usage
// error's exit code. A forwarded option is one of the single-file mode's
// that the folder mode passes, as given, to each conversion.
struct OptionRow {
  const char* name;
  bool takesValue;
  int (*apply)(const std::string& arg, const char* value, Options& options);
  bool forwarded = false;
};
constexpr bool kForwarded = true;

int ApplyMeasure(const std::string& arg, const char* value, Options& options) {
  if (value == nullptr) return UsageError(arg + " needs a value");
  std::string& into = arg == "--height" ? options.height : options.weight;
  into = value;
  std::optional<double> number = ParseFormFloat(into);
  // The record holds height and weight as 32-bit floats.
  if (!number || !std::isfinite(static_cast<float>(*number)))
    return UsageError(arg + " '" + into + "' is not a finite number");
  if (*number < 0) return UsageError(arg + " '" + into + "' is negative (0 leaves it out)");
  const bool height = arg == "--height";
  const double least = height ? kLeastHeightCm : kLeastWeightKg;
  const double most = height ? kMostHeightCm : kMostWeightKg;
  if (*number != 0 && (*number < least || *number > most))
    return UsageError(arg + " '" + into + "' is no patient's: " + FormatFormFloat(least) + " to " +
                      FormatFormFloat(most) + (height ? " cm" : " kg") + ", or 0 to leave it out");
  return kConvert;
}

int ApplySex(const std::string&, const char* value, Options& options) {
  if (value == nullptr) return UsageError("--sex needs a value");
  const std::string sex = value;
  if (sex != "M" && sex != "F") return UsageError("--sex '" + sex + "' is not M or F");
  options.sex = sex == "M" ? FormSex::kMale : FormSex::kFemale;
  return kConvert;
}

int ApplyComment(const std::string&, const char* value, Options& options) {
  if (value == nullptr) return UsageError("--comment needs a value");
  options.comment = value;
  return kConvert;
}

int ApplyFolderPath(const std::string& arg, const char* value, Options& options) {
  std::string& into = arg == "--out" ? options.folder.out : options.folder.report;
  if (value != nullptr) into = value;
  if (value == nullptr || into.empty()) return UsageError(arg + " needs a value");
  return kConvert;
}

int ApplyName(const std::string&, const char* value, Options& options) {
  if (value == nullptr) return UsageError("--name needs a value");
  options.folder.nameTemplate = value;
  options.named = true;
  std::string why = NameTemplateError(options.folder.nameTemplate);
  if (!why.empty()) return UsageError("--name: " + why);
  return kConvert;
}

int ApplyExpected(const std::string& arg, const char* value, Options& options) {
  if (value == nullptr) return UsageError(arg + " needs a value");
  (arg == "--expect-sop-uid"      ? options.sopUid
   : arg == "--expect-patient-id" ? options.patientId
                                  : options.studyUid) = value;
  return kConvert;
}

int ApplyOutcomeFd(const std::string&, const char* value, Options& options) {
  const std::optional<std::int32_t> fd =
      value != nullptr ? ParseStrictInteger(value) : std::nullopt;
  // Kept from the decoder helper this process may start.
  if (!fd || !TakeInheritedDescriptor(*fd))
    return UsageError("--outcome-fd needs an open descriptor's number");
  options.outcomeFd = *fd;
  return kConvert;
}

int ApplyGatingTolerance(const std::string&, const char* value, Options& options) {
  const std::optional<double> percent = value != nullptr ? ParseStrictDecimal(value) : std::nullopt;
  if (!percent || *percent <= 0 || *percent > 1000)
    return UsageError("--gating-tolerance needs a per cent above 0, at most 1000");
  options.gatingTolerance = *percent;
  return kConvert;
}

int ApplyJobs(const std::string&, const char* value, Options& options) {
  const std::string jobs = value == nullptr ? "" : value;
  char* end = nullptr;
  long n = value != nullptr ? std::strtol(jobs.c_str(), &end, 10) : 0;
  if (jobs.empty() || *end != '\0' || n < 1 || n > 256)
    return UsageError("--jobs needs a number from 1 to 256");
  options.folder.jobs = static_cast<int>(n);
  return kConvert;
}

const OptionRow kOptionRows[] = {
    {"--base-to-apex", false,
     [](const std::string&, const char*, Options& o) {
       o.baseToApex = true;
       return kConvert;
     },
     kForwarded},
    {"--accept-non-nm", false,
     [](const std::string&, const char*, Options& o) {
       o.acceptNonNm = true;
       return kConvert;
     },
     kForwarded},
    {"--accept-projections", false,
     [](const std::string&, const char*, Options& o) {
       o.acceptProjections = true;
       return kConvert;
     },
     kForwarded},
    {"--library-decoders", false,
     [](const std::string&, const char*, Options& o) {
       o.libraryDecoders = true;
       return kConvert;
     },
     kForwarded},
    {"--scan", false,
     [](const std::string&, const char*, Options& o) {
       o.scan = true;
       return kConvert;
     }},
    {"--dry-run", false,
     [](const std::string&, const char*, Options& o) {
       o.folder.dryRun = true;
       return kConvert;
     }},
    {"--cross-devices", false,
     [](const std::string&, const char*, Options& o) {
       o.folder.crossDevices = true;
       return kConvert;
     }},
    {"--expect-sop-uid", true, ApplyExpected},
    {"--expect-patient-id", true, ApplyExpected},
    {"--expect-study-uid", true, ApplyExpected},
    {"--height", true, ApplyMeasure, kForwarded},
    {"--weight", true, ApplyMeasure, kForwarded},
    {"--sex", true, ApplySex, kForwarded},
    {"--comment", true, ApplyComment, kForwarded},
    {"--gating-tolerance", true, ApplyGatingTolerance, kForwarded},
    {"--out", true, ApplyFolderPath},
    {"--report", true, ApplyFolderPath},
    {"--name", true, ApplyName},
    {"--jobs", true, ApplyJobs},
    {"--outcome-fd", true, ApplyOutcomeFd},
};

// The single-file mode's INPUT and OUTPUT, once no folder option was given.
int SingleFileOptions(Options& options) {
  if (!options.folder.out.empty() || !options.folder.report.empty() || options.folder.dryRun ||
      options.folder.jobs != 0 || options.named || options.folder.crossDevices)
    return UsageError(
        "--out, --name, --jobs, --dry-run, --report and --cross-devices go with --scan");
  if (options.folder.paths.size() > 2) return UsageError("too many arguments");
  if (options.folder.paths.size() != 2) return UsageError("an INPUT and an OUTPUT path are needed");
  options.input = options.folder.paths[0].c_str();
  options.output = options.folder.paths[1].c_str();
  return kConvert;
}

// Returns kConvert when the options are good, else the exit code.
int ParseOptions(int argc, char** argv, Options& options) {
  bool optionsEnd = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (optionsEnd || arg.size() <= 1 || arg[0] != '-') {
      // --scan may come after its paths: they are sorted out below.
      options.folder.paths.push_back(argv[i]);
    } else if (arg == "--") {
      optionsEnd = true;
    } else if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (arg == "--version") {
      std::printf("dicom2gsd %s\n", DGC_VERSION);
      return 0;
    } else {
      const OptionRow* row = nullptr;
      for (const OptionRow& candidate : kOptionRows)
        if (arg == candidate.name) row = &candidate;
      if (row == nullptr) return UsageError("unknown option " + arg);
      const char* value = row->takesValue && i + 1 < argc ? argv[++i] : nullptr;
      const int applied = row->apply(arg, value, options);
      if (applied != kConvert) return applied;
      if (row->forwarded) {
        options.folder.converterOptions.push_back(arg);
        if (value != nullptr) options.folder.converterOptions.push_back(value);
      }
    }
  }
  return options.scan ? FolderModeOptions(options) : SingleFileOptions(options);
}

// The DICOM attribute (or option) behind a form field, for a script's reader.
const char* AttributeOfField(FormField field) {
  switch (field) {
    case FormField::kHeartRate:
      return "Heart Rate (0018,1088)";
    case FormField::kPixelSize:
      return "Pixel Spacing (0028,0030)";
    case FormField::kThickness:
      return "Slice Thickness (0018,0050)";
    case FormField::kHeight:
      return "--height";
    case FormField::kWeight:
      return "--weight";
    case FormField::kGates:
      return "Number of Time Slots (0054,0071)";
    case FormField::kFrames:
      return "Number of Frames (0028,0008)";
    case FormField::kSex:
      return "--sex";
  }
  return "";
}

// The folder mode, once --out is known to be a folder.
int RunScan(const Options& options) {
  FileStatus out;
  if (!options.folder.out.empty() &&
      (StatusOfPath(options.folder.out, true, out) != 0 || out.type != FileType::kFolder)) {
    Say(options.folder.out + ": not a folder");
    return kGsdNotWritten;
  }
  return RunFolderMode(options.folder);
}

// Loads INPUT with the options' answers to the questions; says why on
// failure and prints each caveat. Returns the load's result.
int LoadInput(const Options& options, const std::string& path, Study& study) {
  LoadOptions load;
  load.decoder.libraryDecoders = options.libraryDecoders;
  load.gatingTolerancePercent = options.gatingTolerance;
  load.ask = [&options](const OperatorQuestion& question) {
    return question.kind == QuestionKind::kNonNmModality ? options.acceptNonNm
                                                         : options.acceptProjections;
  };
  LoadReport report;
  int loaded = LoadGatedStudy(path.c_str(), study, load, report);
  if (loaded != kLoadOk) {
    // A refusal that an option would turn into a conversion names it.
    const char* option = report.failure == LoadFailure::kNotReconstructedDeclined
                             ? kDeclinedProjectionsHint
                         : report.failure == LoadFailure::kModalityDeclined ? kDeclinedNonNmHint
                                                                            : "";
    return Refuse(loaded, report.FailureText(loaded) + option,
                  *option ? kOutcomeDeclined : nullptr);
  }
  // What changes of the patient's identity comes first, as in the window.
  CutIdentityToWholeCharacters(study.record, study.found, report.characterSet);
  for (const std::string& caveat : IdentityCaveats(study.record, study.found, report.characterSet))
    Warn(caveat);
  for (const std::string& warning : report.warnings) Warn(warning);
  // The folder mode's table and summary take the gating from here: the
  // loader's own curve, at this conversion's tolerance.
  const GateCurve& curve = report.gateCurve;
  if (curve.Gated() && curve.mean > 0) {
    const int worst = curve.WorstGate();
    Outcome.worstGate = worst + 1;
    Outcome.worstGatePercent =
        static_cast<int>(std::lround(curve.percentFromMean[static_cast<std::size_t>(worst)]));
  }
  Outcome.gating = GatingFlag(curve, study.found.beats, options.gatingTolerance);
  return kLoadOk;
}

// The form as the window would show it, with what the options give.
StudyFormTexts FormWithOptions(const Options& options, const TStudyRecord& record) {
  StudyFormTexts texts;
  FillFormTexts(record, texts);
  texts.height = options.height;
  texts.weight = options.weight;
  texts.comment = options.comment;
  if (options.sex != FormSex::kUnknown) {
    texts.sex = options.sex;
  } else if (texts.sex == FormSex::kUnknown) {
    // A script has no one to ask, and the GSD header needs M or F.
    texts.sex = FormSex::kFemale;
    Warn(
        "the file gives no usable Patient's Sex (0010,0040), absent or neither M nor F: F is "
        "written; --sex M|F sets it");
  }
  return texts;
}

// Stores the form into the record and writes OUTPUT. Returns the exit code.
int StoreAndWrite(const StudyFormTexts& texts, const Options& options, Study& study) {
  if (auto error = StoreFormTexts(texts, study.record)) {
    // Only a header value that the form cannot show back can fail here.
    return Refuse(kGsdNotWritten, std::string(AttributeOfField(error->field)) + " holds '" +
                                      error->text + "', not a number");
  }
  std::string error;
  if (OutputIsTheInput(OutputPath.c_str(), study, error) ||
      WriteGsdFile(OutputPath.c_str(), study, options.baseToApex, error) != kGsdWritten) {
    Say(OutputPath + ": cannot write: " + error);
    Outcome.reason = TerminalText(OutputPath + ": cannot write: " + error);
    Outcome.kind = OutcomeOfExit(kGsdNotWritten);
    return kGsdNotWritten;
  }
  return kExitSaved;
}

// With --expect-*: opens INPUT once, checks that it holds what a scan read
// before (another user may have swapped the file since), and gives the
// name that loads that very open file. Returns kConvert, or the exit code
// after saying why.
int CheckExpected(const Options& options, UniqueFd& held, std::string& loadPath) {
  FileStatus info;
  const int opened = OpenRegularFile(InputPath, held, info);
  if (opened == kNotRegularFile) {
    return Refuse(kLoadFailed, "is not a regular file");
  }
  if (opened != 0) {
    return Refuse(kLoadFailed, std::strerror(opened));
  }
  StudyFacts facts;
  std::string error;
  if (ReadStudyFacts(held.get(), InputPath, facts, error) != FactsResult::kStudy) {
    return Refuse(kLoadFailed, error.empty() ? "not a DICOM file" : error);
  }
  const struct {
    const std::optional<std::string>& expected;
    const std::string& found;
    const char* attribute;
  } checks[] = {{options.sopUid, facts.sopInstanceUid, "SOP Instance UID (0008,0018)"},
                {options.patientId, facts.patientId, "Patient ID (0010,0020)"},
                {options.studyUid, facts.studyInstanceUid, "Study Instance UID (0020,000D)"}};
  for (const auto& check : checks) {
    if (!check.expected || *check.expected == check.found) continue;
    return Refuse(kLoadFailed, std::string("the file changed since it was scanned: its ") +
                                   check.attribute + " is '" + check.found + "', not '" +
                                   *check.expected + "'; not converted");
  }
  // The loader opens by name: the descriptor's own name is the file checked.
  loadPath = NameOfOpenFile(held.get());
  return kConvert;
}

// Converts INPUT into OUTPUT. Returns the exit status.
int ConvertOne(const Options& options) {
  InputPath = options.input;
  OutputPath = options.output;
  std::string loadPath = InputPath;
  UniqueFd held;
  if (options.sopUid || options.patientId || options.studyUid) {
    const int checked = CheckExpected(options, held, loadPath);
    if (checked != kConvert) return checked;
  }
  Study study;
  int loaded = LoadInput(options, loadPath, study);
  held.Reset();
  if (loaded != kLoadOk) return loaded;
  study.sourceName = InputPath;  // the name the caller gave, not the held file's
  return StoreAndWrite(FormWithOptions(options, study.record), options, study);
}

}  // namespace

int main(int argc, char** argv) {
  StartProgram(argc, argv);
  Options options;
  int parsed = ParseOptions(argc, argv, options);
  if (parsed != kConvert) return parsed;
  if (options.scan) return RunScan(options);
  const int status = ConvertOne(options);
  if (options.outcomeFd >= 0) TellOutcome(options.outcomeFd, status);
  return status;
}
