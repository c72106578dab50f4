// The list of studies found, in the order shown: gated studies first, then
// by patient, date and file; and its text as a table.
#pragma once

#include <string>
#include <vector>

#include "scan/study_facts.h"

void SortStudies(std::vector<StudyFacts>& studies);

// One study's cells, in the table's column order.
std::vector<std::string> StudyCells(const StudyFacts& facts);
extern const char* const kStudyColumns[9];

// Header line and one line per study, columns aligned; control characters
// of hostile values shown as \xHH.
std::string FormatStudyTable(const std::vector<StudyFacts>& studies);
