// The main window in-process (offscreen), with a stand-in for the operator's
// dialogs and for process exit: initial state, loads, Save, the conversion
// messages, keys, help, drops and the batch-mode start.
#include "main_form.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QUrl>
#include <cstring>
#include <deque>

#include "gsd_reader.h"
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

  std::optional<QString> ChooseInputFile(QWidget*) override { return Next(inputs); }
  std::optional<QString> ChooseOutputFile(QWidget*) override { return Next(outputs); }
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
  EXPECT_EQ(form->pnIn->text().toStdString(), DataFile("gated64"));
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
  fake.exits.clear();
  fake.inputs.push_back(QString::fromStdString(DataFile("pixel_short2")));
  form->btInClick();
  EXPECT_EQ(fake.exits, std::vector<int>{4});
}

struct BatchFieldCase {
  const char* file;
  const char* pixel;
  const char* thick;
  const char* heartRate;
  bool female;
};

TEST_F(MainFormTest, BatchStartFillsEveryField) {
  const BatchFieldCase cases[] = {
      {"zero_pixel", "0", "6.4", "60", false}, {"no_sizes", "-1", "-1", "60", false},
      {"hr_empty", "6.4", "6.4", "-1", false}, {"sex_missing", "6.4", "6.4", "60", true},
      {"gated128", "6.4", "6.4", "60", false},
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
  EXPECT_FALSE(FileExists(out));
  EXPECT_TRUE(fake.exits.empty());
  form->edHR->setText("75");
  form->BtOKClick();
  ASSERT_EQ(fake.errors.size(), 2u);
  EXPECT_EQ(fake.errors[1], QString::fromUtf8("'abc' は浮動小数点数ではありません"));
  EXPECT_FALSE(FileExists(out));
  EXPECT_EQ(form->edPix->text(), "abc") << "fields stay as the operator left them";
}

TEST_F(MainFormTest, SaveStoresNumbersAsTheRecordHoldsThem) {
  std::string out = dir.File("o.gsd");
  StartBatch(DataFile("gated64"), out);
  form->edDiv->setText("65538");
  form->edFrm->setText("3");
  form->rbF->setChecked(true);
  form->BtOKClick();
  ASSERT_EQ(fake.exits, std::vector<int>{0});
  GsdFile gsd;
  std::string error;
  ASSERT_TRUE(ReadGsdFile(out.c_str(), gsd, error)) << error;
  EXPECT_EQ(*gsd.Field("division"), "2");
  EXPECT_EQ(*gsd.Field("frames"), "3");
  EXPECT_EQ(*gsd.Field("sex"), "F");
  EXPECT_EQ(gsd.Field("height"), nullptr) << "height left at 0";
  EXPECT_EQ(gsd.Field("weight"), nullptr);
}

TEST_F(MainFormTest, LatinOneTextsComeBackUnchanged) {
  StartBatch(DataFile("name_latin1"), dir.File("o.gsd"));
  std::string loaded = StudyRecord.patientName;
  ASSERT_NE(loaded.find('\xFC'), std::string::npos);
  form->BtOKClick();
  EXPECT_EQ(std::string(StudyRecord.patientName), loaded);
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
}

TEST_F(MainFormTest, WriteFailureEndsWithOne) {
  StartBatch(DataFile("gated64"), dir.File("missing-folder/o.gsd"));
  form->BtOKClick();
  EXPECT_EQ(fake.exits, std::vector<int>{1});
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
  EXPECT_EQ(fake.opened.size(), 1u);
}

TEST_F(MainFormTest, HelpOpensTheFileBesideTheProgramAndIgnoresTheAnswer) {
  StartInteractive();
  form->btHelpClick();
  ASSERT_EQ(fake.opened.size(), 1u);
  EXPECT_TRUE(fake.opened[0].endsWith("/dicom.chm"));
  EXPECT_EQ(form->OpenDocumentWithShell("/x/dicom.chm"), -1);
  fake.openAccepted = true;
  EXPECT_EQ(form->OpenDocumentWithShell("/x/dicom.chm"), 0);
  EXPECT_TRUE(fake.exits.empty());
}

// Delivers a drop without a drag session, which QApplication would not route.
class DropTarget : public TMainForm {
 public:
  using TMainForm::dropEvent;
  using TMainForm::TMainForm;
};

TEST_F(MainFormTest, DroppedFileLoadsLikeSelect) {
  DropTarget target(&fake);
  ASSERT_TRUE(target.acceptDrops());
  QMimeData data;
  data.setUrls({QUrl::fromLocalFile(QString::fromStdString(DataFile("gated64")))});
  QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
  target.dropEvent(&drop);
  EXPECT_EQ(target.edID->text(), "A 12");
  EXPECT_TRUE(target.BtOK->isEnabled());
  EXPECT_EQ(target.pnIn->text().toStdString(), DataFile("gated64"));
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
    EXPECT_FALSE(FileExists(dir.File("o.gsd")));
  }
}

}  // namespace

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication application(argc, argv);
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
