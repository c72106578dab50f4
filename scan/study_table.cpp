#include "scan/study_table.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <tuple>

#include "core/transfer_syntax.h"
#include "model/gate_curve.h"
#include "process/terminal_text.h"

const char* const kStudyColumns[10] = {"Patient ID", "Name",       "Study date", "Gates x frames",
                                       "Beats kept", "Worst gate", "Matrix",     "Transfer syntax",
                                       "Image Type", "File"};

namespace {

// "92 %"; "-" when the header does not give both counts.
std::string BeatsKept(const StudyFacts& facts) {
  const int kept = KeptBeatsOf(facts);
  return kept < 0 ? "-" : std::to_string(kept) + " %";
}

// Intervals Acquired or Rejected as BeatCounts holds them: -1 when absent.
int BeatCount(long count) {
  return count < 0 ? -1 : static_cast<int>(std::min<long>(count, INT_MAX));
}

}  // namespace

int KeptBeatsOf(const StudyFacts& facts) {
  BeatCounts beats;
  beats.acquired = BeatCount(facts.intervalsAcquired);
  beats.rejected = BeatCount(facts.intervalsRejected);
  const double kept = KeptBeatsPercent(beats);
  return kept < 0 ? -1 : static_cast<int>(std::lround(kept));
}

std::string WorstGateCell(int gate, int percent) {
  if (gate <= 0) return "-";
  return std::to_string(gate) + " (" + SignedPercent(percent) + ")";
}

void SortStudies(std::vector<StudyFacts>& studies) {
  std::stable_sort(studies.begin(), studies.end(), [](const StudyFacts& a, const StudyFacts& b) {
    return std::make_tuple(!a.gated, a.patientId, a.studyDate, a.path) <
           std::make_tuple(!b.gated, b.patientId, b.studyDate, b.path);
  });
}

std::vector<std::string> StudyCells(const StudyFacts& facts, const std::string& worstGate) {
  // The name alone keeps the table narrow; an unnamed syntax shows its UID.
  const char* name = FindTransferSyntax(facts.transferSyntax).name;
  std::string syntax = name != nullptr && *name != '\0' ? name : facts.transferSyntax;
  return {TerminalText(facts.patientId),
          TerminalText(facts.patientName),
          TerminalText(facts.studyDate),
          std::to_string(facts.gates) + " x " + std::to_string(facts.framesPerGate),
          BeatsKept(facts),
          worstGate,
          std::to_string(facts.rows) + " x " + std::to_string(facts.columns),
          TerminalText(syntax),
          TerminalText(facts.imageType),
          TerminalText(facts.path)};
}

std::string FormatStudyTable(const std::vector<StudyFacts>& studies,
                             const std::vector<std::string>& worstGates) {
  std::vector<std::vector<std::string>> rows;
  rows.emplace_back(std::begin(kStudyColumns), std::end(kStudyColumns));
  for (std::size_t i = 0; i < studies.size(); ++i)
    rows.push_back(StudyCells(studies[i], i < worstGates.size() ? worstGates[i] : "-"));
  std::vector<std::size_t> widths(rows[0].size(), 0);
  for (const auto& row : rows)
    for (std::size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], row[i].size());
  std::string text;
  for (const auto& row : rows) {
    std::string line;
    for (std::size_t i = 0; i < row.size(); ++i) {
      line += row[i];
      if (i + 1 < row.size()) line += std::string(widths[i] - row[i].size() + 2, ' ');
    }
    text += line + "\n";
  }
  return text;
}
