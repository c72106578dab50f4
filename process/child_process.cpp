#include "process/child_process.h"

#include <cstring>
#include <utility>

#include "platform/child_launcher.h"

ChildResult RunChild(const std::vector<std::string>& argv, int deadlineSeconds,
                     std::size_t outputLimit, bool reportChannel) {
  ChildResult result;
  TextSink output(outputLimit), report(outputLimit);
  ChildRun run;
  run.argv = argv;
  run.output = &output;  // standard error too
  if (reportChannel) run.report = &report;
  run.deadlineMilliseconds = 1000LL * deadlineSeconds;
  const ChildEnd end = RunChildProgram(run);
  result.exitCode = end.exitCode;
  result.signal = end.signal;
  result.timedOut = end.timedOut;
  result.output = std::move(output.text());
  result.report = std::move(report.text());
  switch (end.startFailure) {
    case StartFailure::kNone:
      break;
    case StartFailure::kNotAbsolute:
      result.output = "not an absolute program path";
      break;
    case StartFailure::kInput:  // no input is given
    case StartFailure::kResources:
      result.output =
          end.step != nullptr && std::strcmp(end.step, "pipe") == 0 ? "pipe failed" : "fork failed";
      break;
    case StartFailure::kInChild:
      result.output = "cannot start " + argv[0] + ": " +
                      (end.step != nullptr ? std::string(end.step) + ": " : "") +
                      std::strerror(end.error);
      break;
  }
  return result;
}
