#include "scan/study_table.h"

#include <algorithm>
#include <tuple>

#include "core/transfer_syntax.h"
#include "process/terminal_text.h"

const char* const kStudyColumns[9] = {"Patient ID",      "Name",       "Study date",
                                      "Gates x frames",  "Beats kept", "Matrix",
                                      "Transfer syntax", "Image Type", "File"};

namespace {

// The share of beats inside the R-R window, "92 %"; "-" when the header
// does not give both counts. The gates' counts need the pixels: a
// conversion's warning names the gates off the mean.
std::string BeatsKept(const StudyFacts& facts) {
  const long long all = static_cast<long long>(facts.intervalsAcquired) + facts.intervalsRejected;
  if (facts.intervalsAcquired < 0 || facts.intervalsRejected < 0 || all <= 0) return "-";
  return std::to_string((200 * facts.intervalsAcquired + all) / (2 * all)) + " %";
}

}  // namespace

void SortStudies(std::vector<StudyFacts>& studies) {
  std::stable_sort(studies.begin(), studies.end(), [](const StudyFacts& a, const StudyFacts& b) {
    return std::make_tuple(!a.gated, a.patientId, a.studyDate, a.path) <
           std::make_tuple(!b.gated, b.patientId, b.studyDate, b.path);
  });
}

std::vector<std::string> StudyCells(const StudyFacts& facts) {
  // The name alone keeps the table narrow; an unnamed syntax shows its UID.
  const char* name = FindTransferSyntax(facts.transferSyntax).name;
  std::string syntax = name != nullptr && *name != '\0' ? name : facts.transferSyntax;
  return {TerminalText(facts.patientId),
          TerminalText(facts.patientName),
          TerminalText(facts.studyDate),
          std::to_string(facts.gates) + " x " + std::to_string(facts.framesPerGate),
          BeatsKept(facts),
          std::to_string(facts.rows) + " x " + std::to_string(facts.columns),
          TerminalText(syntax),
          TerminalText(facts.imageType),
          TerminalText(facts.path)};
}

std::string FormatStudyTable(const std::vector<StudyFacts>& studies) {
  std::vector<std::vector<std::string>> rows;
  rows.emplace_back(std::begin(kStudyColumns), std::end(kStudyColumns));
  for (const StudyFacts& facts : studies) rows.push_back(StudyCells(facts));
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
