// The converter's only window: shows the study that a load put into
// StudyRecord, lets the operator check and complete it, and on Save writes
// the GSD file and ends the process.
#pragma once

#include <QDialog>
#include <memory>
#include <string>

#include "form_services.h"
#include "study_form.h"

class QCheckBox;
class QFrame;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QToolButton;
class ImagePane;

class TMainForm : public QDialog {
  Q_OBJECT

 public:
  // FormCreate runs here: in batch mode the study is loaded before the
  // window is ever shown. services defaults to the real desktop.
  explicit TMainForm(FormServices* services = nullptr);
  ~TMainForm() override;

  void FormCreate();
  void btInClick();
  void BitBtn2Click();
  void BtOKClick();
  void btHelpClick();
  void Button1Click();
  void FillFieldsFromStudy();
  int OpenDocumentWithShell(const char* path);

  // Controls, named as in the form resource.
  QFrame* Panel1;
  QLabel* pnIn;
  QToolButton* btIn;
  QFrame* Panel4;
  QFrame* Panel3;
  QLineEdit *edID, *edName, *edHeight, *edWeight, *edTracer, *edComment;
  QLineEdit *edDate, *edTime, *edHR, *edDiv, *edFrm, *edPix, *edThick;
  QRadioButton *rbM, *rbF;
  QCheckBox* cbMflag;
  QPushButton *BtOK, *BitBtn2, *btHelp, *Button1;
  // "Images >>": unfolds the image pane to the right of the panels.
  QPushButton* btImages;
  ImagePane* imagePane;
  static constexpr int kImagePaneWidth = 560;

  void ToggleImagePane();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dropEvent(QDropEvent* event) override;

 private:
  void BuildLayout();
  void BuildInputRow();
  void BuildStudyPanel();
  void BuildButtons();
  void ConnectEvents();
  // Loads InputPath; a failed load ends the process with the loader's code.
  void LoadStudy();
  void LoadInputFile(const QString& path);
  void ShowInputPath(const QString& path);
  StudyFormTexts CollectTexts() const;
  // Where the save dialog starts: the input's name with ".gsd", in the last
  // output folder, or else beside the input.
  QString ProposedOutputPath() const;
  // The last words before the process ends with a failure: one line on
  // stderr, and the error box naming the file and the reason.
  void ReportEnding(const std::string& file, const std::string& reason);
  void ShowImagePane(bool shown);
  int LayoutHeight() const;

  // The patient of the study on show: height and weight typed for one
  // patient never reach another's file.
  bool studyShown_ = false;
  std::string shownPatientId_, shownPatientName_;
  // The counts of the last successful load: Save writes no more than these.
  LoadedCounts loaded_;

  std::unique_ptr<FormServices> ownServices_;
  FormServices* services_;
};

extern TMainForm* MainForm;
