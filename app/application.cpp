#include "application.h"

#include <QMessageBox>
#include <cstdio>
#include <exception>

#include "form_services.h"

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
