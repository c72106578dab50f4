#include "app/form_services.h"

#include <QDialogButtonBox>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QGuiApplication>
#include <QMessageBox>
#include <QMimeDatabase>
#include <QMimeType>
#include <QProcess>
#include <QPushButton>
#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "app/study_chooser.h"
#include "app/viewer_window.h"
#include "platform/document_opener.h"
#include "platform/running_process.h"

const char* const kApplicationTitle = "DICOM Data Converter";

std::optional<QString> DesktopServices::ChooseInputFile(QWidget* parent, const QString& folder) {
  QFileDialog dialog(parent, QString(), folder);
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  dialog.setFileMode(QFileDialog::ExistingFile);
  dialog.setOption(QFileDialog::ReadOnly, false);
  // Toolkit's own dialog, so that it can carry the Folder... button.
  dialog.setOption(QFileDialog::DontUseNativeDialog, true);
  bool folderChosen = false;
  if (auto* buttons = dialog.findChild<QDialogButtonBox*>()) {
    QPushButton* folderButton = buttons->addButton("&Folder...", QDialogButtonBox::ActionRole);
    folderButton->setToolTip("List the NM studies in the folder shown, and its subfolders");
    QObject::connect(folderButton, &QPushButton::clicked, &dialog, [&] {
      // Closed without the file check that Open makes: a folder is no file.
      folderChosen = true;
      dialog.reject();
    });
  }
  const bool opened = dialog.exec() == QDialog::Accepted;
  if (folderChosen) return dialog.directory().absolutePath();
  if (!opened) return std::nullopt;
  if (dialog.selectedFiles().isEmpty()) return std::nullopt;
  return dialog.selectedFiles().first();
}

std::optional<TreeScanResult> DesktopServices::ScanForStudies(QWidget* parent,
                                                              const QString& path) {
  return ScanUnderProgressDialog(parent, path);
}

std::optional<std::size_t> DesktopServices::ChooseStudy(QWidget* parent,
                                                        const std::vector<StudyFacts>& studies) {
  return PickStudyFromTable(parent, studies);
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

namespace {

// xdg-open from the system's own folders, never from PATH.
QString SystemOpener() {
  for (const char* path : {"/usr/bin/xdg-open", "/bin/xdg-open"})
    if (QFileInfo(path).isExecutable()) return path;
  return QString();
}

QStringList XdgFolders(const char* homeVariable, const QString& homeDefault,
                       const char* listVariable, const QString& listDefault) {
  QString home = qEnvironmentVariable(homeVariable);
  if (!QDir::isAbsolutePath(home)) home = homeDefault;
  QString list = qEnvironmentVariable(listVariable);
  if (list.isEmpty()) list = listDefault;
  QStringList folders{home};
  for (const QString& folder : list.split(':', Qt::SkipEmptyParts))
    if (QDir::isAbsolutePath(folder)) folders << folder;
  return folders;
}

// A "mime=desktop-files" line with at least one program, in any group.
bool FileNamesProgramFor(const QString& path, const QString& mime) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) return false;
  const QByteArray key = mime.toUtf8() + '=';
  while (!file.atEnd()) {
    const QByteArray line = file.readLine(4096).trimmed();
    if (line.startsWith(key) && !line.mid(key.size()).replace(';', "").trimmed().isEmpty())
      return true;
  }
  return false;
}

// A desktop entry whose MimeType list names mime.
bool EntryOpens(const QString& path, const QString& mime) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) return false;
  while (!file.atEnd()) {
    const QByteArray line = file.readLine(4096).trimmed();
    if (line.startsWith("MimeType="))
      return QString::fromUtf8(line.mid(9)).split(';', Qt::SkipEmptyParts).contains(mime);
  }
  return false;
}

}  // namespace

bool DesktopHasViewerFor(const QString& mime) {
  const QString home = QDir::homePath();
  QStringList lists;
  for (const QString& folder :
       XdgFolders("XDG_CONFIG_HOME", home + "/.config", "XDG_CONFIG_DIRS", "/etc/xdg"))
    lists << folder + "/mimeapps.list";
  for (const QString& folder : XdgFolders("XDG_DATA_HOME", home + "/.local/share", "XDG_DATA_DIRS",
                                          "/usr/local/share:/usr/share"))
    lists << folder + "/applications/mimeapps.list" << folder + "/applications/mimeinfo.cache";
  for (const QString& list : lists)
    if (FileNamesProgramFor(list, mime)) return true;
  // Without a cache (update-desktop-database not run) the entries say it.
  for (const QString& folder : XdgFolders("XDG_DATA_HOME", home + "/.local/share", "XDG_DATA_DIRS",
                                          "/usr/local/share:/usr/share")) {
    QDir applications(folder + "/applications");
    for (const QString& entry : applications.entryList({"*.desktop"}, QDir::Files))
      if (EntryOpens(applications.filePath(entry), mime)) return true;
  }
  return false;
}

DesktopServices::DesktopServices() : DesktopServices(PlatformHasScreen()) {}

DesktopServices::DesktopServices(bool screen, const QString& opener,
                                 std::function<bool(qint64)> raise)
    : screen_(screen),
      opener_(opener.isEmpty() ? SystemOpener() : opener),
      raise_(raise ? std::move(raise) : [](qint64 viewer) { return RaiseViewerWindow(viewer); }) {}

void DesktopServices::ShowError(QWidget* parent, const QString& message) {
  if (screen_) QMessageBox::critical(parent, kApplicationTitle, message);
}

void DesktopServices::ShowWarning(QWidget* parent, const QString& message) {
  if (screen_) QMessageBox::warning(parent, "Warning", message);
}

bool DesktopServices::AskYesNo(QWidget* parent, const QString& text, const QString& caption,
                               bool defaultYes, const QString& informative) {
  QMessageBox box(QMessageBox::NoIcon, caption, text, QMessageBox::Yes | QMessageBox::No, parent);
  box.setInformativeText(informative);
  box.setDefaultButton(defaultYes ? QMessageBox::Yes : QMessageBox::No);
  return box.exec() == QMessageBox::Yes;
}

bool DesktopServices::OpenDocument(const QString& path) {
  if (!QFileInfo::exists(path)) return false;
  // A second request while the viewer of the first still runs starts none:
  // that viewer's window comes to the front instead, where it can be found.
  // An opener that ended at once (a browser handed the page to its running
  // instance, the shell to a viewer it started by DDE) leaves no process to
  // follow: the document goes to it again, and its viewer shows it as it
  // does, browsers in their running window.
  if (viewerPid_ > 0 && path == viewedDocument_ && ProcessRuns(viewerPid_)) {
    raise_(viewerPid_);
    return true;
  }
  // Where the system keeps the associations itself (the Windows shell), it
  // opens the document with the verb "open": dicom.chm goes to the HTML
  // Help viewer, and nothing starts when no program takes the type.
  if (opener_.isEmpty() && SystemOpensDocuments()) {
    long long viewer = 0;
    if (!OpenDocumentWithSystem(QDir::toNativeSeparators(path).toStdString(), viewer)) return false;
    viewerPid_ = viewer;
    viewedDocument_ = path;
    return true;
  }
  // xdg-open accepts any file and fails later, out of sight, when no viewer
  // is installed: the desktop's associations are read first.
  const QMimeType type = QMimeDatabase().mimeTypeForFile(path);
  const QStringList names = QStringList{type.name()} + type.aliases();
  if (opener_.isEmpty() || std::none_of(names.begin(), names.end(),
                                        [](const QString& n) { return DesktopHasViewerFor(n); }))
    return false;
  qint64 pid = 0;
  if (!QProcess::startDetached(opener_, {path}, QString(), &pid)) return false;
  viewerPid_ = pid;
  viewedDocument_ = path;
  return true;
}

void DesktopServices::EndProcess(int code) {
  std::fflush(nullptr);
  std::exit(code);
}
