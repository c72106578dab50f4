#include "app/application.h"

#include <QMessageBox>
#include <cstdio>
#include <exception>

#include "app/form_services.h"

const char* const kUsageText =
    "usage: dicom-converter                 the window, empty: Select picks the DICOM file\n"
    "       dicom-converter INPUT           the window with INPUT loaded\n"
    "       dicom-converter INPUT OUTPUT    batch mode: Save writes OUTPUT without asking\n"
    "       dicom-converter --help | --version\n"
    "Exit status: 0 saved or window closed, 1 load or write failed, 4 pixel data too short,\n"
    "8 no memory, 255 Cancel.\n";

StartRequest ParseCommandLine(int argc, const char* const* argv) {
  StartRequest request;
  if (argc == 2) {
    const std::string argument = argv[1];
    if (argument == "--help" || argument == "-h")
      request.kind = StartRequest::kHelp;
    else if (argument == "--version")
      request.kind = StartRequest::kVersion;
    else {
      request.kind = StartRequest::kOpenFile;
      request.input = argument;
    }
  } else if (argc == 3) {
    request.kind = StartRequest::kBatch;
    request.input = argv[1];
    request.output = argv[2];
  }
  return request;
}

TApplication::TApplication(int& argc, char** argv) : QApplication(argc, argv) {
  Configure();
}

void TApplication::Configure() {
  // Names for QSettings (~/.config/dicom-converter/). No display name: the
  // platform would append it to every title, "Warning" included.
  setApplicationName("dicom-converter");
  setOrganizationName("dicom-converter");
  setDesktopFileName("dicom-converter");
}

bool TApplication::notify(QObject* receiver, QEvent* event) {
  try {
    return QApplication::notify(receiver, event);
  } catch (const std::exception& error) {
    ShowException(error.what());
  } catch (...) {
    ShowException("unknown error");
  }
  return false;
}

void TApplication::ShowException(const char* what) {
  std::fprintf(stderr, "dicom-converter: %s\n", what);
  if (PlatformHasScreen())
    QMessageBox::critical(nullptr, kApplicationTitle, QString::fromLocal8Bit(what));
}
