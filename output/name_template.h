// Output file names from a template such as "%i_%d_%t_%u.gsd": the patient
// ID, study date and time and the end of the SOP Instance UID, each made
// safe to stand inside one file name. Shared by every front end that names
// GSD files itself.
#pragma once

#include <string>

#include "platform/placeholder_file.h"  // RegularFileSize: whether a reservation was filled

struct NameFields {
  std::string patientId;       // %i
  std::string studyDate;       // %d
  std::string studyTime;       // %t
  std::string sopInstanceUid;  // %u: its last kUidSuffixLength characters
};

constexpr std::size_t kUidSuffixLength = 12;
// Longest text one field contributes, and the longest expanded name: a
// numeric suffix and an extension still fit NAME_MAX (255).
constexpr std::size_t kNameFieldMax = 64;
constexpr std::size_t kNameMax = 200;

// Empty when the template can name a file in one folder; else why not (a '/',
// an unknown or dangling '%', no text at all).
std::string NameTemplateError(const std::string& nameTemplate);

// The template with its fields filled in. Each field keeps only ASCII
// letters, digits, '-', '.' and '_' (anything else becomes '_'), is cut to
// kNameFieldMax, and stands as "unknown" when empty. The whole name never
// starts with '.' or '-', holds no '/' or control character and is cut to
// kNameMax bytes. A template NameTemplateError refuses gives "".
std::string ExpandNameTemplate(const std::string& nameTemplate, const NameFields& fields);

// Takes a free name in folder: name, else name-1, name-2... before its
// extension, created empty with an exclusive create (never through a link)
// so that no other writer takes it, until the converter replaces it. Returns
// the name taken, or "" with error when the folder refuses or no suffix up
// to kMaxNameSuffix is free. permissions >= 0: the file gets exactly those
// (the converter keeps the mode of the file it replaces); else 0666 less
// the umask.
constexpr int kMaxNameSuffix = 9999;
std::string ReserveOutputName(const std::string& folder, const std::string& name,
                              std::string& error, int permissions = -1);
// name with "-n" before its extension (name itself for 0).
std::string NameWithSuffix(const std::string& name, int n);
