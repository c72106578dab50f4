// The list of studies found, in the order shown: gated studies first, then
// by patient, date and file; and its text as a table.
#pragma once

#include <string>
#include <vector>

#include "scan/study_facts.h"

void SortStudies(std::vector<StudyFacts>& studies);

// The share of beats inside the R-R window, in whole per cent, as the
// loader's beat counts give it (model/gate_curve); -1 when the header does
// not give both Intervals Acquired and Rejected, or both are 0.
int KeptBeatsOf(const StudyFacts& facts);

// The "Worst gate" cell of a converted study: "14 (-26 %)"; "-" for gate 0
// (not converted, not gated or no counts).
std::string WorstGateCell(int gate, int percent);

// One study's cells, in the table's column order; worstGate is its "Worst
// gate" cell, which only a conversion measures (the header does not hold
// the counts).
std::vector<std::string> StudyCells(const StudyFacts& facts, const std::string& worstGate = "-");
extern const char* const kStudyColumns[10];

// Header line and one line per study, columns aligned; control characters
// of hostile values shown as \xHH. worstGates, when given, holds each
// study's "Worst gate" cell in the same order.
std::string FormatStudyTable(const std::vector<StudyFacts>& studies,
                             const std::vector<std::string>& worstGates = {});
