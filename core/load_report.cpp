#include "load_report.h"

#include <utility>

LoadReport LastLoadReport;

void ReportLoadFailure(LoadFailure failure, std::string detail) {
  LastLoadReport.failure = failure;
  LastLoadReport.detail = std::move(detail);
}

void ReportLoadWarning(std::string warning) {
  LastLoadReport.warnings.push_back(std::move(warning));
}
