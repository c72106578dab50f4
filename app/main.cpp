// Program entry: two arguments (input DICOM, output GSD) select batch mode;
// any other count starts interactively. The window's creation loads the
// study in batch mode, so a failed load ends the process before any window
// is shown. Exit codes: 0 saved or window closed, 1 load or write failed,
// 4 pixel data too short, 8 no memory, -1 (255 to a POSIX shell) Cancel.
#include <cstdio>
#include <exception>
#include <memory>

#include "application.h"
#include "main_form.h"
#include "study_state.h"

int main(int argc, char** argv) {
  BatchMode = false;
  if (argc == 3) {
    InputPath = argv[1];
    OutputPath = argv[2];
    BatchMode = true;
  }
  // The application outlives the guarded block, so that an exception from
  // the window's creation is still shown in a message box.
  std::unique_ptr<TApplication> application;
  try {
    application = std::make_unique<TApplication>(argc, argv);
    TMainForm form;
    form.show();
    application->exec();
  } catch (const std::exception& error) {
    if (application)
      TApplication::ShowException(error.what());
    else
      std::fprintf(stderr, "dicom-converter: %s\n", error.what());
  }
  return 0;
}
