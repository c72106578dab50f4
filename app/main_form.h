// The converter's only window: shows the study that a load put into the
// window's own Study (its StudyRecord and frames), lets the operator check
// and complete it, and on Save writes the GSD file and ends the process.
#pragma once

#include <QDialog>
#include <QSize>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "app/form_services.h"
#include "form/study_form.h"
#include "helper_client/transcoder.h"
#include "model/study.h"

class QCheckBox;
class QFrame;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QTextEdit;
class QToolButton;
class ImagePane;

// How the window starts: in batch mode, with the input it loads at once and
// the output Save writes, both from the command line; else interactive, with
// no path until the operator names one. Paths hold any length: a path is
// never cut, since a cut path would name another file.
struct WindowStart {
  bool batchMode = false;
  std::string inputPath;
  std::string outputPath;
};

class TMainForm : public QDialog {
  Q_OBJECT

 public:
  // FormCreate runs here: in batch mode the study is loaded before the
  // window is ever shown. services defaults to the real desktop.
  explicit TMainForm(FormServices* services = nullptr);
  TMainForm(const WindowStart& start, FormServices* services = nullptr);
  ~TMainForm() override;

  // The mode of the window, the file loaded (or being loaded) and where Save
  // writes (in interactive mode, once the operator has chosen).
  bool BatchMode() const { return batchMode_; }
  const std::string& InputPath() const { return inputPath_; }
  const std::string& OutputPath() const { return outputPath_; }
  // The study on show: what the last load gave and Save stores and writes.
  Study& study() { return study_; }
  const Study& study() const { return study_; }

  void FormCreate();
  void btInClick();
  void BitBtn2Click();
  void BtOKClick();
  void btHelpClick();
  void Button1Click();
  void FillFieldsFromStudy();
  int OpenDocumentWithShell(const char* path);
  // The data set's Specific Character Set (0008,0005) as stored, set after
  // a load and before the fields are filled: the text fields show the file's
  // bytes decoded with it. Empty: ASCII, bytes above it shown as Latin-1.
  void SetCharacterSet(const std::string& specificCharacterSet);
  // How the window's loads run the decoder helper (tests stand in a slow one).
  void SetDecoderSettings(const DecoderSettings& settings);
  // Loads path as Select does: the interactive start with one argument. A
  // folder or a DICOMDIR lists its NM studies to pick one from.
  void OpenInputFile(const QString& path);

  // Controls, named as in the form resource.
  QFrame* Panel1;
  QLabel* pnIn;
  QToolButton* btIn;
  // Batch mode: where Save writes, in the input row instead of Select.
  QLabel* lbOut;
  QLabel* pnOut;
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
  // "File header": unfolds, below the form, the header lines Save would
  // write as the fields stand, each value written otherwise than the file
  // or the field holds it marked.
  QPushButton* btHeader;
  QTextEdit* headerView;
  static constexpr int kHeaderViewHeight = 280;
  static constexpr int kMinHeaderViewHeight = 100;
  // The pane's width when the screen has room for it, and the least it
  // takes on a narrow one.
  static constexpr int kImagePaneWidth = 560;
  static constexpr int kMinImagePaneWidth = 200;

  void ToggleImagePane();
  void ToggleHeaderView();
  // The header view anew from the fields as they stand.
  void UpdateHeaderView();
  // The image pane anew with the gates and frames R-R Divisions and Frames
  // say Save will write.
  void FollowWrittenCounts();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void showEvent(QShowEvent* event) override;
  void moveEvent(QMoveEvent* event) override;
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dropEvent(QDropEvent* event) override;

 private:
  void BuildLayout();
  void BuildInputRow();
  void BuildStudyPanel();
  void BuildButtons();
  void ConnectEvents();
  // Loads inputPath_. A failed load says why and ends the process with the
  // loader's code, in batch mode and interactively alike.
  bool LoadStudy();
  bool LoadInputFile(const QString& path);
  // The study picked from those a folder or DICOMDIR holds; nothing when the
  // operator cancels the scan or the list, or none is found (said so).
  std::optional<QString> ChooseStudyIn(const QString& path);

  void ShowPath(QLabel* panel, const QString& path);
  // Where the window stands and its unfolded size, for the next start.
  void SaveWindowState();
  // Saves the window's state, then ends the process.
  void EndProcess(int code);
  // The window whole on the screen it is on, its frame included, no larger
  // than its room.
  void FitOnScreen();
  // What the frame adds to the window's size, as far as it is known yet.
  QSize FrameExtra() const;
  QString ShownText(const std::string& bytes) const;
  StudyFormTexts CollectTexts() const;
  // Where the save dialog starts: the input's name with ".gsd", in the last
  // output folder, or else beside the input.
  QString ProposedOutputPath() const;
  // A failed load or write: one line on stderr, and the error box naming
  // the file and the reason.
  void ReportFailure(const std::string& file, const std::string& reason);
  void ShowImagePane(bool shown);
  void ShowHeaderView(bool shown);
  int LayoutHeight() const;

  const bool batchMode_;
  std::string inputPath_;
  std::string outputPath_;
  Study study_;
  // The patient of the study on show: height and weight typed for one
  // patient never reach another's file.
  bool studyShown_ = false;
  std::string shownPatientId_, shownPatientName_;
  // The counts of the last successful load: Save writes no more than these.
  LoadedCounts loaded_;
  // The text fields as a load filled them: the file's bytes and what they
  // showed. A field still showing that text gives the file's bytes back.
  std::string characterSet_;
  DecoderSettings decoder_;
  std::vector<std::pair<std::string, QString>> loadedTexts_;
  QSize foldedSize_;   // the window's size before the pane unfolded
  bool foldedWithHeader_ = false;  // whether the header view was open then
  QSize fittedFrame_;  // the frame the last FitOnScreen counted

  std::unique_ptr<FormServices> ownServices_;
  FormServices* services_;
};
