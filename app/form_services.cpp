#include "form_services.h"

#include <QDesktopServices>
#include <QFileDialog>
#include <QFileInfo>
#include <QGuiApplication>
#include <QMessageBox>
#include <QMimeDatabase>
#include <QProcess>
#include <QUrl>
#include <cstdio>
#include <cstdlib>

const char* const kApplicationTitle = "DICOM Data Converter";

std::optional<QString> DesktopServices::ChooseInputFile(QWidget* parent, const QString& folder) {
  QFileDialog dialog(parent, QString(), folder);
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  dialog.setFileMode(QFileDialog::AnyFile);  // a name that does not exist is accepted
  dialog.setOption(QFileDialog::ReadOnly, false);
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return std::nullopt;
  return dialog.selectedFiles().first();
}

std::optional<QString> DesktopServices::ChooseOutputFile(QWidget* parent, const QString& proposed) {
  QFileDialog dialog(parent);
  if (!proposed.isEmpty()) {
    dialog.setDirectory(QFileInfo(proposed).absolutePath());
    dialog.selectFile(QFileInfo(proposed).fileName());
  }
  dialog.setAcceptMode(QFileDialog::AcceptSave);
  dialog.setNameFilters({"Gated SPECT Data (*.gsd)", "All Files (*)"});
  dialog.selectNameFilter("Gated SPECT Data (*.gsd)");
  dialog.setDefaultSuffix("gsd");
  dialog.setOption(QFileDialog::DontConfirmOverwrite, false);
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return std::nullopt;
  return dialog.selectedFiles().first();
}

bool PlatformHasScreen() {
  const QString platform = QGuiApplication::platformName();
  return platform != "offscreen" && platform != "minimal";
}

DesktopServices::DesktopServices() : screen_(PlatformHasScreen()) {}

void DesktopServices::ShowError(QWidget* parent, const QString& message) {
  if (screen_) QMessageBox::critical(parent, kApplicationTitle, message);
}

void DesktopServices::ShowWarning(QWidget* parent, const QString& message) {
  if (screen_) QMessageBox::warning(parent, "Warning", message);
}

bool DesktopServices::AskYesNo(QWidget* parent, const QString& text, const QString& caption,
                               bool defaultYes) {
  QMessageBox box(QMessageBox::NoIcon, caption, text, QMessageBox::Yes | QMessageBox::No, parent);
  box.setDefaultButton(defaultYes ? QMessageBox::Yes : QMessageBox::No);
  return box.exec() == QMessageBox::Yes;
}

bool DesktopServices::OpenDocument(const QString& path) {
  if (!QFileInfo::exists(path)) return false;
  // xdg-open accepts any file and fails later, out of sight, when no viewer
  // is installed: ask the desktop's MIME database first.
  QProcess query;
  query.start("xdg-mime", {"query", "default", QMimeDatabase().mimeTypeForFile(path).name()});
  if (query.waitForFinished(5000) && query.exitStatus() == QProcess::NormalExit &&
      query.readAllStandardOutput().trimmed().isEmpty())
    return false;
  return QDesktopServices::openUrl(QUrl::fromLocalFile(path));
}

void DesktopServices::EndProcess(int code) {
  std::fflush(nullptr);
  std::exit(code);
}
