// What the main window asks of the desktop: file dialogs, message boxes,
// opening a document, ending the process. The window reaches them only
// through this interface, so that tests can stand in for the operator.
#pragma once

#include <QString>
#include <functional>
#include <optional>
#include <vector>

#include "scan/tree_scan.h"

class QWidget;

class FormServices {
 public:
  virtual ~FormServices() = default;
  // The open dialog, starting in folder: every file listed; a name that
  // does not exist is refused and the dialog stays open. Its "Folder..."
  // button returns the folder it shows instead (a DICOMDIR is a file).
  virtual std::optional<QString> ChooseInputFile(QWidget* parent, const QString& folder) = 0;
  // Scans path (a folder or a DICOMDIR) for NM studies under a progress
  // dialog whose Cancel stops it: nothing then.
  virtual std::optional<TreeScanResult> ScanForStudies(QWidget* parent, const QString& path) = 0;
  // The list of the studies found, one to pick: its index, or nothing when
  // the operator cancels.
  virtual std::optional<std::size_t> ChooseStudy(QWidget* parent,
                                                 const std::vector<StudyFacts>& studies) = 0;
  // The save dialog, proposing proposed (a path): GSD filter, default suffix
  // gsd, overwrite confirmed.
  virtual std::optional<QString> ChooseOutputFile(QWidget* parent, const QString& proposed) = 0;
  // The error box: titled with the application title, error icon, OK.
  virtual void ShowError(QWidget* parent, const QString& message) = 0;
  // A message box titled "Warning" with an OK button: something the operator
  // should know about a study that did load.
  virtual void ShowWarning(QWidget* parent, const QString& message) = 0;
  // A Yes/No question; informative, when not empty, says what the file
  // holds (the Modality found, the Image Type values).
  virtual bool AskYesNo(QWidget* parent, const QString& text, const QString& caption,
                        bool defaultYes, const QString& informative) = 0;
  // True when the desktop has a viewer for the document and accepted the
  // request, or when the viewer it started for that document still runs,
  // which is then brought to the front. Returns at once: the viewer runs on
  // its own.
  virtual bool OpenDocument(const QString& path) = 0;
  // Ends the process with code; does not return in the real application.
  virtual void EndProcess(int code) = 0;
};

// The real desktop: Qt's dialogs and message boxes, std::exit. On a
// platform without a screen (offscreen, minimal) nobody could press OK:
// errors and warnings show no box there, which would wait forever. The
// window prints each of them on stderr as well.
class DesktopServices : public FormServices {
 public:
  DesktopServices();
  // opener: the program that opens a document with the desktop's viewer,
  // an absolute path (default: xdg-open from the system's folders); raise:
  // what brings a running viewer's window to the front, given its process
  // (default: RaiseViewerWindow).
  explicit DesktopServices(bool screen, const QString& opener = QString(),
                           std::function<bool(qint64)> raise = {});
  std::optional<QString> ChooseInputFile(QWidget* parent, const QString& folder) override;
  std::optional<TreeScanResult> ScanForStudies(QWidget* parent, const QString& path) override;
  std::optional<std::size_t> ChooseStudy(QWidget* parent,
                                         const std::vector<StudyFacts>& studies) override;
  std::optional<QString> ChooseOutputFile(QWidget* parent, const QString& proposed) override;
  void ShowError(QWidget* parent, const QString& message) override;
  void ShowWarning(QWidget* parent, const QString& message) override;
  bool AskYesNo(QWidget* parent, const QString& text, const QString& caption, bool defaultYes,
                const QString& informative) override;
  bool OpenDocument(const QString& path) override;
  void EndProcess(int code) override;

 private:
  bool screen_;
  QString opener_;
  std::function<bool(qint64)> raise_;
  qint64 viewerPid_ = 0;
  QString viewedDocument_;
};

// True when the desktop's MIME associations (mimeapps.list, the
// applications' mimeinfo.cache in the XDG folders) name a program for mime.
bool DesktopHasViewerFor(const QString& mime);

extern const char* const kApplicationTitle;

// False on the offscreen and minimal platforms, where no one sees a window.
bool PlatformHasScreen();
