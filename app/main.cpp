// Program entry: two arguments (input DICOM, output GSD) select batch mode;
// any other count starts interactively. The window's creation loads the
// study in batch mode, so a failed load ends the process before any window
// is shown. Exit codes: 0 saved or window closed, 1 load or write failed,
// 4 pixel data too short, 8 no memory, -1 (255 to a POSIX shell) Cancel.
#include <exception>

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
  try {
    TApplication application(argc, argv);
    TMainForm form;
    form.show();
    application.exec();
  } catch (const std::exception& error) {
    TApplication::ShowException(error.what());
  }
  return 0;
}
