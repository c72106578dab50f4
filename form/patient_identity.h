// The patient's identity as the GSD file will hold it. The header keeps the
// ID in 39 bytes and the name in 49, each byte outside printable ASCII
// written "_": a list downstream matches the RIS only when the operator
// knows what changed. Toolkit-free: the window and dicom2gsd say the same.
#pragma once

#include <string>
#include <vector>

#include "model/scan_findings.h"
#include "model/study_state.h"

// Cuts the record's ID and name, when the file's values are longer than
// their fields, after the last whole character of the file's Specific
// Character Set rather than inside one.
void CutIdentityToWholeCharacters(TStudyRecord& record, const ScanFindings& found,
                                  const std::string& specificCharacterSet);

// One caveat, in UTF-8, for the ID and one for the name that the header
// will not hold as the file does ("Patient ID DE-ÄÖÜ-1 is written as
// DE-___-1"); a value padded to even length is not counted as changed.
std::vector<std::string> IdentityCaveats(const TStudyRecord& record, const ScanFindings& found,
                                         const std::string& specificCharacterSet);

// A line of the header as it goes to disk (without its line end), and, for
// a value the header holds otherwise than the record or the file, why.
struct MarkedHeaderLine {
  std::string text;
  std::string mark;  // UTF-8; empty when the value is written as it stands
};

// The header ComposeGsdHeader writes for record, line by line, marked.
std::vector<MarkedHeaderLine> MarkedHeaderLines(const TStudyRecord& record,
                                                const ScanFindings& found,
                                                const std::string& specificCharacterSet);

// Bytes of the file's character set as UTF-8 text; bytes that do not decode
// are read as Latin-1.
std::string ShownUtf8(const std::string& bytes, const std::string& specificCharacterSet);
