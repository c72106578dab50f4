#include "app/main_form.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QFocusFrame>
#include <QFontDatabase>
#include <QFrame>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QPushButton>
#include <QRadioButton>
#include <QResizeEvent>
#include <QScreen>
#include <QSettings>
#include <QShortcut>
#include <QStyle>
#include <QTextEdit>
#include <QToolButton>
#include <QUrl>
#include <algorithm>
#include <cstdio>

#include "app/field_edit.h"
#include "app/form_messages.h"
#include "app/guide_location.h"
#include "app/image_pane.h"
#include "app/load_progress.h"
#include "core/gated_loader.h"
#include "core/header_scan.h"
#include "core/load_report.h"
#include "core/operator_question.h"
#include "form/character_set.h"
#include "form/patient_identity.h"
#include "gsd/gsd_writer.h"
#include "model/study_state.h"
#include "scan/study_table.h"

namespace {

// The form is laid out for 96 pixels per inch: an outer size of 501 x 279
// is a client area of 493 x 252 inside a classic 4-pixel frame and caption.
constexpr int kLeft = 123, kTop = 111;
constexpr int kClientWidth = 493, kClientHeight = 252;
constexpr int kInputRowHeight = 34;
constexpr int kEditHeight = 18;
// Wide enough for a pixel size such as 6.231669 in the form's bold font;
// the units stand after it.
constexpr int kNumberWidth = 66;
constexpr int kUnitX = 398;

const QColor kBackground(128, 128, 128);
const QColor kEditBackground(224, 224, 224);  // 14737632
const QColor kYellow(255, 255, 0);

// Record texts cross the window boundary as Latin-1, so bytes that a load
// put into the record come back unchanged when nobody edits them. A typed
// character beyond Latin-1 becomes "_", as the writer's sanitiser writes a
// byte it cannot take, one per character (a surrogate pair included).
QString FromRecord(const std::string& text) {
  return QString::fromLatin1(text.c_str());
}
std::string ToRecord(const QString& text) {
  std::string bytes;
  for (char32_t c : text.toUcs4()) bytes += c <= 0xFF ? static_cast<char>(c) : '_';
  return bytes;
}

// Checks the button of the sex, or neither for an unknown one. A button of
// an auto-exclusive group will not uncheck the group's last checked one, so
// the group is lifted while they change.
void ShowSex(QRadioButton* male, QRadioButton* female, FormSex sex) {
  for (QRadioButton* button : {male, female}) button->setAutoExclusive(false);
  male->setChecked(sex == FormSex::kMale);
  female->setChecked(sex == FormSex::kFemale);
  for (QRadioButton* button : {male, female}) button->setAutoExclusive(true);
}

QFont FormFont(int pixels) {
  QFont font("Arial");
  font.setPixelSize(pixels);
  font.setBold(true);
  return font;
}

// room: the width up to the control on the label's row; a caption wider
// than that is drawn condensed rather than hidden under the control.
QLabel* AddLabel(QWidget* parent, const char* text, int x, int y, bool yellow, int room = 0) {
  auto* label = new QLabel(text, parent);
  label->move(x, y);
  label->setAttribute(Qt::WA_TranslucentBackground);
  QPalette palette = label->palette();
  palette.setColor(QPalette::WindowText, yellow ? kYellow : Qt::white);
  label->setPalette(palette);
  label->adjustSize();
  // A font engine's condensed face is not always narrower in proportion
  // (Windows' GDI rounds its widths): condensed further until it fits.
  QFont font = label->font();
  for (int stretch = room * 100 / std::max(1, label->width());
       room > 0 && label->width() > room && stretch >= 50; stretch -= 4) {
    font.setStretch(std::max(50, std::min(stretch, 99)));
    label->setFont(font);
    label->adjustSize();
  }
  return label;
}

// Radio buttons and check boxes keep their place and grow to show their caption.
template <typename Button>
Button* AddChoice(QWidget* parent, const char* name, const char* text, int x, int y, int width) {
  auto* button = new Button(text, parent);
  button->setObjectName(name);
  button->setGeometry(x, y, std::max(width, button->sizeHint().width()), 17);
  return button;
}

QLineEdit* AddEdit(QWidget* parent, const char* name, int x, int y, int width, const char* text) {
  auto* edit = new FieldEdit(text, parent);
  edit->setObjectName(name);
  edit->setGeometry(x, y, width, kEditHeight);
  // 18 pixels leave no room for the style's own padding.
  edit->setStyleSheet(QString("QLineEdit { padding: 0px; border: 1px solid #404040; "
                              "background: %1; color: black; }")
                          .arg(kEditBackground.name()));
  return edit;
}

// Black captions while enabled; a disabled button keeps the style's grey so
// that it looks disabled.
void SetEnabledTextBlack(QWidget* button) {
  QPalette palette = button->palette();
  for (QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive})
    palette.setColor(group, QPalette::ButtonText, Qt::black);
  button->setPalette(palette);
}

// QSettings keys: the folders the dialogs start in, whether the image pane
// is unfolded, where the window stood and its size with the pane open.
const char* const kOpenFolderKey = "dialogs/openFolder";
const char* const kSaveFolderKey = "dialogs/saveFolder";
const char* const kImagePaneKey = "view/imagePane";
const char* const kPositionKey = "view/position";
const char* const kUnfoldedSizeKey = "view/unfoldedSize";
const char* const kHeaderViewKey = "view/fileHeader";

// A path panel of the input row: sunken, light grey, black text.
QLabel* AddPathPanel(QWidget* parent, const char* name, int x, int width) {
  auto* panel = new QLabel(parent);
  panel->setObjectName(name);
  panel->setGeometry(x, 8, width, kEditHeight);
  panel->setFrameStyle(QFrame::Panel | QFrame::Sunken);
  panel->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  panel->setAutoFillBackground(true);
  QPalette palette = panel->palette();
  palette.setColor(QPalette::Window, kEditBackground);
  palette.setColor(QPalette::WindowText, Qt::black);
  panel->setPalette(palette);
  return panel;
}

QPushButton* AddButton(QWidget* parent, const char* name, const char* text, int x, int y, int width,
                       const QIcon& icon) {
  auto* button = new QPushButton(icon, text, parent);
  button->setObjectName(name);
  button->setGeometry(x, y, width, 25);
  SetEnabledTextBlack(button);
  return button;
}

QFrame* AddPanel(QWidget* parent, const char* name, QFrame::Shape shape, QFrame::Shadow shadow) {
  auto* panel = new QFrame(parent);
  panel->setObjectName(name);
  panel->setFrameShape(shape);
  panel->setFrameShadow(shadow);
  return panel;
}

}  // namespace

TMainForm::TMainForm(FormServices* services) : TMainForm(WindowStart{}, services) {}

TMainForm::TMainForm(const WindowStart& start, FormServices* services)
    : QDialog(nullptr),
      batchMode_(start.batchMode),
      inputPath_(start.inputPath),
      outputPath_(start.outputPath) {
  if (services == nullptr) {
    ownServices_ = std::make_unique<DesktopServices>();
    services = ownServices_.get();
  }
  services_ = services;
  BuildLayout();
  FormCreate();
}

TMainForm::~TMainForm() = default;

void TMainForm::BuildLayout() {
  setWindowTitle(kApplicationTitle);
  setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowMinMaxButtonsHint | Qt::WindowCloseButtonHint);
  setSizeGripEnabled(false);
  move(QSettings().value(kPositionKey, QPoint(kLeft, kTop)).toPoint());
  resize(kClientWidth, kClientHeight);
  setAcceptDrops(!batchMode_);
  setAutoFillBackground(true);
  QPalette palette = this->palette();
  palette.setColor(QPalette::Window, kBackground);
  palette.setColor(QPalette::WindowText, Qt::white);
  setPalette(palette);
  setFont(FormFont(14));
  BuildInputRow();
  BuildStudyPanel();
  BuildButtons();
  ConnectEvents();
}

// The row that names the input file, with Select; in batch mode the input
// and the output, read-only.
void TMainForm::BuildInputRow() {
  Panel1 = AddPanel(this, "Panel1", QFrame::Panel, QFrame::Raised);
  Panel1->setGeometry(0, 0, kClientWidth, kInputRowHeight);
  AddLabel(Panel1, "Input File", 12, 10, false);
  pnIn = AddPathPanel(Panel1, "pnIn", 80, batchMode_ ? 184 : 337);
  btIn = new QToolButton(Panel1);
  btIn->setObjectName("btIn");
  btIn->setText("Select");
  btIn->setToolTip("Select the DICOM file (Ctrl+O)");
  btIn->setGeometry(423, 10, 48, kEditHeight);
  btIn->setFocusPolicy(Qt::TabFocus);
  SetEnabledTextBlack(btIn);
  lbOut = AddLabel(Panel1, "Output", 270, 10, false);
  pnOut = AddPathPanel(Panel1, "pnOut", 322, 163);
  btIn->setVisible(!batchMode_);
  lbOut->setVisible(batchMode_);
  pnOut->setVisible(batchMode_);
}

// "Study Information": the labels and the fields of the study.
void TMainForm::BuildStudyPanel() {
  Panel4 = AddPanel(this, "Panel4", QFrame::Panel, QFrame::Raised);
  Panel4->setGeometry(0, kInputRowHeight, kClientWidth, kClientHeight - kInputRowHeight);
  QLabel* heading = AddLabel(Panel4, "Study Information", 10, 6, false);
  heading->setFont(FormFont(16));
  heading->adjustSize();
  Panel3 = AddPanel(Panel4, "Panel3", QFrame::Box, QFrame::Plain);
  Panel3->setGeometry(8, 23, 477, 158);

  // Labels first, so that an edit field lies above a label that runs into it.
  AddLabel(Panel3, "ID", 8, 4, true, 80);
  AddLabel(Panel3, "Name", 8, 24, true, 80);
  AddLabel(Panel3, "Height, Weight", 8, 44, false, 80);
  AddLabel(Panel3, "(cm)", 128, 44, false);
  AddLabel(Panel3, "(kg)", 204, 44, false);
  AddLabel(Panel3, "Sex", 8, 66, false, 80);
  AddLabel(Panel3, "Tracer", 8, 84, false, 80);
  AddLabel(Panel3, "Comment", 8, 104, false, 80);
  AddLabel(Panel3, "Slice Order", 8, 128, false, 80);
  AddLabel(Panel3, "Exam. Date", 246, 4, true, 82);
  AddLabel(Panel3, "Exam. Time", 246, 24, false, 82);
  AddLabel(Panel3, "Heart Rate", 246, 45, true, 82);
  AddLabel(Panel3, "(beats/min)", 400, 45, false);
  AddLabel(Panel3, "R-R Divisions", 246, 65, true, 82);
  AddLabel(Panel3, "Frames", 246, 85, true, 82);
  AddLabel(Panel3, "Pixel Size", 246, 105, true, 82);
  AddLabel(Panel3, "(mm)", kUnitX, 105, false);
  AddLabel(Panel3, "Slice Thickness", 246, 125, true, 82);
  AddLabel(Panel3, "(mm)", kUnitX, 125, false);

  edID = AddEdit(Panel3, "edID", 88, 4, 136, "");
  edName = AddEdit(Panel3, "edName", 88, 24, 136, "");
  edHeight = AddEdit(Panel3, "edHeight", 88, 44, 36, "0");
  edWeight = AddEdit(Panel3, "edWeight", 164, 44, 36, "0");
  rbM = AddChoice<QRadioButton>(Panel3, "rbM", "Male", 88, 66, 53);
  rbM->setChecked(true);
  rbF = AddChoice<QRadioButton>(Panel3, "rbF", "Female", 160, 66, 61);
  edTracer = AddEdit(Panel3, "edTracer", 88, 84, 136, "");
  edComment = AddEdit(Panel3, "edComment", 88, 104, 136, "");
  cbMflag = AddChoice<QCheckBox>(Panel3, "cbMflag", "Base->Apex ", 88, 128, 97);
  edDate = AddEdit(Panel3, "edDate", 328, 4, 136, "");
  edTime = AddEdit(Panel3, "edTime", 328, 24, 136, "");
  edHR = AddEdit(Panel3, "edHR", 328, 45, kNumberWidth, "0");
  edDiv = AddEdit(Panel3, "edDiv", 328, 65, kNumberWidth, "0");
  edFrm = AddEdit(Panel3, "edFrm", 328, 85, kNumberWidth, "0");
  edPix = AddEdit(Panel3, "edPix", 328, 105, kNumberWidth, "0.0");
  edThick = AddEdit(Panel3, "edThick", 328, 125, kNumberWidth, "0.0");
}

// Save, Cancel, Help, Images and the image pane, and the tab order.
void TMainForm::BuildButtons() {
  QStyle* look = style();
  BtOK = AddButton(Panel4, "BtOK", "&Save", 260, 188, 73,
                   look->standardIcon(QStyle::SP_DialogOkButton));
  BtOK->setDefault(true);
  BtOK->setEnabled(false);
  BitBtn2 = AddButton(Panel4, "BitBtn2", "&Cancel", 336, 188, 73,
                      look->standardIcon(QStyle::SP_DialogCancelButton));
  btHelp = AddButton(Panel4, "btHelp", "&Help", 412, 188, 73,
                     look->standardIcon(QStyle::SP_DialogHelpButton));
  Button1 = AddButton(Panel4, "Button1", "Show Header Info.", 8, 188, 121, QIcon());
  Button1->hide();
  btImages = AddButton(Panel4, "btImages", "Images >>", 8, 188, 121, QIcon());
  btImages->setEnabled(false);
  btImages->setAutoDefault(false);
  btHeader = AddButton(Panel4, "btHeader", "&File header", 133, 188, 121, QIcon());
  btHeader->setToolTip("The header lines Save will write, each value written otherwise marked");
  btHeader->setCheckable(true);
  btHeader->setEnabled(false);
  btHeader->setAutoDefault(false);
  headerView = new QTextEdit(this);
  headerView->setObjectName("headerView");
  headerView->setReadOnly(true);
  // A long mark wraps below its line rather than out of sight.
  headerView->setLineWrapMode(QTextEdit::WidgetWidth);
  QFont fixed = QFontDatabase::systemFont(QFontDatabase::FixedFont);
  fixed.setPixelSize(12);
  headerView->setFont(fixed);
  {
    QPalette palette = headerView->palette();
    palette.setColor(QPalette::Base, Qt::white);
    palette.setColor(QPalette::Text, Qt::black);
    headerView->setPalette(palette);
  }
  headerView->hide();
  imagePane = new ImagePane(study_, this);
  imagePane->hide();
  SetEnabledTextBlack(imagePane->playButton);
  for (QPushButton* b : {BitBtn2, btHelp}) b->setAutoDefault(false);

  // Down the left column, then the right one, then the slice order and the
  // buttons from left to right, Select last.
  QWidget* order[] = {edID,   edName,  edHeight, edWeight, rbM,      rbF,   edTracer, edComment,
                      edDate, edTime,  edHR,     edDiv,    edFrm,    edPix, edThick,  cbMflag,
                      BtOK,   BitBtn2, btHelp,   btImages, btHeader, btIn};
  for (std::size_t i = 0; i + 1 < std::size(order); ++i) setTabOrder(order[i], order[i + 1]);
}

// Drops, shortcuts and the handlers of the buttons.
void TMainForm::ConnectEvents() {
  // A URL dropped on an edit field loads the file; the field does not take it as text.
  for (QLineEdit* edit : findChildren<QLineEdit*>()) edit->installEventFilter(this);
  auto* selectKey = new QShortcut(QKeySequence::Open, this);
  connect(selectKey, &QShortcut::activated, this, [this] {
    if (!batchMode_) btInClick();
  });
  auto* helpKey = new QShortcut(QKeySequence::HelpContents, this);
  connect(helpKey, &QShortcut::activated, this, &TMainForm::btHelpClick);

  // The style's focus frame around the focused button: the form's palette
  // leaves the style's own focus mark faint on grey.
  auto* focusFrame = new QFocusFrame(this);
  connect(qApp, &QApplication::focusChanged, focusFrame,
          [this, focusFrame](QWidget*, QWidget* now) {
            auto* button = qobject_cast<QAbstractButton*>(now);
            focusFrame->setWidget(button != nullptr && isAncestorOf(button) ? button : nullptr);
          });

  connect(btIn, &QToolButton::clicked, this, &TMainForm::btInClick);
  connect(BtOK, &QPushButton::clicked, this, &TMainForm::BtOKClick);
  connect(BitBtn2, &QPushButton::clicked, this, &TMainForm::BitBtn2Click);
  connect(btHelp, &QPushButton::clicked, this, &TMainForm::btHelpClick);
  connect(Button1, &QPushButton::clicked, this, &TMainForm::Button1Click);
  connect(btImages, &QPushButton::clicked, this, &TMainForm::ToggleImagePane);
  connect(btHeader, &QPushButton::clicked, this, &TMainForm::ToggleHeaderView);
  for (QLineEdit* count : {edDiv, edFrm})
    connect(count, &QLineEdit::textChanged, this, &TMainForm::FollowWrittenCounts);
  for (QLineEdit* edit : Panel3->findChildren<QLineEdit*>())
    connect(edit, &QLineEdit::textChanged, this, &TMainForm::UpdateHeaderView);
  for (QRadioButton* sex : {rbM, rbF})
    connect(sex, &QRadioButton::toggled, this, &TMainForm::UpdateHeaderView);
  connect(cbMflag, &QCheckBox::toggled, this, [this](bool baseToApex) {
    if (!imagePane->isHidden()) imagePane->ShowStudy(baseToApex);
  });
}

void TMainForm::FormCreate() {
  setMinimumSize(kClientWidth, LayoutHeight());
  if (!batchMode_) return;
  ShowPath(pnIn, QString::fromLocal8Bit(inputPath_.c_str()));
  ShowPath(pnOut, QString::fromLocal8Bit(outputPath_.c_str()));
  LoadStudy();
}

// Panel1 runs along the top at full width and Panel4 fills the rest; the
// controls inside them keep their places.
void TMainForm::resizeEvent(QResizeEvent* event) {
  QDialog::resizeEvent(event);
  const int top = Panel1->isHidden() ? 0 : kInputRowHeight;
  // With the image pane open, the panels keep the layout's width and the
  // pane takes the rest.
  const int panels = imagePane->isHidden() ? width() : kClientWidth;
  // With the header view open, the form keeps its height and the view
  // takes the rest below it.
  const int form = headerView->isHidden() ? height() : kClientHeight;
  Panel1->setGeometry(0, 0, panels, kInputRowHeight);
  Panel4->setGeometry(0, top, panels, form - top);
  headerView->setGeometry(0, form, panels, height() - form);
  imagePane->setGeometry(panels, 0, width() - panels, height());
}

int TMainForm::LayoutHeight() const {
  return kClientHeight + (headerView->isHidden() ? 0 : kMinHeaderViewHeight);
}

void TMainForm::FollowWrittenCounts() {
  // A count Save would refuse leaves the pane as loaded.
  auto written = [](QLineEdit* edit, int loaded) {
    std::optional<std::int32_t> value = ParseFormInteger(edit->text().toStdString());
    return value && *value >= 0 && *value <= loaded ? *value : -1;
  };
  imagePane->LimitTo(written(edDiv, loaded_.gates), written(edFrm, loaded_.frames));
  if (!imagePane->isHidden()) imagePane->ShowStudy(cbMflag->isChecked());
}

void TMainForm::ToggleHeaderView() {
  const bool shown = headerView->isHidden();
  QSettings().setValue(kHeaderViewKey, shown);
  ShowHeaderView(shown);
}

// Unfolding lengthens the window by the view, as far as the screen has room.
void TMainForm::ShowHeaderView(bool shown) {
  btHeader->setChecked(shown);
  if (shown == !headerView->isHidden()) return;
  headerView->setVisible(shown);
  setMinimumSize(minimumWidth(), LayoutHeight());
  if (shown) {
    UpdateHeaderView();
    resize(width(), kClientHeight + kHeaderViewHeight);
    FitOnScreen();
  } else {
    resize(width(), kClientHeight);
  }
  QResizeEvent relayout(size(), size());
  resizeEvent(&relayout);
}

namespace {

QString Escaped(const std::string& utf8) {
  return QString::fromUtf8(utf8.c_str()).toHtmlEscaped();
}

}  // namespace

void TMainForm::UpdateHeaderView() {
  if (headerView->isHidden()) return;
  if (!BtOK->isEnabled()) {
    headerView->clear();
    return;
  }
  TStudyRecord stored = study_.record;
  if (std::optional<FormConversionError> error = StoreFormTexts(CollectTexts(), stored)) {
    QWidget* field = findChild<QWidget*>(QString::fromLatin1(ControlOfField(error->field)));
    auto* edit = qobject_cast<QLineEdit*>(field);
    const QString typed = edit ? edit->text() : QString::fromLatin1(error->text.c_str());
    headerView->setHtml("<p>Save refuses the fields as they stand:<br>" +
                        QString::fromUtf8(FormMessageTemplate(*error).c_str())
                            .replace("%s", typed)
                            .toHtmlEscaped() +
                        "</p>");
    return;
  }
  QString html = "<div style=\"white-space:pre-wrap\">";
  for (const MarkedHeaderLine& line : MarkedHeaderLines(stored, study_.found, characterSet_)) {
    if (line.mark.empty()) {
      html += Escaped(line.text) + "\n";
      continue;
    }
    html += "<span style=\"background:#ffe066\">" + Escaped(line.text) +
            "</span> <span style=\"color:#b00000\">&lt;- " + Escaped(line.mark) + "</span>\n";
  }
  headerView->setHtml(html + "</div>");
}

void TMainForm::ToggleImagePane() {
  const bool shown = imagePane->isHidden();
  QSettings().setValue(kImagePaneKey, shown);
  ShowImagePane(shown);
}

// Unfolding widens the window by the pane, as far as the screen has room
// (or to the size it had unfolded last time); folding gives back the size
// the window had before.
void TMainForm::ShowImagePane(bool shown) {
  if (shown == !imagePane->isHidden()) return;
  btImages->setText(shown ? "<< Images" : "Images >>");
  imagePane->setVisible(shown);
  if (shown) {
    imagePane->ShowStudy(cbMflag->isChecked());
    foldedSize_ = size();
    foldedWithHeader_ = !headerView->isHidden();
    const QRect room = screen() ? screen()->availableGeometry() : QRect(0, 0, 1024, 768);
    const int frame = frameGeometry().width() - width();
    const int most = std::max(kFrameSide, room.width() - frame - kClientWidth);
    QSize target(width() + std::min(kImagePaneWidth, most), height());
    const QSize remembered = QSettings().value(kUnfoldedSizeKey).toSize();
    if (remembered.isValid()) target = remembered;
    setMinimumSize(kClientWidth + std::min(kMinImagePaneWidth, most), LayoutHeight());
    resize(target);
    FitOnScreen();
  } else {
    setMinimumSize(kClientWidth, LayoutHeight());
    // The folded height, unless the header view folded or unfolded since.
    const bool sameHeader = foldedWithHeader_ == !headerView->isHidden();
    resize(QSize(foldedSize_.width(), sameHeader ? foldedSize_.height() : height())
               .expandedTo(minimumSize()));
  }
  QResizeEvent relayout(size(), size());
  resizeEvent(&relayout);  // a hidden window gets its resize event only when shown
}

QSize TMainForm::FrameExtra() const {
  return frameGeometry().size() - size();
}

void TMainForm::FitOnScreen() {
  QScreen* on = screen();
  if (on == nullptr) return;
  const QRect room = on->availableGeometry();
  const QRect frame = frameGeometry();
  fittedFrame_ = FrameExtra();
  const int extraWidth = fittedFrame_.width(), extraHeight = fittedFrame_.height();
  const QSize fitted(std::min(width(), room.width() - extraWidth),
                     std::min(height(), room.height() - extraHeight));
  if (fitted != size()) resize(fitted.expandedTo(minimumSize()));
  const QSize outer = size() + QSize(extraWidth, extraHeight);
  const int x =
      std::clamp(frame.x(), room.left(), std::max(room.left(), room.right() + 1 - outer.width()));
  const int y =
      std::clamp(frame.y(), room.top(), std::max(room.top(), room.bottom() + 1 - outer.height()));
  if (QPoint(x, y) != frame.topLeft()) move(x, y);
}

void TMainForm::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  FitOnScreen();
}

// A window manager frames the window only after it is shown, and moves it
// into the frame: the fit at the show counted no frame, so a window as wide
// as the screen stood out by the frame's borders. Fitted again once the
// frame is known (or changes).
void TMainForm::moveEvent(QMoveEvent* event) {
  QDialog::moveEvent(event);
  if (isVisible() && FrameExtra() != fittedFrame_) FitOnScreen();
}

void TMainForm::SaveWindowState() {
  QSettings settings;
  settings.setValue(kPositionKey, frameGeometry().topLeft());
  if (!imagePane->isHidden()) settings.setValue(kUnfoldedSizeKey, size());
}

void TMainForm::EndProcess(int code) {
  SaveWindowState();
  services_->EndProcess(code);
}

void TMainForm::ReportFailure(const std::string& file, const std::string& reason) {
  std::fprintf(stderr, "dicom-converter: %s: %s\n", file.c_str(), reason.c_str());
  services_->ShowError(isVisible() ? this : nullptr, QString::fromLocal8Bit(file.c_str()) + "\n\n" +
                                                         QString::fromLocal8Bit(reason.c_str()));
}

bool TMainForm::LoadStudy() {
  LoadOptions options;
  options.ask = [this](const OperatorQuestion& question) {
    return services_->AskYesNo(isVisible() ? this : nullptr, QString::fromUtf8(question.text),
                               QString::fromUtf8(question.caption), question.defaultYes,
                               QString::fromStdString(question.found));
  };
  options.decoder = decoder_;
  LoadReport report;
  int result;
  {
    LoadProgressView progress(isVisible() ? this : nullptr);
    options.progress = [&progress](const LoadProgress& now) { return progress.Report(now); };
    result = LoadGatedStudy(inputPath_.c_str(), study_, options, report);
  }
  if (result != kLoadOk) {
    // An operator who answered No or cancelled knows why: no box; a cancel
    // still leaves its line for a calling script.
    if (report.failure == LoadFailure::kCancelled)
      std::fprintf(stderr, "dicom-converter: %s: %s\n", inputPath_.c_str(), report.detail.c_str());
    else if (!report.DeclinedByOperator())
      ReportFailure(inputPath_, report.FailureText(result));
    EndProcess(result);
    return false;
  }
  SetCharacterSet(report.characterSet);
  CutIdentityToWholeCharacters(study_.record, study_.found, report.characterSet);
  // What changes of the patient's identity comes first among the caveats.
  const std::vector<std::string> caveats =
      IdentityCaveats(study_.record, study_.found, report.characterSet);
  report.warnings.insert(report.warnings.begin(), caveats.begin(), caveats.end());
  FillFieldsFromStudy();
  const TStudyRecord& record = study_.record;
  loaded_ = LoadedCountsOf(record);
  bool samePatient = !studyShown_ || (shownPatientId_ == record.patientId &&
                                      shownPatientName_ == record.patientName);
  if (!samePatient) {
    edHeight->setText("0");
    edWeight->setText("0");
  }
  studyShown_ = true;
  shownPatientId_ = record.patientId;
  shownPatientName_ = record.patientName;
  BtOK->setEnabled(true);
  btImages->setEnabled(true);
  btHeader->setEnabled(true);
  // An open pane shows the new study; a folded one draws it when unfolded.
  imagePane->NewStudy();
  imagePane->LimitTo(-1, -1);
  if (!imagePane->isHidden())
    imagePane->ShowStudy(cbMflag->isChecked());
  else if (QSettings().value(kImagePaneKey, false).toBool())
    ShowImagePane(true);
  if (QSettings().value(kHeaderViewKey, false).toBool()) ShowHeaderView(true);
  UpdateHeaderView();
  if (!report.warnings.empty()) {
    QStringList lines;
    for (const std::string& warning : report.warnings) {
      std::fprintf(stderr, "dicom-converter: warning: %s: %s\n", inputPath_.c_str(),
                   warning.c_str());
      lines << QString::fromUtf8(warning.c_str());
    }
    services_->ShowWarning(isVisible() ? this : nullptr,
                           QString::fromLocal8Bit(inputPath_.c_str()) + "\n\n" + lines.join("\n"));
  }
  return true;
}

void TMainForm::btInClick() {
  std::optional<QString> chosen =
      services_->ChooseInputFile(this, QSettings().value(kOpenFolderKey).toString());
  if (chosen) OpenInputFile(*chosen);
}

// The open folder is remembered only once a file in it has loaded. A folder
// or a DICOMDIR is scanned first and the study picked from it loads.
void TMainForm::OpenInputFile(const QString& path) {
  const QFileInfo chosen(path);
  const bool folderChoice =
      chosen.isDir() || chosen.fileName().compare("DICOMDIR", Qt::CaseInsensitive) == 0;
  QString file = path;
  if (folderChoice) {
    std::optional<QString> study = ChooseStudyIn(path);
    if (!study) return;
    file = *study;
  }
  if (!LoadInputFile(file)) return;
  // The dialog opens again where the operator chose: the folder scanned,
  // or the folder of the file.
  const QFileInfo loaded(QString::fromLocal8Bit(inputPath_.c_str()));
  QSettings().setValue(kOpenFolderKey, chosen.isDir() ? chosen.absoluteFilePath()
                                       : folderChoice ? chosen.absolutePath()
                                                      : loaded.absolutePath());
}

std::optional<QString> TMainForm::ChooseStudyIn(const QString& path) {
  QWidget* parent = isVisible() ? this : nullptr;
  std::optional<TreeScanResult> found = services_->ScanForStudies(parent, path);
  if (!found) return std::nullopt;  // the operator cancelled the scan
  for (const std::string& line : found->unreadable)
    std::fprintf(stderr, "dicom-converter: %s\n", line.c_str());
  if (found->studies.empty()) {
    ReportFailure(path.toLocal8Bit().toStdString(), "no NM study found");
    return std::nullopt;
  }
  SortStudies(found->studies);
  std::optional<std::size_t> picked = services_->ChooseStudy(parent, found->studies);
  if (!picked || *picked >= found->studies.size()) return std::nullopt;
  return QString::fromLocal8Bit(found->studies[*picked].path.c_str());
}

bool TMainForm::LoadInputFile(const QString& path) {
  QString full = QDir::cleanPath(QDir(path).absolutePath());
  ShowPath(pnIn, full);
  inputPath_ = full.toLocal8Bit().toStdString();  // any length, never cut
  return LoadStudy();
}

// A long path loses its middle, so that the file name stays in view; the
// tooltip has it whole.
void TMainForm::ShowPath(QLabel* panel, const QString& path) {
  const int room = panel->contentsRect().width() - 2;
  panel->setText(panel->fontMetrics().elidedText(path, Qt::ElideMiddle, room));
  panel->setToolTip(path);
}

QString TMainForm::ProposedOutputPath() const {
  const QFileInfo input(QString::fromLocal8Bit(inputPath_.c_str()));
  QString folder = QSettings().value(kSaveFolderKey).toString();
  if (folder.isEmpty() || !QFileInfo(folder).isDir()) folder = input.absolutePath();
  return QDir(folder).filePath(input.completeBaseName() + ".gsd");
}

namespace {

// Which edit field shows which form text. Height and weight belong to the
// operator: a load leaves them as typed.
struct FieldBinding {
  QLineEdit* TMainForm::*edit;
  std::string StudyFormTexts::*text;
  bool shownAfterLoad;
};

const FieldBinding kFieldBindings[] = {
    {&TMainForm::edID, &StudyFormTexts::id, true},
    {&TMainForm::edName, &StudyFormTexts::name, true},
    {&TMainForm::edDate, &StudyFormTexts::date, true},
    {&TMainForm::edTime, &StudyFormTexts::time, true},
    {&TMainForm::edTracer, &StudyFormTexts::tracer, true},
    {&TMainForm::edComment, &StudyFormTexts::comment, true},
    {&TMainForm::edHR, &StudyFormTexts::heartRate, true},
    {&TMainForm::edDiv, &StudyFormTexts::gates, true},
    {&TMainForm::edFrm, &StudyFormTexts::frames, true},
    {&TMainForm::edPix, &StudyFormTexts::pixelSize, true},
    {&TMainForm::edThick, &StudyFormTexts::thickness, true},
    {&TMainForm::edHeight, &StudyFormTexts::height, false},
    {&TMainForm::edWeight, &StudyFormTexts::weight, false},
};

}  // namespace

void TMainForm::SetDecoderSettings(const DecoderSettings& settings) {
  decoder_ = settings;
}

void TMainForm::SetCharacterSet(const std::string& specificCharacterSet) {
  characterSet_ = specificCharacterSet;
}

// The record's bytes as the file's character set means them; without one,
// or when they do not decode, byte for byte as Latin-1.
QString TMainForm::ShownText(const std::string& bytes) const {
  if (!characterSet_.empty())
    if (std::optional<std::string> text = DecodeDicomText(bytes, characterSet_))
      return QString::fromStdString(*text);
  return FromRecord(bytes);
}

void TMainForm::FillFieldsFromStudy() {
  StudyFormTexts texts;
  FillFormTexts(study_.record, texts);
  loadedTexts_.assign(std::size(kFieldBindings), {});
  for (std::size_t i = 0; i < std::size(kFieldBindings); ++i) {
    const FieldBinding& field = kFieldBindings[i];
    if (!field.shownAfterLoad) continue;
    QLineEdit* edit = this->*field.edit;
    const std::string& bytes = texts.*field.text;
    loadedTexts_[i] = {bytes, ShownText(bytes)};
    edit->setText(loadedTexts_[i].second);
    edit->setCursorPosition(0);  // the beginning in view, not the end
  }
  ShowSex(rbM, rbF, texts.sex);
}

StudyFormTexts TMainForm::CollectTexts() const {
  StudyFormTexts texts;
  // A field that still shows what the load put there gives back the file's
  // own bytes; an edited one is stored by the Latin-1 rule.
  for (std::size_t i = 0; i < std::size(kFieldBindings); ++i) {
    const FieldBinding& field = kFieldBindings[i];
    const QString shown = (this->*field.edit)->text();
    const bool unedited =
        i < loadedTexts_.size() && field.shownAfterLoad && shown == loadedTexts_[i].second;
    texts.*field.text = unedited ? loadedTexts_[i].first : ToRecord(shown);
  }
  texts.sex = rbM->isChecked()   ? FormSex::kMale
              : rbF->isChecked() ? FormSex::kFemale
                                 : FormSex::kUnknown;
  texts.loaded = loaded_;
  return texts;
}

void TMainForm::BtOKClick() {
  if (!BtOK->isEnabled()) return;
  // The sex and the numbers are checked first, so that the operator is not
  // asked for a path in vain, on a copy, so that a cancelled save dialog
  // changes nothing.
  const StudyFormTexts texts = CollectTexts();
  TStudyRecord stored = study_.record;
  if (std::optional<FormConversionError> error = StoreFormTexts(texts, stored)) {
    QWidget* field = findChild<QWidget*>(QString::fromLatin1(ControlOfField(error->field)));
    auto* edit = qobject_cast<QLineEdit*>(field);
    QString typed = edit ? edit->text() : QString::fromLatin1(error->text.c_str());
    QString message = QString::fromUtf8(FormMessageTemplate(*error).c_str()).replace("%s", typed);
    std::fprintf(stderr, "dicom-converter: %s\n", message.toLocal8Bit().constData());
    services_->ShowError(this, message);
    if (field) field->setFocus();
    return;
  }
  // Fewer gates or frames than loaded write the first ones, R-R Divisions 0
  // one gate as an ungated file: said once, here, and No writes nothing.
  const int loadedGates = std::max<int>(loaded_.gates, 1), loadedFrames = loaded_.frames;
  const int writtenGates = std::max<int>(stored.gateCount, 1);
  if (writtenGates < loadedGates || stored.frameCount < loadedFrames) {
    const QString question =
        QString("%1 gates x %2 frames were loaded; %3 x %4 will be written%5. Save?")
            .arg(loadedGates)
            .arg(loadedFrames)
            .arg(writtenGates)
            .arg(stored.frameCount)
            .arg(stored.gateCount <= 0 ? " as an ungated study (R-R Divisions 0)" : "");
    if (!services_->AskYesNo(this, question, kApplicationTitle, false, QString())) return;
  }
  if (!batchMode_) {
    std::optional<QString> chosen = services_->ChooseOutputFile(this, ProposedOutputPath());
    if (!chosen) return;
    outputPath_ = chosen->toLocal8Bit().toStdString();
  }
  study_.record = stored;
  std::string error;
  const int result = OutputIsTheInput(outputPath_.c_str(), study_, error)
                         ? kGsdNotWritten
                         : WriteGsdFile(outputPath_.c_str(), study_, cbMflag->isChecked(), error);
  // The save folder is remembered only when the file was written there: a
  // folder that refused it (/proc, a full disk) is not offered again.
  if (result == kGsdWritten && !batchMode_)
    QSettings().setValue(kSaveFolderKey,
                         QFileInfo(QString::fromLocal8Bit(outputPath_.c_str())).absolutePath());
  if (result != kGsdWritten) ReportFailure(outputPath_, "cannot write: " + error);
  EndProcess(result);
}

void TMainForm::BitBtn2Click() {
  EndProcess(kExitCancelled);
}

void TMainForm::btHelpClick() {
  // The compiled guide, else its HTML copy in a browser, else where it is.
  const QString folder = GuideFolder(QCoreApplication::applicationDirPath());
  const QString guides[] = {folder + "/dicom.chm", folder + "/dicom.html"};
  for (const QString& guide : guides)
    if (OpenDocumentWithShell(guide.toLocal8Bit().constData()) == 0) return;
  services_->ShowWarning(this, "No program here can show the operator's guide. It is at\n" +
                                   guides[0] + "\n" + guides[1]);
}

void TMainForm::Button1Click() {}

int TMainForm::OpenDocumentWithShell(const char* path) {
  return services_->OpenDocument(QString::fromLocal8Bit(path)) ? 0 : -1;
}

void TMainForm::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier) {
    BitBtn2Click();
    return;
  }
  // Enter presses the focused Cancel, Help or Images; from a field of the
  // form it saves. The image pane only views: Enter in its level box (which
  // has taken the typed level by now), its gate slider or Play acts on that
  // control alone and never writes the file.
  const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
  QWidget* focused = focusWidget();
  if (enter && (focused == BitBtn2 || focused == btHelp || focused == btImages)) {
    static_cast<QPushButton*>(focused)->click();
    return;
  }
  if (enter && focused != nullptr && imagePane->isAncestorOf(focused)) {
    if (auto* button = qobject_cast<QAbstractButton*>(focused)) button->click();
    event->accept();
    return;
  }
  QDialog::keyPressEvent(event);  // Enter presses the default button Save
}

void TMainForm::closeEvent(QCloseEvent* event) {
  // Closing through the window system asks nothing and writes nothing.
  SaveWindowState();
  event->accept();
  QCoreApplication::quit();
}

bool TMainForm::eventFilter(QObject* watched, QEvent* event) {
  const QEvent::Type type = event->type();
  if (type == QEvent::DragEnter || type == QEvent::DragMove || type == QEvent::Drop) {
    auto* drop = static_cast<QDropEvent*>(event);
    if (drop->mimeData()->hasUrls()) {
      if (type == QEvent::Drop)
        dropEvent(drop);
      else if (type == QEvent::DragEnter)
        dragEnterEvent(static_cast<QDragEnterEvent*>(event));
      else if (!batchMode_)
        drop->acceptProposedAction();
      else
        drop->ignore();
      return true;
    }
  }
  return QDialog::eventFilter(watched, event);
}

namespace {

// The first URL of a drop when it names a local file; otherwise empty.
QString DroppedLocalFile(const QMimeData* data) {
  if (!data->hasUrls() || data->urls().isEmpty() || !data->urls().first().isLocalFile())
    return QString();
  return data->urls().first().toLocalFile();
}

}  // namespace

void TMainForm::dragEnterEvent(QDragEnterEvent* event) {
  if (!batchMode_ && !DroppedLocalFile(event->mimeData()).isEmpty())
    event->acceptProposedAction();
  else
    event->ignore();
}

void TMainForm::dropEvent(QDropEvent* event) {
  const QString file = batchMode_ ? QString() : DroppedLocalFile(event->mimeData());
  if (file.isEmpty()) {
    event->ignore();
    return;
  }
  event->acceptProposedAction();
  OpenInputFile(file);
}
