// Program entry: two arguments (input DICOM, output GSD) select batch mode;
// one opens the window with that file loaded, as a desktop's "Open with"
// does; --help and --version print and end; any other count starts an empty
// window. The window's creation loads the study in batch mode, so a failed
// load ends the process before any window is shown. The exit codes are
// those of converter_status.h.
#include <QTimer>
#include <cstdio>
#include <exception>
#include <memory>

#include "app/application.h"
#include "app/main_form.h"
#include "platform/program_start.h"

int main(int argc, char** argv) {
  StartProgram(argc, argv);
  const StartRequest request = ParseCommandLine(argc, argv);
  if (request.kind == StartRequest::kHelp) {
    std::fputs(kUsageText, stdout);
    return 0;
  }
  if (request.kind == StartRequest::kVersion) {
    std::printf("dicom-converter %s\n", DGC_VERSION);
    return 0;
  }
  WindowStart start;
  start.batchMode = request.kind == StartRequest::kBatch;
  if (start.batchMode) {
    start.inputPath = request.input;
    start.outputPath = request.output;
  }
  // The application outlives the guarded block, so that an exception from
  // the window's creation is still shown in a message box.
  std::unique_ptr<TApplication> application;
  try {
    application = std::make_unique<TApplication>(argc, argv);
    TMainForm form(start);
    form.show();
    // Loaded once the window is up, so that a question or an error box has
    // it as parent.
    if (request.kind == StartRequest::kOpenFile)
      QTimer::singleShot(0, &form, [&form, &request] {
        form.OpenInputFile(QString::fromLocal8Bit(request.input.c_str()));
      });
    application->exec();
  } catch (const std::exception& error) {
    if (application)
      TApplication::ShowException(error.what());
    else
      std::fprintf(stderr, "dicom-converter: %s\n", error.what());
  }
  return 0;
}
