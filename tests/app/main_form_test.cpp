// The main window in-process (offscreen), with a stand-in for the operator's
// dialogs and for process exit: initial state, loads, Save, the conversion
// messages, keys, help, drops and the batch-mode start.
#include "app/main_form.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QApplication>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QFileInfo>
#include <QFocusFrame>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QMimeData>
#include <QMimeDatabase>
#include <QProgressBar>
#include <QProgressDialog>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QSettings>
#include <QSlider>
#include <QSpinBox>
#include <QStandardPaths>
#include <QTableWidget>
#include <QTest>
#include <QTextEdit>
#include <QTimer>
#include <QToolButton>
#include <QUrl>
#include <chrono>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <sstream>

#include "app/application.h"
#include "app/field_edit.h"
#include "app/gate_curve_view.h"
#include "app/image_pane.h"
#include "gsd/gsd_reader.h"
#include "model/study_state.h"
#include "platform/running_process.h"
#include "tests/test_support.h"

namespace {

class FakeOperator : public FormServices {
 public:
  std::deque<std::optional<QString>> inputs, outputs;
  std::vector<QString> errors, warnings, questions, found, opened;
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
  bool AskYesNo(QWidget*, const QString& text, const QString& caption, bool defaultYes,
                const QString& informative) override {
    questions.push_back(caption + "|" + text + (defaultYes ? "|Yes" : "|No"));
    found.push_back(informative);
    return answerYes;
  }
  bool OpenDocument(const QString& path) override {
    opened.push_back(path);
    return openAccepted;
  }
  void EndProcess(int code) override { exits.push_back(code); }
  // The real scan, as the progress dialog runs it, unless the operator
  // cancels it; the list records what it was shown and picks a row.
  bool cancelScan = false;
  std::vector<QString> scanned;
  std::vector<std::vector<StudyFacts>> lists;
  std::deque<std::optional<std::size_t>> picks;
  std::optional<TreeScanResult> ScanForStudies(QWidget*, const QString& path) override {
    scanned.push_back(path);
    if (cancelScan) return std::nullopt;
    return ScanTrees({path.toStdString()}, ScanOptions());
  }
  std::optional<std::size_t> ChooseStudy(QWidget*,
                                         const std::vector<StudyFacts>& studies) override {
    lists.push_back(studies);
    if (picks.empty()) return std::nullopt;
    std::optional<std::size_t> pick = picks.front();
    picks.pop_front();
    return pick;
  }

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
  void SetUp() override { QSettings().clear(); }
  void StartBatch(const std::string& input, const std::string& output) {
    form = std::make_unique<TMainForm>(WindowStart{true, input, output}, &fake);
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
  EXPECT_EQ(form->InputPath(), DataFile("gated64"));
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

// Interactively a failed load says why and leaves the window empty, ready
// for another file: the process goes on, whatever study was shown before.
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
    // The input row stays, read-only: input and output instead of Select.
    EXPECT_FALSE(form->Panel1->isHidden()) << c.file;
    EXPECT_TRUE(form->btIn->isHidden());
    EXPECT_FALSE(form->pnOut->isHidden());
    EXPECT_EQ(form->pnIn->toolTip().toStdString(), DataFile(c.file));
    EXPECT_EQ(form->pnOut->toolTip().toStdString(), dir.File("o.gsd"));
    EXPECT_TRUE(form->pnOut->text().endsWith("/o.gsd")) << "elided in the middle";
    EXPECT_EQ(form->size(), QSize(493, 252)) << c.file;
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
  EXPECT_EQ(fake.found,
            std::vector<QString>{"Image Type: ORIGINAL\\PRIMARY\\GATED TOMO\\EMISSION"});
  EXPECT_EQ(fake.exits, std::vector<int>{1});
  EXPECT_TRUE(fake.errors.empty()) << "no box after the operator's own No";
  fake.exits.clear();
  StartBatch(DataFile("nf130_16gates"), dir.File("o.gsd"));
  ASSERT_EQ(fake.warnings.size(), 1u);
  EXPECT_TRUE(fake.warnings[0].endsWith("the last 2 frames are not converted"))
      << fake.warnings[0].toStdString();
  // Irregular gating is a caveat in the same one box, never a refusal.
  StartBatch(DataFile("gating_drop"), dir.File("o.gsd"));
  ASSERT_EQ(fake.warnings.size(), 2u);
  EXPECT_TRUE(fake.warnings[1].contains("in gates 14-16 (-26 %)"))
      << fake.warnings[1].toStdString();
  fake.questions.clear();
  StartBatch(DataFile("modality_ct"), dir.File("o.gsd"));
  EXPECT_EQ(fake.questions, std::vector<QString>{"Warning|Not NM Images!\n Continue?|Yes"});
  EXPECT_EQ(fake.found.back(), "Modality: CT");
  EXPECT_EQ(fake.exits, std::vector<int>{1});
  fake.exits.clear();
  fake.answerYes = true;
  StartBatch(DataFile("modality_ct"), dir.File("o.gsd"));
  EXPECT_TRUE(fake.exits.empty());
  EXPECT_TRUE(form->BtOK->isEnabled());
}

// A decode that takes long shows a dialog naming the encoding while the
// window keeps running, its bar counting the frames the helper has sent
// back; its Cancel ends the helper and the load like the operator's own No:
// exit 1, no box. The stand-in sends a header and three and a half frames
// of gated64's 32 (64 x 64, 16 bits) and hangs.
TEST_F(MainFormTest, ASlowDecodeShowsItsProgressAndCanBeCancelled) {
  const std::string helper = dir.File("slow-helper");
  WriteBytes(helper, "#!/bin/sh\nhead -c " + std::to_string(3 * 8192 + 6000) +
                         " /dev/zero\nexec sleep 30\n");
  ASSERT_EQ(::chmod(helper.c_str(), 0700), 0);
  StartInteractive();
  form->show();
  form->SetDecoderSettings({true, helper, 20});
  QString label, tip, frames;
  bool busy = false;
  QTimer watcher;
  QElapsedTimer waited;
  waited.start();
  QObject::connect(&watcher, &QTimer::timeout, [&] {
    for (QWidget* widget : QApplication::topLevelWidgets()) {
      auto* dialog = qobject_cast<QProgressDialog*>(widget);
      if (dialog == nullptr || !dialog->isVisible()) continue;
      label = dialog->labelText();
      tip = dialog->toolTip();
      busy = QApplication::overrideCursor() != nullptr &&
             QApplication::overrideCursor()->shape() == Qt::WaitCursor;
      if (auto* bar = dialog->findChild<QProgressBar*>()) frames = bar->text();
      if (frames == "3 of 32 frames" || waited.elapsed() > 5000) dialog->cancel();
    }
  });
  watcher.start(100);
  fake.inputs.push_back(QString::fromStdString(DataFile("encoded/gated64.j2k")));
  const auto start = std::chrono::steady_clock::now();
  form->btInClick();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  EXPECT_EQ(label, "Decoding JPEG 2000 Lossless ...") << "the encoding's name first";
  EXPECT_EQ(frames, "3 of 32 frames") << "a frame counts once all its bytes are back";
  EXPECT_EQ(tip, "Transfer syntax 1.2.840.10008.1.2.4.90");
  EXPECT_TRUE(busy) << "a busy cursor while the load runs";
  EXPECT_EQ(QApplication::overrideCursor(), nullptr) << "and none after it";
  EXPECT_EQ(fake.exits, std::vector<int>{1});
  EXPECT_TRUE(fake.errors.empty()) << "no box after the operator's own cancel";
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
  ASSERT_EQ(fake.questions.size(), 1u) << "fewer gates and frames are said once";
  EXPECT_EQ(fake.questions[0], QString(kApplicationTitle) +
                                   "|8 gates x 4 frames were loaded; 2 x 3 will be written. "
                                   "Save?|No");
  EXPECT_TRUE(fake.exits.empty()) << "No writes nothing";
  EXPECT_FALSE(FileExists(out));
  fake.answerYes = true;
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
      // Heights and weights no patient has; a blank after a float is no error.
      {"gated64", &TMainForm::edHeight, "19.9 ",
       "Height '19.9 ' cm is no patient's: 20 to 250 cm, or 0 to leave it out", "edHeight"},
      {"gated64", &TMainForm::edHeight, "1700",
       "Height '1700' cm is no patient's: 20 to 250 cm, or 0 to leave it out", "edHeight"},
      {"gated64", &TMainForm::edWeight, "0.4",
       "Weight '0.4' kg is no patient's: 0.5 to 400 kg, or 0 to leave it out", "edWeight"},
      {"gated64", &TMainForm::edWeight, "65000",
       "Weight '65000' kg is no patient's: 0.5 to 400 kg, or 0 to leave it out", "edWeight"},
  };
  StartInteractive();
  for (const auto& c : cases) {
    fake.errors.clear();
    fake.inputs.push_back(QString::fromStdString(DataFile(c.file)));
    form->btInClick();
    ASSERT_TRUE(form->BtOK->isEnabled()) << c.file;
    const bool sexShown = form->rbM->isChecked() || form->rbF->isChecked();
    EXPECT_EQ(sexShown, std::string(c.file) != "sex_missing") << c.file << ": neither if unknown";
    for (QLineEdit* measure : {form->edHeight, form->edWeight}) measure->setText("0");
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
  form->edWeight->setText("0");
  form->rbF->click();
  form->rbM->click();
  EXPECT_FALSE(form->rbF->isChecked());
  form->BtOKClick();
  EXPECT_EQ(fake.proposedOutputs.size(), 1u);
  EXPECT_STREQ(form->study().record.sex, "") << "a cancelled save dialog stores nothing";
}

TEST_F(MainFormTest, LatinOneTextsComeBackUnchanged) {
  StartBatch(DataFile("name_latin1"), dir.File("o.gsd"));
  std::string loaded = form->study().record.patientName;
  ASSERT_NE(loaded.find('\xFC'), std::string::npos);
  form->BtOKClick();
  EXPECT_EQ(std::string(form->study().record.patientName), loaded);
  // Typed characters beyond Latin-1 become "_", one each, a character
  // outside the 16-bit range included; Latin-1 ones stay.
  form->edComment->setText(QString::fromUtf8("caf\u00e9 \u0141\U0001F600"));
  form->BtOKClick();
  EXPECT_EQ(std::string(form->study().record.comment), "caf\xE9 __");
}

TEST_F(MainFormTest, InteractiveSaveAsksForTheOutputAndACancelChangesNothing) {
  StartInteractive();
  fake.inputs.push_back(QString::fromStdString(DataFile("gated64")));
  form->btInClick();
  TStudyRecord before = form->study().record;
  form->edName->setText("CHANGED");
  form->BtOKClick();  // save dialog cancelled
  EXPECT_TRUE(fake.exits.empty());
  EXPECT_STREQ(form->study().record.patientName, before.patientName);
  fake.outputs.push_back(QString::fromStdString(dir.File("chosen.gsd")));
  form->BtOKClick();
  EXPECT_EQ(fake.exits, std::vector<int>{0});
  EXPECT_EQ(form->OutputPath(), dir.File("chosen.gsd"));
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
  StartInteractive();
  form->show();
  form->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(form.get()));
  QTest::keyClick(form->edName, Qt::Key_O, Qt::ControlModifier);
  EXPECT_EQ(fake.openFolders.size(), 1u);
}

// The image pane only views: Enter in each of its controls acts on that
// control and never saves, in batch mode too; the form's Enter still does.
TEST_F(MainFormTest, EnterInAViewerControlNeverSaves) {
  const std::string out = dir.File("o.gsd");
  StartBatch(DataFile("gated64_16x64"), out);
  form->show();
  form->btImages->click();
  form->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(form.get()));
  ImagePane* pane = form->imagePane;
  const int max = form->study().record.maxCount;
  ASSERT_GT(max, 8);
  const struct {
    const char* control;
    int level, gate;  // what the pane shows after Enter (gate -1: any)
    bool playing;
  } cases[] = {
      {"levelBox", max / 3, 0, false},  // the level typed in it, taken at Enter
      {"gateSlider", max / 3, 0, false},
      {"playButton", max / 3, -1, true},   // Enter plays
      {"playButton", max / 3, -1, false},  // and stops
  };
  for (const auto& c : cases) {
    QWidget* control = pane->findChild<QWidget*>(c.control);
    ASSERT_NE(control, nullptr) << c.control;
    control->setFocus();
    if (control == pane->levelBox) {
      pane->levelBox->selectAll();
      QTest::keyClicks(pane->levelBox, QString::number(max / 3));
    }
    QTest::keyClick(control, Qt::Key_Return);
    EXPECT_EQ(pane->UpperLevel(), c.level) << c.control;
    if (c.gate >= 0) {
      EXPECT_EQ(pane->Gate(), c.gate) << c.control;
    }
    EXPECT_EQ(pane->playButton->isChecked(), c.playing) << c.control;
    EXPECT_TRUE(fake.exits.empty()) << c.control << ": no save";
    EXPECT_FALSE(FileExists(out)) << c.control;
  }
  form->edName->setFocus();
  QTest::keyClick(form->edName, Qt::Key_Enter);
  EXPECT_EQ(fake.exits, std::vector<int>{0}) << "Enter in a field of the form saves";
  EXPECT_TRUE(FileExists(out));
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

  DropTarget batch(WindowStart{true, DataFile("gated64_8x8"), ""}, &fake);
  QDropEvent again(QPointF(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
  EXPECT_TRUE(batch.eventFilter(batch.edComment, &again));
  EXPECT_FALSE(again.isAccepted());
  EXPECT_EQ(batch.InputPath(), DataFile("gated64_8x8")) << "batch mode refuses drops";
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
  const TStudyRecord record = form->study().record;
  const std::vector<std::int16_t> store(form->study().frames.begin(), form->study().frames.end());

  form->btImages->click();
  const int paneWidth = form->width() - 493;  // as the screen allows (FittedToA1024x768Screen)
  EXPECT_GE(paneWidth, TMainForm::kMinImagePaneWidth);
  EXPECT_EQ(form->height(), 252);
  EXPECT_EQ(form->btImages->text(), "<< Images");
  EXPECT_EQ(form->imagePane->geometry(), QRect(493, 0, paneWidth, 252));
  ImagePane* pane = form->imagePane;
  pane->gateSlider->setValue(3);
  EXPECT_EQ(pane->montage->Strip(),
            RenderGateStrip(form->study().frames, 3, 4, false, form->study().record.maxCount));
  form->cbMflag->setChecked(true);
  EXPECT_EQ(pane->montage->Strip(),
            RenderGateStrip(form->study().frames, 3, 4, true, form->study().record.maxCount));
  EXPECT_EQ(pane->facts->text(), "8 gates x 4 frames, matrix 64 x 64 read, 64 x 64 written, max " +
                                     QString::number(form->study().record.maxCount));
  // The count curve is the store's gate totals, with the gate shown marked.
  ASSERT_EQ(pane->curve->Curve().totals.size(), 8u);
  for (int g = 0; g < 8; ++g) {
    long long total = 0;
    for (int f = 0; f < 4; ++f)
      for (int i = 0; i < kFrameValues; ++i) total += store[FrameSlotIndex(g, f) + i];
    EXPECT_EQ(pane->curve->Curve().totals[static_cast<std::size_t>(g)], total) << g;
  }
  EXPECT_EQ(pane->curve->GateAt(pane->curve->width() - 5), 7);
  EXPECT_TRUE(pane->curve->GateText(3).startsWith("gate 4: "))
      << pane->curve->GateText(3).toStdString();
  EXPECT_EQ(pane->beats->text(),
            "the file holds no Intervals Acquired or Rejected, no R-R window (Low/High R-R Value) "
            "in the file");
  pane->playButton->click();
  for (int wait = 0; wait < 50 && pane->Gate() == 3; ++wait)
    QTest::qWait(1000 / ImagePane::kCineRate);
  pane->playButton->click();
  EXPECT_NE(pane->Gate(), 3) << "the cine moved on";
  // The pane shows only what Save will write: fewer gates or frames, R-R
  // Divisions 0 one gate; a count Save refuses leaves it as loaded.
  const struct {
    const char *gates, *frames;
    int shownGates, shownFrames;
  } counts[] = {{"2", "3", 2, 3}, {"0", "4", 1, 4}, {"9", "x", 8, 4}, {"8", "4", 8, 4}};
  for (const auto& c : counts) {
    form->edDiv->setText(c.gates);
    form->edFrm->setText(c.frames);
    EXPECT_EQ(pane->gateSlider->maximum(), c.shownGates - 1) << c.gates;
    EXPECT_TRUE(pane->facts->text().startsWith(
        QString("%1 gates x %2 frames").arg(c.shownGates).arg(c.shownFrames)))
        << pane->facts->text().toStdString();
    EXPECT_EQ(pane->montage->Strip().height(), c.shownFrames * 64) << c.frames;
  }

  form->btImages->click();
  EXPECT_EQ(form->size(), QSize(493, 252));
  EXPECT_EQ(form->btImages->text(), "Images >>");
  EXPECT_EQ(std::memcmp(&record, &form->study().record, sizeof record), 0);
  EXPECT_TRUE(std::equal(store.begin(), store.end(), form->study().frames.begin()));

  // The choice outlives the window: the next one opens the pane on load.
  form->btImages->click();
  StartBatch(DataFile("gated64"), dir.File("o.gsd"));
  EXPECT_FALSE(form->imagePane->isHidden());
  EXPECT_EQ(form->size(), QSize(493 + paneWidth, 252));
}

TEST(ImagePaneTest, MontageOrderScaleAndFit) {
  Study study;
  std::int16_t* frame1 = study.frames.Slot(2, 1);
  frame1[20 * 64 + 30] = 500;  // the study maximum
  frame1[21 * 64 + 30] = 250;
  frame1[22 * 64 + 30] = 30000;  // above it: white as well
  frame1[23 * 64 + 30] = -7;     // below zero: black
  for (bool baseToApex : {true, false}) {
    QImage strip = RenderGateStrip(study.frames, 2, 5, baseToApex, 500);
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
  // Cells fill the room, 1 pixel apart, at any scale.
  const struct {
    int slices;
    QSize room;
    int columns, rows, cell;
  } fits[] = {{16, {256, 256}, 4, 4, 63}, {1, {300, 200}, 1, 1, 200}, {32, {548, 150}, 11, 3, 48},
              {64, {100, 100}, 8, 8, 11}, {4, {300, 300}, 2, 2, 149}, {64, {1000, 250}, 16, 4, 61}};
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
  EXPECT_FALSE(
      desktop.AskYesNo(nullptr, "Not NM Images!\n Continue?", "Warning", true, "Modality: CT"));
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

// The open dialog refuses a name that does not exist: Qt's own warning, and
// the dialog stays open.
TEST(DesktopServicesTest, OpenDialogRefusesAMissingName) {
  DesktopServices desktop(true);
  TempDir dir;
  QString warning;
  bool stillOpen = false;
  QTimer::singleShot(0, [&] {
    auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
    ASSERT_NE(dialog, nullptr);
    QTimer::singleShot(0, [&, dialog] {
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      if (box != nullptr) {
        warning = box->text();
        box->reject();
      }
      QTimer::singleShot(0, [&, dialog] {
        stillOpen = dialog->isVisible();
        dialog->reject();
      });
    });
    dialog->selectFile(QString::fromStdString(dir.File("missing.dcm")));
    QMetaObject::invokeMethod(dialog, "accept");
  });
  EXPECT_FALSE(desktop.ChooseInputFile(nullptr, QString::fromStdString(dir.path())));
  EXPECT_TRUE(warning.contains("missing.dcm")) << warning.toStdString();
  EXPECT_TRUE(stillOpen);
}

// The real folder choice: the open dialog's Folder... button gives the
// folder it shows; the list shows a study per row and OK gives the one
// selected.
TEST(DesktopServicesTest, FolderButtonAndStudyList) {
  DesktopServices desktop(true);
  TempDir dir;
  QTimer::singleShot(0, [] {
    auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
    ASSERT_NE(dialog, nullptr);
    for (QPushButton* button : dialog->findChildren<QPushButton*>())
      if (button->text() == "&Folder...") button->click();
  });
  std::optional<QString> chosen =
      desktop.ChooseInputFile(nullptr, QString::fromStdString(dir.path()));
  ASSERT_TRUE(chosen);
  EXPECT_EQ(chosen->toStdString(), dir.path());

  std::vector<StudyFacts> studies(3);
  for (std::size_t i = 0; i < studies.size(); ++i) studies[i].patientId = "P" + std::to_string(i);
  int rows = 0;
  QTimer::singleShot(0, [&] {
    QWidget* dialog = QApplication::activeModalWidget();
    ASSERT_NE(dialog, nullptr);
    auto* table = dialog->findChild<QTableWidget*>();
    ASSERT_NE(table, nullptr);
    rows = table->rowCount();
    EXPECT_EQ(table->item(2, 0)->text(), "P2");
    table->selectRow(2);
    QMetaObject::invokeMethod(dialog, "accept");
  });
  EXPECT_EQ(desktop.ChooseStudy(nullptr, studies), std::optional<std::size_t>(2));
  EXPECT_EQ(rows, 3);
  // Enter in the list picks the row it stands on, and only that.
  QTimer::singleShot(0, [&] {
    QWidget* dialog = QApplication::activeModalWidget();
    ASSERT_NE(dialog, nullptr);
    auto* table = dialog->findChild<QTableWidget*>();
    ASSERT_NE(table, nullptr);
    table->setFocus();
    table->selectRow(1);
    QTest::keyClick(table, Qt::Key_Return);
  });
  EXPECT_EQ(desktop.ChooseStudy(nullptr, studies), std::optional<std::size_t>(1));

  // A stress and a rest series of one patient differ in their row, the name
  // decoded as the form decodes it; a sorted list still picks its row's study.
  for (std::size_t i = 0; i < 2; ++i) {
    studies[i].patientName = "M\xFCller^J\xF6rg";
    studies[i].specificCharacterSet = "ISO_IR 100";
    studies[i].studyDescription =
        "Myocardial perfusion, rest and stress, gated SPECT with attenuation correction";
    studies[i].seriesDescription = i == 0 ? "STRESS" : "REST";
    studies[i].seriesNumber = i == 0 ? "2" : "10";
    studies[i].seriesTime = i == 0 ? "101500.00" : "134501";
    studies[i].gates = 8;
    studies[i].framesPerGate = 32;
    studies[i].path = "/media/cdrom/DICOM/" + std::string(200, 'x') + "/IM" + std::to_string(i);
  }
  QTimer::singleShot(0, [&] {
    QWidget* dialog = QApplication::activeModalWidget();
    ASSERT_NE(dialog, nullptr);
    auto* table = dialog->findChild<QTableWidget*>();
    ASSERT_NE(table, nullptr);
    const struct {
      int row, column;
      const char* text;
    } cells[] = {
        {0, 1, "Müller^Jörg"},
        {0, 2, "Myocardial perfusion, rest and stress, gated SPECT with attenuation correction"},
        {0, 3, "STRESS"},
        {1, 3, "REST"},
        {0, 4, "2"},
        {1, 4, "10"},
        {0, 5, "10:15:00"},
        {1, 5, "13:45:01"},
        {0, 6, "8 x 32"}};
    for (const auto& c : cells)
      EXPECT_EQ(table->item(c.row, c.column)->text().toStdString(), c.text) << c.row << c.column;
    EXPECT_LE(dialog->width(), dialog->screen()->availableGeometry().width());
    EXPECT_LE(table->horizontalHeader()->length(), table->viewport()->width())
        << "every column in view, long texts elided";
    EXPECT_EQ(table->textElideMode(), Qt::ElideMiddle) << "the file's name stays in view";
    EXPECT_GE(table->rowHeight(0), 2 * table->fontMetrics().height())
        << "a long description wraps in its row rather than losing its middle";
    table->sortItems(4, Qt::DescendingOrder);  // by series number: 10 first
    table->selectRow(0);
    QMetaObject::invokeMethod(dialog, "accept");
  });
  EXPECT_EQ(desktop.ChooseStudy(nullptr, studies), std::optional<std::size_t>(1));
}

// The viewer starts on its own; a second request while it runs starts none
// and brings the first one's window to the front: that of the process
// started or of one it started in turn (the stand-in's sleep, as xdg-open's
// viewer). A document nothing on the desktop opens is refused before any
// start.
TEST(DesktopServicesTest, OneViewerAtATimeAndNoWait) {
  TempDir dir;
  const std::string log = dir.File("started");
  WriteBytes(dir.File("viewer"), "#!/bin/sh\necho \"$$ $1\" >> " + log + "\nsleep 2\n");
  ASSERT_EQ(::chmod(dir.File("viewer").c_str(), 0755), 0);
  ASSERT_EQ(::mkdir(dir.File("applications").c_str(), 0755), 0);
  WriteBytes(dir.File("applications/viewer.desktop"),
             "[Desktop Entry]\nType=Application\nExec=viewer %f\n"
             "MimeType=application/x-chm;application/vnd.ms-htmlhelp;\n");
  // Only this folder's associations count; the MIME database is read
  // before, from the system's folders.
  ASSERT_EQ(QMimeDatabase().mimeTypeForFile("guide.chm", QMimeDatabase::MatchExtension).name(),
            "application/vnd.ms-htmlhelp");
  const char* const variables[] = {"XDG_DATA_HOME", "XDG_DATA_DIRS", "XDG_CONFIG_HOME",
                                   "XDG_CONFIG_DIRS"};
  std::vector<QByteArray> saved;
  for (const char* variable : variables) {
    saved.push_back(qgetenv(variable));
    qputenv(variable, QByteArray::fromStdString(dir.path()));
  }
  WriteBytes(dir.File("guide.chm"), "ITSF");
  WriteBytes(dir.File("notes.nothing-opens-this"), "x");
  std::vector<qint64> raised;
  DesktopServices desktop(true, QString::fromStdString(dir.File("viewer")), [&](qint64 viewer) {
    raised.push_back(viewer);
    return true;
  });
  const QString guide = QString::fromStdString(dir.File("guide.chm"));
  EXPECT_TRUE(desktop.OpenDocument(guide));
  EXPECT_TRUE(raised.empty()) << "a first request raises nothing";
  // The shell creates the log before it writes the line: wait for the line,
  // and for the viewer's own child.
  auto lineWritten = [&log] {
    return FileExists(log) && !ReadBytes(log).empty() && ReadBytes(log).back() == '\n';
  };
  for (int wait = 0; wait < 100 && !lineWritten(); ++wait) QTest::qWait(20);
  const std::string line = ReadBytes(log);
  const long long viewer = std::atoll(line.c_str());
  EXPECT_EQ(line, std::to_string(viewer) + " " + guide.toStdString() + "\n");
  for (int wait = 0; wait < 100 && ProcessTree(viewer).size() < 2; ++wait) QTest::qWait(20);
  EXPECT_EQ(ProcessTree(viewer).size(), 2u) << "the viewer and its sleep";
  EXPECT_TRUE(desktop.OpenDocument(guide)) << "the running viewer counts";
  EXPECT_EQ(raised, std::vector<qint64>{viewer}) << "and comes to the front";
  EXPECT_EQ(ReadBytes(log), line) << "no second viewer";
  EXPECT_FALSE(desktop.OpenDocument(QString::fromStdString(dir.File("notes.nothing-opens-this"))));
  for (std::size_t i = 0; i < std::size(variables); ++i)
    if (saved[i].isEmpty())
      qunsetenv(variables[i]);
    else
      qputenv(variables[i], saved[i]);
}

TEST_F(MainFormTest, TabOrderFollowsTheForm) {
  StartInteractive();
  fake.inputs.push_back(QString::fromStdString(DataFile("gated64")));
  form->btInClick();  // Save and Images enabled
  // Down the left column, the right one, then the buttons left to right.
  const char* expected[] = {"edID",     "edName",    "edHeight", "edWeight", "rbM",  "rbF",
                            "edTracer", "edComment", "edDate",   "edTime",   "edHR", "edDiv",
                            "edFrm",    "edPix",     "edThick",  "cbMflag",  "BtOK", "BitBtn2",
                            "btHelp",   "btImages",  "btHeader", "btIn",     "edID"};
  QWidget* w = form->edID;
  for (std::size_t i = 1; i < std::size(expected); ++i) {
    w = w->nextInFocusChain();
    while (w->focusPolicy() == Qt::NoFocus || !w->isEnabled() || !w->isVisibleTo(form.get()) ||
           w->objectName().isEmpty())
      w = w->nextInFocusChain();
    EXPECT_EQ(w->objectName().toStdString(), expected[i]);
  }
  // Select names its key; each button's Alt key is its own: a letter two
  // buttons share only moves the focus between them.
  EXPECT_TRUE(form->btIn->toolTip().contains("Ctrl+O"));
  form->show();
  form->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(form.get()));
  std::map<QChar, QString> letters;
  for (QPushButton* button : form->findChildren<QPushButton*>()) {
    const int amp = button->text().indexOf('&');
    if (amp < 0 || !button->isVisible()) continue;
    const QChar letter = button->text().at(amp + 1).toLower();
    EXPECT_TRUE(letters.emplace(letter, button->objectName()).second)
        << "Alt+" << QString(letter).toStdString() << ": " << button->objectName().toStdString()
        << " and " << letters[letter].toStdString();
  }
  const struct {
    Qt::Key key;
    std::function<bool()> pressed;
  } alts[] = {{Qt::Key_S, [&] { return fake.proposedOutputs.size() == 1; }},  // Save
              {Qt::Key_H, [&] { return !fake.opened.empty(); }},              // Help
              {Qt::Key_F, [&] { return form->btHeader->isChecked(); }}};      // File header
  for (const auto& alt : alts) {
    QTest::keyClick(form->edName, alt.key, Qt::AltModifier);
    for (int wait = 0; wait < 50 && !alt.pressed(); ++wait)
      QTest::qWait(20);  // a mnemonic animates the click
    EXPECT_TRUE(alt.pressed()) << "Alt+" << QKeySequence(alt.key).toString().toStdString();
  }
  // The focused button carries the style's focus frame; a field none.
  auto* focusFrame = form->findChild<QFocusFrame*>();
  ASSERT_NE(focusFrame, nullptr);
  for (QWidget* focused :
       {static_cast<QWidget*>(form->BitBtn2), static_cast<QWidget*>(form->edID)}) {
    focused->setFocus();
    EXPECT_EQ(focusFrame->widget(), focused == form->edID ? nullptr : focused)
        << focused->objectName().toStdString();
  }
}

// The screen of these tests is 1024 x 768 with a window frame: unfolded, the
// window takes the screen's width and stands wholly on it, wherever it was
// and whatever size was remembered.
TEST_F(MainFormTest, FittedToA1024x768Screen) {
  StartInteractive();
  ASSERT_EQ(form->screen()->geometry(), QRect(0, 0, 1024, 768));
  const QRect room = form->screen()->availableGeometry();
  fake.inputs.push_back(QString::fromStdString(DataFile("gated64_8x32")));
  form->btInClick();
  form->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
  EXPECT_EQ(form->size(), QSize(493, 252)) << "folded: the form's own size";
  const int frame = form->frameGeometry().width() - form->width();
  form->move(900, 700);
  form->btImages->click();
  EXPECT_TRUE(room.contains(form->frameGeometry())) << form->frameGeometry().x();
  EXPECT_EQ(form->width(), std::min(493 + TMainForm::kImagePaneWidth, room.width() - frame));
  EXPECT_EQ(form->imagePane->width(), form->width() - 493);
  form->BitBtn2Click();  // the state is saved as the process ends

  // A remembered place and size beyond this screen are fitted to it.
  QSettings().setValue("view/position", QPoint(5000, 5000));
  QSettings().setValue("view/unfoldedSize", QSize(3000, 2000));
  StartInteractive();
  form->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
  EXPECT_TRUE(room.contains(form->frameGeometry()));
  fake.inputs.push_back(QString::fromStdString(DataFile("gated64_8x32")));
  form->btInClick();  // the pane was left open: it opens again
  ASSERT_FALSE(form->imagePane->isHidden());
  EXPECT_TRUE(room.contains(form->frameGeometry()));
  EXPECT_EQ(form->frameGeometry().width(), room.width());
  form->btImages->click();
  EXPECT_EQ(form->size(), QSize(493, 252)) << "folding gives back the folded size";
}

// The open folder follows a load that succeeded, the save folder a write
// that succeeded: a folder that refused the file is not offered again.
TEST_F(MainFormTest, FoldersAreRememberedOnlyAfterSuccess) {
  StartInteractive();
  ASSERT_EQ(::mkdir(dir.File("junk").c_str(), 0755), 0);
  WriteBytes(dir.File("junk/not.dcm"), "not a DICOM file");
  fake.inputs.push_back(QString::fromStdString(dir.File("junk/not.dcm")));
  fake.inputs.push_back(std::nullopt);
  form->btInClick();
  form->btInClick();
  EXPECT_EQ(fake.openFolders, (std::vector<QString>{"", ""}));
  EXPECT_EQ(fake.exits, std::vector<int>{1}) << "the failed load ends the process";
  fake.exits.clear();
  const QString input = QString::fromStdString(DataFile("gated64"));
  const QString inputFolder = QFileInfo(input).absolutePath();
  fake.inputs.push_back(input);
  form->btInClick();
  form->btInClick();
  EXPECT_EQ(fake.openFolders.back(), inputFolder);

  fake.outputs.push_back(QString("/proc/o.gsd"));
  form->BtOKClick();
  EXPECT_EQ(fake.exits, std::vector<int>{1});
  form->BtOKClick();  // dialog cancelled
  EXPECT_EQ(fake.proposedOutputs.back(), inputFolder + "/gated64.gsd") << "not in /proc";
  fake.outputs.push_back(QString::fromStdString(dir.File("o.gsd")));
  form->BtOKClick();
  EXPECT_EQ(fake.exits, (std::vector<int>{1, 0}));
  form->BtOKClick();
  EXPECT_EQ(fake.proposedOutputs.back(), QString::fromStdString(dir.File("gated64.gsd")));
}

// Names in the record's bytes shown as the character set means them, a row
// per set as pydicom encodes it; unedited they go back as the file's bytes,
// edited by the Latin-1 rule.
TEST_F(MainFormTest, NamesShowAsTheFileMeansThem) {
  CommandResult run =
      RunCommand("/usr/bin/python3 " + std::string(DGC_SOURCE_DIR) + "/tests/form/encode_texts.py");
  ASSERT_EQ(run.exitCode, 0) << run.output;
  auto fromHex = [](const std::string& hex) {
    std::string bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
      bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    return bytes;
  };
  struct Row {
    std::string charset, stored, text;
  };
  std::vector<Row> rows;
  std::istringstream lines(run.standardOutput);
  for (std::string line; std::getline(lines, line);) {
    const std::size_t tab1 = line.find('\t'), tab2 = line.rfind('\t');
    Row row{line.substr(0, tab1), fromHex(line.substr(tab1 + 1, tab2 - tab1 - 1)),
            fromHex(line.substr(tab2 + 1))};
    if (row.stored.size() < sizeof(TStudyRecord::patientName)) rows.push_back(row);
  }
  ASSERT_GE(rows.size(), 12u);
  // The PS3.5 Japanese example, cut by the record to 49 bytes.
  rows.push_back({"\\ISO 2022 IR 87",
                  "Yamada^Tarou=\x1B$B;3ED\x1B(B^\x1B$BB@O:\x1B(B=\x1B$B$d$^$@\x1B(B^\x1B",
                  "Yamada^Tarou=山田^太郎=やまだ^"});
  StartBatch(DataFile("gated64"), dir.File("o.gsd"));
  for (const Row& row : rows) {
    CopyToField(form->study().record.patientName, row.stored);
    CopyToField(form->study().record.tracer,
                row.stored.substr(0, sizeof(TStudyRecord::tracer) - 1));
    form->SetCharacterSet(row.charset);
    form->FillFieldsFromStudy();
    EXPECT_EQ(form->edName->text().toStdString(), row.text) << row.charset;
    form->BtOKClick();
    EXPECT_EQ(std::string(form->study().record.patientName), row.stored) << row.charset;
    EXPECT_EQ(std::string(form->study().record.tracer),
              row.stored.substr(0, sizeof(TStudyRecord::tracer) - 1))
        << row.charset << ": a tracer cut inside a character keeps its bytes too";
  }
  form->edName->setText(QString::fromUtf8("Yamada^山田"));
  form->BtOKClick();
  EXPECT_STREQ(form->study().record.patientName, "Yamada^__");
  // A set nobody can decode shows the bytes as Latin-1, as without one.
  CopyToField(form->study().record.patientName, std::string("M\xFCller"));
  form->SetCharacterSet("ISO_IR 999");
  form->FillFieldsFromStudy();
  EXPECT_EQ(form->edName->text(), QString::fromUtf8("Müller"));
}

// What the file will say of the patient: a load whose ID or name the header
// holds otherwise says so once among its warnings, as dicom2gsd does, and
// unfolds the header view, whose lines are the written header's with the
// changed values marked. A name cut at 49 bytes keeps whole characters.
TEST_F(MainFormTest, TheFileHeaderSaysWhatTheFileWillHold) {
  const std::string utf8Name = "Wang^XiaoDong=王小東明王小東明王小東明王小東明";
  const std::string utf8Written = "Wang^XiaoDong=" + std::string(33, '_');
  const std::string jisName = "Yamada^Tarou=山田太郎山田太郎山田太郎山田太郎山田太郎";
  const std::string jisWritten = "Yamada^Tarou=_$B;3EDB@O:;3EDB@O:;3EDB@O:;3EDB@O:";
  const std::string longId = "ID-01234567890123456789012345678901234567890123456789ABCDEFG";
  const struct {
    const char* file;
    std::string caveat;  // the load's warning; empty for none
    std::string line;    // a line of the view, its mark after it
    std::size_t nameBytes;
  } cases[] = {
      {"id_latin1", "Patient ID DE-ÄÖÜ-1 is written as DE-___-1",
       "id = DE-___-1; <- replaced: DE-ÄÖÜ-1", 0},
      {"id60", "Patient ID " + longId + " is written as " + longId.substr(0, 39),
       "id = " + longId.substr(0, 39) + "; <- cut at 39 bytes: " + longId, 0},
      // 14 ASCII bytes and 11 whole characters of 3 bytes: 47, not 49.
      {"name_utf8_cut", "Patient's Name " + utf8Name + " is written as " + utf8Written,
       "name = " + utf8Written + "; <- replaced and cut at 49 bytes: " + utf8Name, 47},
      // "Yamada^Tarou=", the escape to JIS X 0208 and 16 whole characters.
      {"name_jis_cut", "Patient's Name " + jisName + " is written as " + jisWritten,
       "name = " + jisWritten + "; <- replaced and cut at 49 bytes: " + jisName, 48},
      // A space is no byte of a header value either.
      {"gated64", "Patient ID A 12 is written as A_12", "id = A_12; <- replaced: A 12", 0},
  };
  for (const auto& c : cases) {
    fake.warnings.clear();
    QSettings().clear();
    const std::string out = dir.File(std::string(c.file) + ".gsd");
    StartBatch(DataFile(c.file), out);
    const bool caveat = !c.caveat.empty();
    if (caveat) {
      ASSERT_EQ(fake.warnings.size(), 1u) << c.file;
      EXPECT_TRUE(fake.warnings[0].split('\n').contains(QString::fromStdString(c.caveat)))
          << fake.warnings[0].toStdString();
    } else {
      for (const QString& warning : fake.warnings)
        EXPECT_FALSE(warning.contains("written as")) << c.file;
    }
    if (c.nameBytes > 0) {
      EXPECT_EQ(std::strlen(form->study().record.patientName), c.nameBytes) << c.file;
    }
    if (form->headerView->isHidden()) form->btHeader->click();
    const QStringList shown = form->headerView->toPlainText().split('\n');
    if (!c.line.empty()) {
      EXPECT_TRUE(shown.contains(QString::fromStdString(c.line))) << c.file << "\n"
                                                                  << shown.join("\n").toStdString();
    }
    form->BtOKClick();
    ASSERT_EQ(fake.exits.back(), 0) << c.file;
    // Each line of the view begins with the written header's line.
    const std::string bytes = ReadBytes(out);
    const std::string header = bytes.substr(0, bytes.find('\x0C'));
    std::istringstream written(header);
    int line = 0;
    for (std::string text; std::getline(written, text); ++line) {
      if (!text.empty() && text.back() == '\r') text.pop_back();
      ASSERT_LT(line, shown.size()) << c.file;
      EXPECT_TRUE(shown[line].toUtf8().startsWith(QByteArray::fromStdString(text)))
          << c.file << ": " << text;
    }
    if (caveat) {
      CommandResult run =
          RunCommand(std::string(DGC_BINARY_DIR) + "/dicom2gsd " + ShellQuote(DataFile(c.file)) +
                     " " + ShellQuote(dir.File("tool.gsd")) + " 2>&1");
      EXPECT_NE(run.output.find("warning: " + DataFile(c.file) + ": " + c.caveat + "\n"),
                std::string::npos)
          << run.output;
      EXPECT_EQ(ReadBytes(dir.File("tool.gsd")), bytes) << c.file;
      std::remove(dir.File("tool.gsd").c_str());
    }
  }
}

TEST_F(MainFormTest, OneArgumentOpensTheFileInteractively) {
  const struct {
    std::vector<const char*> arguments;
    StartRequest::Kind kind;
  } cases[] = {{{}, StartRequest::kInteractive},
               {{"in.dcm"}, StartRequest::kOpenFile},
               {{"--help"}, StartRequest::kHelp},
               {{"--version"}, StartRequest::kVersion},
               {{"in.dcm", "out.gsd"}, StartRequest::kBatch},
               {{"a", "b", "c"}, StartRequest::kInteractive}};
  for (const auto& c : cases) {
    std::vector<const char*> argv{"dicom-converter"};
    argv.insert(argv.end(), c.arguments.begin(), c.arguments.end());
    const StartRequest request = ParseCommandLine(static_cast<int>(argv.size()), argv.data());
    EXPECT_EQ(request.kind, c.kind) << argv.size();
    if (c.kind == StartRequest::kOpenFile) {
      EXPECT_EQ(request.input, "in.dcm");
    }
  }
  StartInteractive();
  form->OpenInputFile(QString::fromStdString(DataFile("gated64")));
  EXPECT_FALSE(form->BatchMode());
  EXPECT_FALSE(form->btIn->isHidden());
  EXPECT_EQ(form->edID->text(), "A 12");
  EXPECT_EQ(form->pnIn->toolTip().toStdString(), DataFile("gated64"));
  fake.inputs.push_back(std::nullopt);
  form->btInClick();
  EXPECT_EQ(fake.openFolders.back(),
            QFileInfo(QString::fromStdString(DataFile("gated64"))).absolutePath());

  // --help and --version print and end without a window: no display is
  // needed, where creating one would abort.
  const std::string program = "env -u DISPLAY -u WAYLAND_DISPLAY QT_QPA_PLATFORM=xcb " +
                              std::string(DGC_BINARY_DIR) + "/dicom-converter ";
  CommandResult help = RunCommand(program + "--help");
  EXPECT_EQ(help.exitCode, 0) << help.output;
  EXPECT_EQ(help.standardOutput.rfind("usage: dicom-converter", 0), 0u) << help.standardOutput;
  CommandResult version = RunCommand(program + "--version");
  EXPECT_EQ(version.exitCode, 0) << version.output;
  EXPECT_EQ(version.standardOutput.rfind("dicom-converter ", 0), 0u) << version.standardOutput;
  const std::string entry = ReadBytes(std::string(DGC_SOURCE_DIR) + "/app/dicom-converter.desktop");
  EXPECT_NE(entry.find("\nExec=dicom-converter %f\n"), std::string::npos);
  EXPECT_NE(entry.find("\nMimeType=application/dicom;\n"), std::string::npos);
}

// Numbers such as a pixel size of 3.11583 fit their fields; a text that
// does not fit shows whole in the tooltip.
TEST_F(MainFormTest, FieldsShowWhatTheyHold) {
  StartBatch(DataFile("gated64"), dir.File("o.gsd"));
  for (const char* number : {"3.11583", "6.231669", "-32768", "0.0"})
    for (QLineEdit* edit : {form->edPix, form->edThick, form->edHR}) {
      edit->setText(number);
      EXPECT_TRUE(static_cast<FieldEdit*>(edit)->TextFits()) << number;
      EXPECT_TRUE(edit->toolTip().isEmpty()) << number;
    }
  const QString longName = "VERY-LONG-FAMILY-NAME^WITH-GIVEN-NAMES^AND-MORE";
  form->edName->setText(longName);
  EXPECT_EQ(form->edName->toolTip(), longName);
  form->edName->setText("SHORT");
  EXPECT_TRUE(form->edName->toolTip().isEmpty());
  form->edPix->setText("3.11583000000001");
  EXPECT_EQ(form->edPix->toolTip(), "3.11583000000001");
}

// The pane's controls: the upper level redraws the grey scale, the gate
// label keeps the slider's length, Play needs more than one gate, each
// cell knows its slice number.
TEST_F(MainFormTest, ImagePaneLevelGateLabelAndPlay) {
  StartBatch(DataFile("gated64_16x64"), dir.File("o.gsd"));
  form->show();
  form->btImages->click();
  ImagePane* pane = form->imagePane;
  QTest::qWait(10);
  const int max = form->study().record.maxCount;
  EXPECT_EQ(pane->levelBox->maximum(), max);
  EXPECT_EQ(pane->levelSlider->value(), max) << "the study's maximum at first";
  const int sliderWidth = pane->gateSlider->width();
  pane->gateSlider->setValue(12);
  QTest::qWait(10);
  EXPECT_EQ(pane->gateSlider->width(), sliderWidth) << "gate 13 of 16";
  EXPECT_EQ(pane->gateLabel->text(), "gate 13 of 16");
  pane->levelBox->setValue(max / 4);
  EXPECT_EQ(pane->levelSlider->value(), max / 4);
  // Its arrows are drawn dark on their light buttons, not in the pane's white.
  const QImage box = pane->levelBox->grab().toImage();
  int darkest = 255;
  for (int y = 4; y < box.height() - 4; ++y)
    for (int x = box.width() - 12; x < box.width() - 4; ++x)
      darkest = std::min(darkest, qGray(box.pixel(x, y)));
  EXPECT_LT(darkest, 128) << "the spin box's arrows show";
  EXPECT_EQ(pane->montage->Strip(), RenderGateStrip(form->study().frames, 12, 64, false, max / 4));
  pane->levelSlider->setValue(0);
  EXPECT_EQ(pane->UpperLevel(), 0);
  EXPECT_EQ(pane->montage->SliceNumber(0), 64) << "last to first";
  form->cbMflag->setChecked(true);
  EXPECT_EQ(pane->montage->SliceNumber(0), 1);
  EXPECT_EQ(pane->UpperLevel(), 0) << "the order keeps the level";
  EXPECT_TRUE(pane->playButton->isEnabled());
  const MontageLayout layout = pane->montage->Layout();
  EXPECT_LE(layout.columns * layout.cell + layout.columns - 1, pane->montage->width());
  EXPECT_GT((layout.columns + 1) * (layout.cell + 1), pane->montage->width())
      << "cells fill the pane";

  fake.inputs.push_back(QString::fromStdString(DataFile("gates0")));
  form->btInClick();
  EXPECT_FALSE(pane->playButton->isEnabled()) << "one gate: nothing to play";
  EXPECT_EQ(pane->UpperLevel(), form->study().record.maxCount)
      << "a new study starts at its maximum";
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
  // A 1024 x 768 screen with window frames, as small a desktop as the
  // window must fit.
  TempDir platform;
  WriteBytes(platform.File("screen.json"),
             R"({"windowFrameMargins": true, "screens": [{"name": "small", "x": 0, "y": 0,
                 "width": 1024, "height": 768, "logicalDpi": 96, "dpr": 1}]})");
  qputenv("QT_QPA_PLATFORM",
          QByteArray::fromStdString("offscreen:configfile=" + platform.File("screen.json")));
  QApplication application(argc, argv);
  TApplication::Configure();
  QStandardPaths::setTestModeEnabled(true);  // QSettings of the tests' own
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}

// Select's Folder choice and a DICOMDIR: the NM studies found, listed gated
// first, the picked one loaded as a file; a cancel at either step, or a
// folder without NM studies, loads nothing and ends nothing.
TEST_F(MainFormTest, AFolderListsItsStudiesAndLoadsThePickedOne) {
  const std::string tree = dir.File("cd");
  CommandResult made = RunCommand(
      "/usr/bin/python3 " + ShellQuote(std::string(DGC_SOURCE_DIR) + "/tests/scan/make_tree.py") +
      " " + ShellQuote(tree) + " 2>&1");
  ASSERT_EQ(made.exitCode, 0) << made.output;
  ASSERT_EQ(::mkdir(dir.File("empty").c_str(), 0755), 0);
  struct Case {
    std::string chosen;
    bool cancelScan;
    std::optional<std::size_t> pick;
    const char* id;  // shown afterwards; "" when nothing loaded
  };
  const Case cases[] = {
      {tree, false, 1, "P3"},          {tree + "/DICOMDIR", false, 0, "P1"}, {tree, true, 0, ""},
      {tree, false, std::nullopt, ""}, {dir.File("empty"), false, 0, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.chosen + (c.cancelScan ? " cancelled" : ""));
    StartInteractive();
    fake = FakeOperator();
    fake.inputs.push_back(QString::fromStdString(c.chosen));
    fake.cancelScan = c.cancelScan;
    fake.picks.push_back(c.pick);
    form->btInClick();
    EXPECT_TRUE(fake.exits.empty());
    EXPECT_EQ(form->edID->text().toStdString(), c.id);
    EXPECT_EQ(form->BtOK->isEnabled(), *c.id != '\0');
    ASSERT_EQ(fake.scanned.size(), 1u);
    if (c.cancelScan) {
      EXPECT_TRUE(fake.lists.empty());
    } else if (c.chosen == dir.File("empty")) {
      EXPECT_TRUE(fake.lists.empty());
      ASSERT_EQ(fake.errors.size(), 1u);
      EXPECT_TRUE(fake.errors[0].endsWith("no NM study found")) << fake.errors[0].toStdString();
    } else {
      ASSERT_EQ(fake.lists.size(), 1u);
      const std::vector<StudyFacts>& list = fake.lists[0];
      ASSERT_GE(list.size(), 5u);
      EXPECT_EQ(list.front().patientId, "P1");
      EXPECT_TRUE(list[list.size() - 2].gated);
      EXPECT_EQ(list.back().patientId, "P5") << "the static study comes last";
      if (*c.id != '\0') {
        EXPECT_EQ(form->InputPath(), list[*c.pick].path);
      }
    }
  }
}
