#include "form_services.h"

#include <QDesktopServices>
#include <QFileDialog>
#include <QMessageBox>
#include <QUrl>
#include <cstdio>
#include <cstdlib>

const char* const kApplicationTitle = "DICOM Data Converter";

std::optional<QString> DesktopServices::ChooseInputFile(QWidget* parent) {
  QFileDialog dialog(parent);
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  dialog.setFileMode(QFileDialog::AnyFile);  // a name that does not exist is accepted
  dialog.setOption(QFileDialog::ReadOnly, false);
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return std::nullopt;
  return dialog.selectedFiles().first();
}

std::optional<QString> DesktopServices::ChooseOutputFile(QWidget* parent) {
  QFileDialog dialog(parent);
  dialog.setAcceptMode(QFileDialog::AcceptSave);
  dialog.setNameFilters({"Gated SPECT Data (*.gsd)", "All Files (*)"});
  dialog.selectNameFilter("Gated SPECT Data (*.gsd)");
  dialog.setDefaultSuffix("gsd");
  dialog.setOption(QFileDialog::DontConfirmOverwrite, false);
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return std::nullopt;
  return dialog.selectedFiles().first();
}

void DesktopServices::ShowError(QWidget* parent, const QString& message) {
  QMessageBox::critical(parent, kApplicationTitle, message);
}

void DesktopServices::ShowWarning(QWidget* parent, const QString& message) {
  QMessageBox::warning(parent, "Warning", message);
}

bool DesktopServices::AskYesNo(QWidget* parent, const QString& text, const QString& caption,
                               bool defaultYes) {
  QMessageBox box(QMessageBox::NoIcon, caption, text, QMessageBox::Yes | QMessageBox::No, parent);
  box.setDefaultButton(defaultYes ? QMessageBox::Yes : QMessageBox::No);
  return box.exec() == QMessageBox::Yes;
}

bool DesktopServices::OpenDocument(const QString& path) {
  return QDesktopServices::openUrl(QUrl::fromLocalFile(path));
}

void DesktopServices::EndProcess(int code) {
  std::fflush(nullptr);
  std::exit(code);
}
