// The main window in-process (offscreen), with a stand-in for the operator's
// dialogs and for process exit: initial state, loads, Save, the conversion
// messages, keys, help, drops and the batch-mode start.
#include "main_form.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QApplication>
#include <QCheckBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QPushButton>
#include <QRadioButton>
#include <QSettings>
#include <QSlider>
#include <QStandardPaths>
#include <QTest>
#include <QTimer>
#include <QUrl>
#include <cstring>
#include <deque>
#include <sstream>

#include "application.h"
#include "gsd_reader.h"
#include "image_pane.h"
#include "study_state.h"
#include "test_support.h"

namespace {

class FakeOperator : public FormServices {
 public:
  std::deque<std::optional<QString>> inputs, outputs;
  std::vector<QString> errors, warnings, questions, opened;
  std::vector<int> exits;
  bool answerYes = false;
  bool openAccepted = false;

  std::vector<QString> openFolders, proposedOutputs;
  std::optional<QString> ChooseInputFile(QWidget*, const QString& folder) override {
    openFolders.push_back(folder);
    return Next(inputs);
  }
  std::optional<QString> ChooseOutputFile(QWidget*, const QString& proposed) override {
    proposedOutputs.push_back(proposed);
    return Next(outputs);
  }
  void ShowError(QWidget*, const QString& message) override { errors.push_back(message); }
  void ShowWarning(QWidget*, const QString& message) override { warnings.push_back(message); }
  bool AskYesNo(QWidget*, const QString& text, const QString& caption, bool defaultYes) override {
    questions.push_back(caption + "|" + text + (defaultYes ? "|Yes" : "|No"));
    return answerYes;
  }
  bool OpenDocument(const QString& path) override {
    opened.push_back(path);
    return openAccepted;
  }
  void EndProcess(int code) override { exits.push_back(code); }

 private:
  static std::optional<QString> Next(std::deque<std::optional<QString>>& queue) {
    if (queue.empty()) return std::nullopt;
    if (!queue.front()) {
      queue.pop_front();
      return std::nullopt;
    }
    QString value = *queue.front();
    queue.pop_front();
    return value;
  }
};

class MainFormTest : public testing::Test {
 protected:
  void SetUp() override {
    QSettings().clear();
    BatchMode = false;
    InputPath.clear();
    OutputPath.clear();
    std::memset(&StudyRecord, 0, sizeof StudyRecord);
  }
  void StartBatch(const std::string& input, const std::string& output) {
    BatchMode = true;
    InputPath = input;
    OutputPath = output;
    form = std::make_unique<TMainForm>(&fake);
  }
  void StartInteractive() { form = std::make_unique<TMainForm>(&fake); }

  FakeOperator fake;
  std::unique_ptr<TMainForm> form;
  TempDir dir;
};

TEST_F(MainFormTest, InteractiveStartsEmptyWithSaveDisabled) {
  StartInteractive();
  EXPECT_EQ(form->windowTitle(), "DICOM Data Converter");
  EXPECT_FALSE(form->BtOK->isEnabled());
  EXPECT_TRUE(form->BtOK->isDefault());
  EXPECT_FALSE(form->Panel1->isHidden());
  EXPECT_TRUE(form->Button1->isHidden());
  EXPECT_TRUE(form->pnIn->text().isEmpty());
  EXPECT_TRUE(form->rbM->isChecked());
  EXPECT_FALSE(form->cbMflag->isChecked());
  struct {
    QLineEdit* edit;
    const char* text;
  } const initial[] = {{form->edID, ""},     {form->edHeight, "0"}, {form->edWeight, "0"},
                       {form->edHR, "0"},    {form->edDiv, "0"},    {form->edFrm, "0"},
                       {form->edPix, "0.0"}, {form->edThick, "0.0"}};
  for (const auto& field : initial)
    EXPECT_EQ(field.edit->text(), field.text) << field.edit->objectName().toStdString();
  EXPECT_EQ(form->size(), QSize(493, 252));

  form->show();
  form->edID->setFocus();
  QTest::keyClick(form->edID, Qt::Key_Return);
  EXPECT_TRUE(fake.exits.empty());
  EXPECT_TRUE(fake.outputs.empty());
}

TEST_F(MainFormTest, SelectLoadsAndCancelledDialogChangesNothing) {
  StartInteractive();
  form->btInClick();  // dialog cancelled
  EXPECT_TRUE(form->pnIn->text().isEmpty());
  EXPECT_FALSE(form->BtOK->isEnabled());

  fake.inputs.push_back(QString::fromStdString(DataFile("gated64")));
  form->edComment->setText("typed before");
  form->edHeight->setText("170");
  form->btInClick();
  EXPECT_TRUE(fake.exits.empty());
  EXPECT_EQ(form->pnIn->toolTip().toStdString(), DataFile("gated64"));
  EXPECT_EQ(InputPath, DataFile("gated64"));
  EXPECT_TRUE(form->BtOK->isEnabled());
  EXPECT_EQ(form->edID->text(), "A 12");
  EXPECT_EQ(form->edName->text(), "ANON^A");
  EXPECT_EQ(form->edDate->text(), "2001.03.15");
  EXPECT_EQ(form->edTime->text(), "14:30:05");
  EXPECT_EQ(form->edTracer->text(), "TL201 ");
  EXPECT_EQ(form->edHR->text(), "60");
  EXPECT_EQ(form->edDiv->text(), "8");
  EXPECT_EQ(form->edFrm->text(), "4");
  EXPECT_EQ(form->edPix->text(), "6.4");
  EXPECT_EQ(form->edComment->text(), "") << "a load clears the comment";
  EXPECT_EQ(form->edHeight->text(), "170") << "height is the operator's";

  // Another load of the same patient keeps height and weight; another
  // patient's study starts from "0".
  for (const auto& [file, height] : {std::pair{"gated64_8x8", "170"}, {"name60", "0"}}) {
    fake.inputs.push_back(QString::fromStdString(DataFile(file)));
    form->edWeight->setText(height);
    form->btInClick();
    EXPECT_EQ(form->edHeight->text(), height) << file;
    EXPECT_EQ(form->edWeight->text(), height) << file;
  }
}

TEST_F(MainFormTest, SelectingAMissingFileEndsWithTheLoadersCode) {
  StartInteractive();
  fake.inputs.push_back(QString::fromStdString(dir.File("does-not-exist.dcm")));
  form->btInClick();
  EXPECT_EQ(fake.exits, std::vector<int>{1});
  ASSERT_EQ(fake.errors.size(), 1u);
  EXPECT_TRUE(
      fake.errors[0].startsWith(QString::fromStdString(dir.File("does-not-exist.dcm")) + "\n\n"))
      << fake.errors[0].toStdString();
  fake.exits.clear();
  fake.inputs.push_back(QString::fromStdString(DataFile("pixel_short2")));
  form->btInClick();
  EXPECT_EQ(fake.exits, std::vector<int>{4});
  ASSERT_EQ(fake.errors.size(), 2u);
  EXPECT_TRUE(fake.errors[1].endsWith("(98304 needed, 98302 present)"))
      << fake.errors[1].toStdString();
}

struct BatchFieldCase {
  const char* file;
  const char* pixel;
  const char* thick;
  const char* heartRate;
  bool male, female;  // an unknown sex checks neither
};

TEST_F(MainFormTest, BatchStartFillsEveryField) {
  const BatchFieldCase cases[] = {
      {"zero_pixel", "0", "6.4", "60", true, false},
      {"no_sizes", "-1", "-1", "60", true, false},
      {"hr_empty", "6.4", "6.4", "-1", true, false},
      {"sex_missing", "6.4", "6.4", "60", false, false},
      {"sex_F", "6.4", "6.4", "60", false, true},
      {"gated128", "6.4", "6.4", "60", true, false},
  };
  for (const BatchFieldCase& c : cases) {
    StartBatch(DataFile(c.file), dir.File("o.gsd"));
    EXPECT_TRUE(fake.exits.empty()) << c.file;
    EXPECT_TRUE(form->Panel1->isHidden()) << c.file;
    EXPECT_EQ(form->height(), 218) << c.file;
    EXPECT_TRUE(form->BtOK->isEnabled()) << c.file;
    EXPECT_EQ(form->edPix->text(), c.pixel) << c.file;
    EXPECT_EQ(form->edThick->text(), c.thick) << c.file;
    EXPECT_EQ(form->edHR->text(), c.heartRate) << c.file;
    EXPECT_EQ(form->rbM->isChecked(), c.male) << c.file;
    EXPECT_EQ(form->rbF->isChecked(), c.female) << c.file;
    EXPECT_EQ(form->edComment->text(), "") << c.file;
  }
}

TEST_F(MainFormTest, BatchLoadFailureEndsBeforeTheWindowIsShown) {
  StartBatch(dir.File("missing.dcm"), dir.File("o.gsd"));
  EXPECT_EQ(fake.exits, std::vector<int>{1});
  EXPECT_FALSE(form->isVisible());
}

TEST_F(MainFormTest, QuestionsAndWarningsComeBeforeTheWindow) {
  fake.answerYes = false;
  StartBatch(DataFile("type_gated_tomo"), dir.File("o.gsd"));
  EXPECT_EQ(fake.questions,
            std::vector<QString>{"Warning|Not Reconstructed Images!\n Continue?|No"});
  EXPECT_EQ(fake.exits, std::vector<int>{1});
  EXPECT_TRUE(fake.errors.empty()) << "no box after the operator's own No";
  fake.exits.clear();
  StartBatch(DataFile("nf130_16gates"), dir.File("o.gsd"));
  ASSERT_EQ(fake.warnings.size(), 1u);
  EXPECT_TRUE(fake.warnings[0].endsWith("the last 2 frames are not converted"))
      << fake.warnings[0].toStdString();
  fake.questions.clear();
  StartBatch(DataFile("modality_ct"), dir.File("o.gsd"));
  EXPECT_EQ(fake.questions, std::vector<QString>{"Warning|Not NM Images!\n Continue?|Yes"});
  EXPECT_EQ(fake.exits, std::vector<int>{1});
  fake.exits.clear();
  fake.answerYes = true;
  StartBatch(DataFile("modality_ct"), dir.File("o.gsd"));
  EXPECT_TRUE(fake.exits.empty());
  EXPECT_TRUE(form->BtOK->isEnabled());
}

TEST_F(MainFormTest, BatchSaveWritesWhatDicom2gsdWrites) {
  std::string viaWindow = dir.File("window.gsd");
  StartBatch(DataFile("gated128"), viaWindow);
  form->edHeight->setText("170");
  form->edWeight->setText("65.5");
  form->edComment->setText("rest study");
  form->cbMflag->setChecked(true);
  form->BtOKClick();
  ASSERT_EQ(fake.exits, std::vector<int>{0});
  std::string viaTool = dir.File("tool.gsd");
  CommandResult run =
      RunCommand(std::string(DGC_BINARY_DIR) +
                 "/dicom2gsd --base-to-apex --height 170 --weight 65.5 --comment 'rest study' " +
                 ShellQuote(DataFile("gated128")) + " " + ShellQuote(viaTool));
  ASSERT_EQ(run.exitCode, 0) << run.output;
  EXPECT_EQ(ReadBytes(viaWindow), ReadBytes(viaTool));
}

TEST_F(MainFormTest, ConversionMessagesNameTheFirstFailingField) {
  std::string out = dir.File("o.gsd");
  StartBatch(DataFile("gated64"), out);
  form->edHR->setText("75 ");
  form->edPix->setText("abc");
  form->BtOKClick();
  ASSERT_EQ(fake.errors.size(), 1u);
  EXPECT_EQ(fake.errors[0], QString::fromUtf8("'75 ' は整数ではありません"));
  EXPECT_EQ(form->focusWidget(), form->edHR);
  EXPECT_FALSE(FileExists(out));
  EXPECT_TRUE(fake.exits.empty());
  form->edHR->setText("75");
  form->BtOKClick();
  ASSERT_EQ(fake.errors.size(), 2u);
  EXPECT_EQ(fake.errors[1], QString::fromUtf8("'abc' は浮動小数点数ではありません"));
  EXPECT_FALSE(FileExists(out));
  EXPECT_EQ(form->edPix->text(), "abc") << "fields stay as the operator left them";
  EXPECT_EQ(form->focusWidget(), form->edPix);
  form->edPix->setText(QString::fromUtf8("６.４"));  // full-width digits, not Latin-1
  form->BtOKClick();
  EXPECT_EQ(fake.errors.back(), QString::fromUtf8("'６.４' は浮動小数点数ではありません"));
}

TEST_F(MainFormTest, SaveStoresNumbersAsTheRecordHoldsThem) {
  std::string out = dir.File("o.gsd");
  StartBatch(DataFile("gated64"), out);
  form->edDiv->setText("2");
  form->edFrm->setText("3");
  form->rbF->setChecked(true);
  form->BtOKClick();
  ASSERT_EQ(fake.exits, std::vector<int>{0});
  GsdFile gsd;
  std::string error;
  ASSERT_TRUE(ReadGsdFile(out.c_str(), gsd, error)) << error;
  EXPECT_EQ(*gsd.Field("division"), "2");
  EXPECT_EQ(*gsd.Field("frames"), "3");
  EXPECT_EQ(gsd.Gates(), 2) << "fewer gates and frames write the first ones";
  EXPECT_EQ(*gsd.Field("sex"), "F");
  EXPECT_EQ(gsd.Field("height"), nullptr) << "height left at 0";
  EXPECT_EQ(gsd.Field("weight"), nullptr);
}

// Save refuses what the file could not hold: a sex nobody chose, counts
// beyond the loaded frames, numbers beyond their fields. Each is said
// before the save dialog, focus goes to the field and nothing is written.
TEST_F(MainFormTest, SaveRefusesAnUnsetSexAndImplausibleNumbers) {
  const struct {
    const char* file;
    QLineEdit* TMainForm::*edit;  // nullptr: nothing typed
    const char* typed;
    const char* message;
    const char* focus;
  } cases[] = {
      {"sex_missing", nullptr, "", "Sex is not set: choose Male or Female", "rbM"},
      {"gated64", &TMainForm::edDiv, "16", "'16' は 0 から 8 までの整数ではありません", "edDiv"},
      {"gated64", &TMainForm::edFrm, "5", "'5' は 0 から 4 までの整数ではありません", "edFrm"},
      {"gated64_8x8", &TMainForm::edFrm, "9", "'9' は 0 から 8 までの整数ではありません", "edFrm"},
      {"gated64", &TMainForm::edHR, "65538",
       "'65538' は -32768 から 32767 までの整数ではありません", "edHR"},
      {"gated64", &TMainForm::edHeight, "-170",
       "'-170' は 0 以上の有限の浮動小数点数ではありません", "edHeight"},
  };
  StartInteractive();
  for (const auto& c : cases) {
    fake.errors.clear();
    fake.inputs.push_back(QString::fromStdString(DataFile(c.file)));
    form->btInClick();
    ASSERT_TRUE(form->BtOK->isEnabled()) << c.file;
    const bool sexShown = form->rbM->isChecked() || form->rbF->isChecked();
    EXPECT_EQ(sexShown, std::string(c.file) != "sex_missing") << c.file << ": neither if unknown";
    if (c.edit != nullptr) (form.get()->*c.edit)->setText(c.typed);
    form->BtOKClick();
    ASSERT_EQ(fake.errors.size(), 1u) << c.message;
    EXPECT_EQ(fake.errors[0], QString::fromUtf8(c.message));
    ASSERT_NE(form->focusWidget(), nullptr) << c.message;
    EXPECT_EQ(form->focusWidget()->objectName().toStdString(), c.focus);
    EXPECT_TRUE(fake.proposedOutputs.empty()) << c.message << ": no save dialog";
    EXPECT_TRUE(fake.exits.empty()) << c.message;
  }

  // A choice made, the buttons exclude each other again and Save goes on.
  fake.inputs.push_back(QString::fromStdString(DataFile("sex_missing")));
  form->btInClick();
  form->edHeight->setText("0");
  form->rbF->click();
  form->rbM->click();
  EXPECT_FALSE(form->rbF->isChecked());
  form->BtOKClick();
  EXPECT_EQ(fake.proposedOutputs.size(), 1u);
  EXPECT_STREQ(StudyRecord.sex, "") << "a cancelled save dialog stores nothing";
}

TEST_F(MainFormTest, LatinOneTextsComeBackUnchanged) {
  StartBatch(DataFile("name_latin1"), dir.File("o.gsd"));
  std::string loaded = StudyRecord.patientName;
  ASSERT_NE(loaded.find('\xFC'), std::string::npos);
  form->BtOKClick();
  EXPECT_EQ(std::string(StudyRecord.patientName), loaded);
  // Typed characters beyond Latin-1 become "_", one each, a character
  // outside the 16-bit range included; Latin-1 ones stay.
  form->edComment->setText(QString::fromUtf8("caf\u00e9 \u0141\U0001F600"));
  form->BtOKClick();
  EXPECT_EQ(std::string(StudyRecord.comment), "caf\xE9 __");
}

TEST_F(MainFormTest, InteractiveSaveAsksForTheOutputAndACancelChangesNothing) {
  StartInteractive();
  fake.inputs.push_back(QString::fromStdString(DataFile("gated64")));
  form->btInClick();
  TStudyRecord before = StudyRecord;
  form->edName->setText("CHANGED");
  form->BtOKClick();  // save dialog cancelled
  EXPECT_TRUE(fake.exits.empty());
  EXPECT_STREQ(StudyRecord.patientName, before.patientName);
  fake.outputs.push_back(QString::fromStdString(dir.File("chosen.gsd")));
  form->BtOKClick();
  EXPECT_EQ(fake.exits, std::vector<int>{0});
  EXPECT_EQ(OutputPath, dir.File("chosen.gsd"));
  EXPECT_TRUE(FileExists(dir.File("chosen.gsd")));

  // Save proposes the input's name beside it, then in the last output folder;
  // Select starts in the last input folder.
  const QString input = QString::fromStdString(DataFile("gated64"));
  const QString inputFolder = QFileInfo(input).absolutePath();
  EXPECT_EQ(fake.proposedOutputs[0], inputFolder + "/gated64.gsd");
  form->BtOKClick();  // dialog cancelled
  EXPECT_EQ(fake.proposedOutputs[2], QString::fromStdString(dir.File("gated64.gsd")));
  TMainForm next(&fake);
  fake.inputs.push_back(std::nullopt);
  next.btInClick();
  EXPECT_EQ(fake.openFolders, (std::vector<QString>{"", inputFolder}));
}

TEST_F(MainFormTest, WriteFailuresEndWithOneAndSayWhy) {
  WriteBytes(dir.File("in.dcm"), ReadBytes(DataFile("gated64")));
  const struct {
    std::string output;
    const char* reason;
  } cases[] = {{dir.File("missing-folder/o.gsd"), "cannot write: No such file or directory"},
               {dir.File("in.dcm"), "cannot write: it is the input file"}};
  for (const auto& c : cases) {
    fake.exits.clear();
    fake.errors.clear();
    StartBatch(dir.File("in.dcm"), c.output);
    form->BtOKClick();
    EXPECT_EQ(fake.exits, std::vector<int>{1});
    ASSERT_EQ(fake.errors.size(), 1u);
    EXPECT_TRUE(fake.errors[0].startsWith(QString::fromStdString(c.output) + "\n\n" + c.reason))
        << fake.errors[0].toStdString();
  }
  EXPECT_EQ(ReadBytes(dir.File("in.dcm")), ReadBytes(DataFile("gated64")));
}

TEST_F(MainFormTest, KeysEscCancelsAndEnterSaves) {
  StartBatch(DataFile("gated64"), dir.File("o.gsd"));
  form->show();
  QTest::keyClick(form->edName, Qt::Key_Escape);
  EXPECT_EQ(fake.exits, std::vector<int>{-1});
  fake.exits.clear();
  form->edName->setFocus();
  QTest::keyClick(form->edName, Qt::Key_Return);
  EXPECT_EQ(fake.exits, std::vector<int>{0});
  EXPECT_TRUE(FileExists(dir.File("o.gsd")));
  fake.exits.clear();
  form->BitBtn2->click();
  EXPECT_EQ(fake.exits, std::vector<int>{-1});
  // Enter on a focused Cancel cancels, on a focused Help opens help.
  fake.exits.clear();
  form->BitBtn2->setFocus();
  QTest::keyClick(form->BitBtn2, Qt::Key_Return);
  EXPECT_EQ(fake.exits, std::vector<int>{-1});
  fake.exits.clear();
  form->btHelp->setFocus();
  QTest::keyClick(form->btHelp, Qt::Key_Enter);
  EXPECT_TRUE(fake.exits.empty());
  EXPECT_EQ(fake.opened.size(), 2u);
  // Ctrl+O is Select (not in batch mode, which has no Select), F1 is Help.
  form->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(form.get()));
  QTest::keyClick(form->edName, Qt::Key_F1);
  EXPECT_EQ(fake.opened.size(), 4u);
  QTest::keyClick(form->edName, Qt::Key_O, Qt::ControlModifier);
  EXPECT_TRUE(fake.openFolders.empty());
  BatchMode = false;
  QTest::keyClick(form->edName, Qt::Key_O, Qt::ControlModifier);
  EXPECT_EQ(fake.openFolders.size(), 1u);
}

TEST_F(MainFormTest, HelpOpensTheFileBesideTheProgramAndIgnoresTheAnswer) {
  StartInteractive();
  form->btHelpClick();
  ASSERT_EQ(fake.opened.size(), 2u);
  EXPECT_TRUE(fake.opened[0].endsWith("/dicom.chm"));
  EXPECT_TRUE(fake.opened[1].endsWith("/dicom.html")) << "the HTML copy when no CHM viewer opens";
  ASSERT_EQ(fake.warnings.size(), 1u) << "nothing opened: say where the guide is";
  EXPECT_TRUE(fake.warnings[0].contains(fake.opened[1]));
  fake.openAccepted = true;
  form->btHelpClick();
  EXPECT_EQ(fake.opened.size(), 3u);
  EXPECT_EQ(fake.warnings.size(), 1u);
  fake.openAccepted = false;
  EXPECT_EQ(form->OpenDocumentWithShell("/x/dicom.chm"), -1);
  fake.openAccepted = true;
  EXPECT_EQ(form->OpenDocumentWithShell("/x/dicom.chm"), 0);
  EXPECT_TRUE(fake.exits.empty());
}

// Delivers a drop without a drag session, which QApplication would not route.
class DropTarget : public TMainForm {
 public:
  using TMainForm::dropEvent;
  using TMainForm::eventFilter;
  using TMainForm::TMainForm;
};

TEST_F(MainFormTest, DroppedFileLoadsLikeSelect) {
  DropTarget target(&fake);
  ASSERT_TRUE(target.acceptDrops());
  QMimeData data;
  data.setUrls({QUrl::fromLocalFile(QString::fromStdString(DataFile("gated64")))});
  QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
  // Qt routes a drop only inside a drag session, which offscreen has not:
  // the field's filter is called as the routing would call it.
  EXPECT_TRUE(target.eventFilter(target.edComment, &drop)) << "the field never sees the URL";
  EXPECT_EQ(target.edID->text(), "A 12");
  EXPECT_EQ(target.edComment->text(), "") << "the URL is not typed into the field";
  EXPECT_TRUE(target.BtOK->isEnabled());
  EXPECT_EQ(target.pnIn->toolTip().toStdString(), DataFile("gated64"));

  BatchMode = true;
  InputPath = DataFile("gated64_8x8");
  DropTarget batch(&fake);
  QDropEvent again(QPointF(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
  EXPECT_TRUE(batch.eventFilter(batch.edComment, &again));
  EXPECT_FALSE(again.isAccepted());
  EXPECT_EQ(InputPath, DataFile("gated64_8x8")) << "batch mode refuses drops";
}

TEST_F(MainFormTest, ViewsStretchElideAndShowBeginnings) {
  StartInteractive();
  form->show();
  EXPECT_EQ(form->minimumSize(), QSize(493, 252));
  EXPECT_NE(form->BtOK->palette().color(QPalette::Disabled, QPalette::ButtonText),
            QColor(Qt::black))
      << "a disabled Save must look disabled";
  form->resize(800, 500);
  EXPECT_EQ(form->Panel1->geometry(), QRect(0, 0, 800, 34));
  EXPECT_EQ(form->Panel4->geometry(), QRect(0, 34, 800, 466));
  EXPECT_EQ(form->BtOK->geometry(), QRect(260, 188, 73, 25)) << "controls keep their places";

  std::string folder = dir.path();
  for (int i = 0; i < 6; ++i) ::mkdir((folder += "/a-rather-long-folder-name").c_str(), 0755);
  WriteBytes(folder + "/study.dcm", ReadBytes(DataFile("gated64")));
  fake.inputs.push_back(QString::fromStdString(folder + "/study.dcm"));
  form->btInClick();
  EXPECT_TRUE(form->pnIn->text().endsWith("/study.dcm")) << form->pnIn->text().toStdString();
  EXPECT_TRUE(form->pnIn->text().contains(QChar(0x2026)));
  EXPECT_EQ(form->pnIn->toolTip().toStdString(), folder + "/study.dcm");
  EXPECT_EQ(form->edPix->cursorPosition(), 0);
  EXPECT_EQ(form->edID->cursorPosition(), 0);
}

// The image pane: folded by default, unfolded it adds its width; the slider,
// the cine and the order box change what it shows and nothing else.
TEST_F(MainFormTest, ImagePaneShowsWhatSaveWouldWrite) {
  StartInteractive();
  EXPECT_FALSE(form->btImages->isEnabled()) << "nothing to show before a load";
  EXPECT_EQ(form->btImages->geometry(), QRect(8, 188, 121, 25));
  fake.inputs.push_back(QString::fromStdString(DataFile("gated64")));
  form->btInClick();
  ASSERT_TRUE(form->btImages->isEnabled());
  EXPECT_TRUE(form->imagePane->isHidden());
  EXPECT_EQ(form->size(), QSize(493, 252));
  const TStudyRecord record = StudyRecord;
  const std::vector<std::int16_t> store(ImageStore, ImageStore + kStoreValues);

  form->btImages->click();
  EXPECT_EQ(form->size(), QSize(493 + TMainForm::kImagePaneWidth, 252));
  EXPECT_EQ(form->btImages->text(), "<< Images");
  EXPECT_EQ(form->imagePane->geometry(), QRect(493, 0, TMainForm::kImagePaneWidth, 252));
  ImagePane* pane = form->imagePane;
  pane->gateSlider->setValue(3);
  EXPECT_EQ(pane->montage->Strip(), RenderGateStrip(3, 4, false, StudyRecord.maxCount));
  form->cbMflag->setChecked(true);
  EXPECT_EQ(pane->montage->Strip(), RenderGateStrip(3, 4, true, StudyRecord.maxCount));
  EXPECT_EQ(pane->facts->text(), "8 gates x 4 frames, matrix 64 x 64 read, 64 x 64 written, max " +
                                     QString::number(StudyRecord.maxCount));
  pane->playButton->click();
  for (int wait = 0; wait < 50 && pane->Gate() == 3; ++wait)
    QTest::qWait(1000 / ImagePane::kCineRate);
  pane->playButton->click();
  EXPECT_NE(pane->Gate(), 3) << "the cine moved on";

  form->btImages->click();
  EXPECT_EQ(form->size(), QSize(493, 252));
  EXPECT_EQ(form->btImages->text(), "Images >>");
  EXPECT_EQ(std::memcmp(&record, &StudyRecord, sizeof record), 0);
  EXPECT_TRUE(std::equal(store.begin(), store.end(), ImageStore));

  // The choice outlives the window: the next one opens the pane on load.
  form->btImages->click();
  StartBatch(DataFile("gated64"), dir.File("o.gsd"));
  EXPECT_FALSE(form->imagePane->isHidden());
  EXPECT_EQ(form->size(), QSize(493 + TMainForm::kImagePaneWidth, 218));
}

TEST(ImagePaneTest, MontageOrderScaleAndFit) {
  std::fill(ImageStore, ImageStore + kStoreValues, std::int16_t{0});
  std::int16_t* frame1 = ImageStore + FrameSlotIndex(2, 1);
  frame1[20 * 64 + 30] = 500;  // the study maximum
  frame1[21 * 64 + 30] = 250;
  frame1[22 * 64 + 30] = 30000;  // above it: white as well
  frame1[23 * 64 + 30] = -7;     // below zero: black
  for (bool baseToApex : {true, false}) {
    QImage strip = RenderGateStrip(2, 5, baseToApex, 500);
    ASSERT_EQ(strip.size(), QSize(64, 5 * 64));
    const int top = (baseToApex ? 1 : 3) * 64;  // frame 1 of 5, first to last or last to first
    EXPECT_EQ(qGray(strip.pixel(30, top + 20)), 255) << baseToApex;
    EXPECT_EQ(qGray(strip.pixel(30, top + 21)), 127);
    EXPECT_EQ(qGray(strip.pixel(30, top + 22)), 255);
    EXPECT_EQ(qGray(strip.pixel(30, top + 23)), 0);
    int bright = 0;
    for (int y = 0; y < strip.height(); ++y)
      for (int x = 0; x < strip.width(); ++x) bright += qGray(strip.pixel(x, y)) == 255;
    EXPECT_EQ(bright, 2);
  }
  const struct {
    int slices;
    QSize room;
    int columns, rows, cell;
  } fits[] = {{16, {256, 256}, 4, 4, 64},
              {1, {300, 200}, 1, 1, 192},
              {32, {548, 150}, 11, 3, 49},
              {64, {100, 100}, 8, 8, 12}};
  for (const auto& f : fits) {
    MontageLayout layout = FitMontage(f.slices, f.room);
    EXPECT_EQ(layout.columns, f.columns) << f.slices;
    EXPECT_EQ(layout.rows, f.rows) << f.slices;
    EXPECT_EQ(layout.cell, f.cell) << f.slices;
  }
}

// The real message boxes and file dialogs, closed by a timer: their titles,
// and where the dialogs start.
TEST(DesktopServicesTest, RealBoxesAndDialogs) {
  DesktopServices desktop(true);
  QString title, folder, file;
  auto closeNextModal = [&](bool accept) {
    QTimer::singleShot(0, [&, accept] {
      QWidget* modal = QApplication::activeModalWidget();
      ASSERT_NE(modal, nullptr);
      title = modal->windowTitle();
      if (auto* dialog = qobject_cast<QFileDialog*>(modal)) {
        folder = dialog->directory().absolutePath();
        file = dialog->selectedFiles().value(0);
      }
      QTest::keyClick(modal, Qt::Key_Escape);
      if (accept) static_cast<QDialog*>(modal)->accept();
    });
  };
  closeNextModal(false);
  desktop.ShowError(nullptr, "x");
  EXPECT_EQ(title, "DICOM Data Converter");
  closeNextModal(false);
  desktop.ShowWarning(nullptr, "x");
  EXPECT_EQ(title, "Warning");
  closeNextModal(false);
  EXPECT_FALSE(desktop.AskYesNo(nullptr, "Not NM Images!\n Continue?", "Warning", true));
  EXPECT_EQ(title, "Warning");
  EXPECT_EQ(QGuiApplication::applicationDisplayName(), QCoreApplication::applicationName())
      << "a display name would be appended to every title";

  TempDir dir;
  closeNextModal(false);
  EXPECT_FALSE(desktop.ChooseInputFile(nullptr, QString::fromStdString(dir.path())));
  EXPECT_EQ(folder.toStdString(), dir.path());
  closeNextModal(false);
  desktop.ChooseOutputFile(nullptr, QString::fromStdString(dir.File("study.gsd")));
  EXPECT_EQ(folder.toStdString(), dir.path());
  EXPECT_EQ(file.toStdString(), dir.File("study.gsd"));
  EXPECT_FALSE(title.isEmpty());
}

TEST_F(MainFormTest, TabOrderFollowsTheForm) {
  StartInteractive();
  const char* expected[] = {"edID",    "edName",   "edHeight",  "edWeight", "edDate", "edTime",
                            "edHR",    "edTracer", "edComment", "rbM",      "rbF",    "edPix",
                            "edThick", "edDiv",    "edFrm",     "cbMflag",  "btHelp", "BitBtn2"};
  QWidget* w = form->edID;
  for (std::size_t i = 1; i < std::size(expected); ++i) {
    w = w->nextInFocusChain();
    while (w->focusPolicy() == Qt::NoFocus || !w->isEnabled() || w->objectName().isEmpty())
      w = w->nextInFocusChain();
    EXPECT_EQ(w->objectName().toStdString(), expected[i]);
  }
}

TEST(DicomConverterProcess, BatchLoadFailuresGiveTheirExitCodes) {
  TempDir dir;
  std::string program = std::string(DGC_BINARY_DIR) + "/dicom-converter";
  struct {
    std::string input;
    int code;
  } const cases[] = {
      {dir.File("missing.dcm"), 1}, {DataFile("pixel_short2"), 4}, {DataFile("matrix256"), 1}};
  for (const auto& c : cases) {
    CommandResult run = RunCommand("QT_QPA_PLATFORM=offscreen timeout 20 " + program + " " +
                                   ShellQuote(c.input) + " " + ShellQuote(dir.File("o.gsd")));
    EXPECT_EQ(run.exitCode, c.code) << c.input << ": " << run.output;
    EXPECT_NE(run.output.find("dicom-converter: " + c.input + ": "), std::string::npos)
        << run.output;
    // Without a screen, one line on stderr says why (the toolkit may add its own notes).
    std::istringstream errors(run.standardError);
    int reasons = 0;
    for (std::string line; std::getline(errors, line);)
      reasons += line.rfind("dicom-converter: ", 0) == 0;
    EXPECT_EQ(reasons, 1) << run.standardError;
    EXPECT_EQ(run.standardOutput, "") << c.input;
    EXPECT_FALSE(FileExists(dir.File("o.gsd")));
  }
}

}  // namespace

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication application(argc, argv);
  TApplication::Configure();
  QStandardPaths::setTestModeEnabled(true);  // QSettings of the tests' own
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
