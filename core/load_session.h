// One load in progress: the caller's study it fills (record, frames, what
// the scan found), the caller's options and the report it fills. Every stage
// of the load (scan, frame order, decoder, frame read) takes it; the session
// itself does not outlive the load.
#pragma once

#include <string>
#include <utility>

#include "core/load_options.h"
#include "core/load_report.h"
#include "model/study.h"

class LoadSession {
 public:
  LoadSession(Study& study, const LoadOptions& options, LoadReport& report)
      : study(study),
        record(study.record),
        found(study.found),
        options_(options),
        report_(report) {}
  LoadSession(const LoadSession&) = delete;
  LoadSession& operator=(const LoadSession&) = delete;

  const LoadOptions& options() const { return options_; }
  LoadReport& report() { return report_; }
  Study& study;
  TStudyRecord& record;  // study.record
  ScanFindings& found;   // study.found

  // The one way a stage fails: records why, returns false.
  bool Fail(LoadFailure why, std::string words) { return report_.Fail(why, std::move(words)); }
  void Warn(std::string warning) { report_.Warn(std::move(warning)); }

  // The operator's answer; with no one to ask, No.
  bool Ask(const OperatorQuestion& question) const {
    return options_.ask ? options_.ask(question) : false;
  }

  // Tells the caller where the load stands. False when the caller cancelled
  // it; the report then says so.
  bool GoOn(LoadStage stage, long long done, long long total) {
    if (!options_.progress) return true;
    if (options_.progress({stage, encoding, done, total})) return true;
    return Fail(LoadFailure::kCancelled, "cancelled by the operator");
  }

  std::string encoding;  // the transfer syntax in words, once the scan knows it

 private:
  const LoadOptions& options_;
  LoadReport& report_;
};
