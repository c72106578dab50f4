#include "app/image_pane.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QSignalBlocker>
#include <QSlider>
#include <QSpinBox>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>

#include "app/gate_curve_view.h"
#include "gsd/frame_grey.h"
#include "model/gate_curve.h"

QImage RenderGateStrip(const FrameStore& store, int gate, int frames, bool baseToApex,
                       int maxCount) {
  frames = store.Held() ? std::clamp(frames, 0, kStoreFramesPerGate) : 0;
  gate = std::clamp(gate, 0, kStoreGates - 1);
  const int top = std::max(maxCount, 1);
  QImage strip(kFrameSide, std::max(frames, 1) * kFrameSide, QImage::Format_Grayscale8);
  strip.fill(0);
  for (int i = 0; i < frames; ++i) {
    const std::int16_t* frame = store.Slot(gate, baseToApex ? i : frames - 1 - i);
    for (int row = 0; row < kFrameSide; ++row) {
      uchar* line = strip.scanLine(i * kFrameSide + row);
      for (int column = 0; column < kFrameSide; ++column) {
        line[column] = GreyLevel(frame[row * kFrameSide + column], top);
      }
    }
  }
  return strip;
}

MontageLayout FitMontage(int slices, QSize room) {
  MontageLayout best;
  if (slices <= 0) return best;
  for (int columns = 1; columns <= slices; ++columns) {
    const int rows = (slices + columns - 1) / columns;
    const int cell = std::min((room.width() - (columns - 1) * kMontageGap) / columns,
                              (room.height() - (rows - 1) * kMontageGap) / rows);
    if (cell >= best.cell) best = {columns, rows, cell};  // a tie goes to the wider grid
  }
  return best;
}

MontageView::MontageView(QWidget* parent) : QWidget(parent) {
  setAttribute(Qt::WA_OpaquePaintEvent);
  setMinimumSize(kFrameSide, kFrameSide);
}

void MontageView::SetStrip(const QImage& strip, int slices, bool baseToApex) {
  strip_ = strip;
  slices_ = slices;
  baseToApex_ = baseToApex;
  update();
}

namespace {

// A label on a dark box, so that it reads on white counts too.
void DrawTag(QPainter& painter, const QRect& cell, const QString& text, Qt::Alignment corner,
             const QColor& colour) {
  QRect box = painter.fontMetrics().boundingRect(text).adjusted(-2, 0, 2, 0);
  box.moveTopLeft(cell.topLeft());
  if (corner & Qt::AlignRight) box.moveRight(cell.right());
  if (corner & Qt::AlignBottom) box.moveBottom(cell.bottom());
  painter.fillRect(box, QColor(0, 0, 0, 160));
  painter.setPen(colour);
  painter.drawText(box, Qt::AlignCenter, text);
}

}  // namespace

void MontageView::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  // The gaps and the room left over: dark grey, apart from the black of
  // empty counts.
  painter.fillRect(rect(), QColor(48, 48, 48));
  const MontageLayout layout = Layout();
  if (slices_ <= 0 || layout.cell <= 0) return;
  painter.setRenderHint(QPainter::SmoothPixmapTransform, false);
  QFont font = painter.font();
  font.setPixelSize(std::clamp(layout.cell / 5, 8, 14));
  font.setBold(true);
  painter.setFont(font);
  // Numbers only where they leave most of the cell to see.
  const bool numbered = layout.cell >= 24;
  const int step = layout.cell + kMontageGap;
  for (int i = 0; i < slices_; ++i) {
    const QRect cell((i % layout.columns) * step, (i / layout.columns) * step, layout.cell,
                     layout.cell);
    painter.drawImage(cell, strip_, QRect(0, i * kFrameSide, kFrameSide, kFrameSide));
    if (numbered)
      DrawTag(painter, cell, QString::number(SliceNumber(i)), Qt::AlignRight | Qt::AlignBottom,
              Qt::white);
    const char* label = i == 0 ? "Base" : i == slices_ - 1 ? "Apex" : nullptr;
    if (label != nullptr) DrawTag(painter, cell, label, Qt::AlignLeft | Qt::AlignTop, Qt::yellow);
  }
}

ImagePane::ImagePane(const Study& study, QWidget* parent) : QWidget(parent), study_(study) {
  setObjectName("ImagePane");
  montage = new MontageView(this);
  gateSlider = new QSlider(Qt::Horizontal, this);
  gateSlider->setObjectName("gateSlider");
  gateSlider->setRange(0, 0);
  playButton = new QPushButton("Play", this);
  playButton->setObjectName("playButton");
  playButton->setCheckable(true);
  gateLabel = new QLabel(this);
  gateLabel->setObjectName("gateLabel");
  // As wide as its longest text, so that the slider keeps its length.
  gateLabel->setFixedWidth(
      gateLabel->fontMetrics().horizontalAdvance(QString("gate %1 of %1").arg(kStoreGates)) + 4);
  auto* levelName = new QLabel("Upper level", this);
  levelSlider = new QSlider(Qt::Horizontal, this);
  levelSlider->setObjectName("levelSlider");
  levelSlider->setToolTip("The count drawn white; higher counts are white as well");
  levelBox = new QSpinBox(this);
  levelBox->setObjectName("levelBox");
  levelBox->setToolTip(levelSlider->toolTip());
  // As wide as the style draws the largest count with its arrows, at any scale.
  levelBox->setRange(0, 32767);
  levelBox->setMinimumWidth(levelBox->sizeHint().width());
  // Dark on the light controls, whatever the pane's white labels use: the
  // style draws the spin box's arrows in the window's text colour.
  for (QWidget* level : {static_cast<QWidget*>(levelSlider), static_cast<QWidget*>(levelBox)}) {
    QPalette palette = level->palette();
    palette.setColor(QPalette::Text, Qt::black);
    palette.setColor(QPalette::ButtonText, Qt::black);
    palette.setColor(QPalette::WindowText, Qt::black);
    level->setPalette(palette);
  }
  facts = new QLabel(this);
  facts->setObjectName("imageFacts");
  facts->setWordWrap(true);  // a narrow pane wraps it rather than cutting it
  curve = new GateCurveView(this);
  beats = new QLabel(this);
  beats->setObjectName("beatsLine");
  beats->setWordWrap(true);

  auto* controls = new QHBoxLayout;
  controls->addWidget(playButton);
  controls->addWidget(gateSlider, 1);
  controls->addWidget(gateLabel);
  auto* levels = new QHBoxLayout;
  levels->addWidget(levelName);
  levels->addWidget(levelSlider, 1);
  levels->addWidget(levelBox);
  auto* column = new QVBoxLayout(this);
  column->setContentsMargins(6, 6, 6, 6);
  column->setSpacing(4);
  column->addWidget(montage, 1);
  column->addWidget(curve);
  column->addLayout(controls);
  column->addLayout(levels);
  column->addWidget(facts);
  column->addWidget(beats);

  cine_ = new QTimer(this);
  cine_->setInterval(1000 / kCineRate);
  connect(cine_, &QTimer::timeout, this,
          [this] { gateSlider->setValue((gateSlider->value() + 1) % gates_); });
  connect(gateSlider, &QSlider::valueChanged, this, [this](int gate) { ShowGate(gate); });
  connect(playButton, &QPushButton::toggled, this, [this] { TogglePlay(); });
  connect(levelSlider, &QSlider::valueChanged, this, [this](int level) { SetUpperLevel(level); });
  connect(levelBox, qOverload<int>(&QSpinBox::valueChanged), this,
          [this](int level) { SetUpperLevel(level); });
}

int ImagePane::UpperLevel() const {
  return level_;
}

// A new level redraws the gates from the store.
void ImagePane::SetUpperLevel(int level) {
  {
    const QSignalBlocker quietSlider(levelSlider), quietBox(levelBox);
    levelSlider->setValue(level);
    levelBox->setValue(level);
  }
  if (level == level_) return;
  level_ = level;
  strips_.assign(strips_.size(), QImage());
  ShowGate(gateSlider->value());
}

void ImagePane::ShowStudy(bool baseToApex) {
  baseToApex_ = baseToApex;
  const TStudyRecord& record = study_.record;
  gates_ = std::clamp<int>(record.gateCount, 1, kStoreGates);
  frames_ = std::clamp<int>(record.frameCount, 0, kStoreFramesPerGate);
  if (limitGates_ >= 0) gates_ = std::clamp(limitGates_, 1, gates_);
  if (limitFrames_ >= 0) frames_ = std::min(limitFrames_, frames_);
  // A new study starts at its maximum; a new slice order keeps the level.
  const int maxCount = std::max<int>(record.maxCount, 0);
  if (maxCount != maxCount_ || levelSlider->maximum() != maxCount) {
    maxCount_ = maxCount;
    level_ = maxCount;
    const QSignalBlocker quietSlider(levelSlider), quietBox(levelBox);
    levelSlider->setRange(0, maxCount);
    levelSlider->setPageStep(std::max(1, maxCount / 10));
    levelBox->setRange(0, maxCount);
    levelSlider->setValue(maxCount);
    levelBox->setValue(maxCount);
  }
  strips_.assign(static_cast<std::size_t>(gates_), QImage());
  playButton->setEnabled(gates_ > 1);
  if (gates_ <= 1) playButton->setChecked(false);
  const int read = record.matrixSize;
  facts->setText(QString("%1 gates x %2 frames, matrix %3 x %3 read, %4 x %4 written, max %5")
                     .arg(gates_)
                     .arg(frames_)
                     .arg(read)
                     .arg(kFrameSide)
                     .arg(maxCount_));
  curve->SetCurve(CurveOfStudy(study_));
  beats->setText(QString::fromStdString(BeatsLine(study_.found.beats)));
  beats->setToolTip(QString::fromStdString(BeatsDetails(study_.found.beats, record.heartRate)));
  const int gate = std::min(gateSlider->value(), gates_ - 1);
  gateSlider->blockSignals(true);
  gateSlider->setRange(0, gates_ - 1);
  gateSlider->setValue(gate);
  gateSlider->blockSignals(false);
  ShowGate(gate);
}

int ImagePane::Gate() const {
  return gateSlider->value();
}

void ImagePane::ShowGate(int gate) {
  if (gate < 0 || gate >= gates_) return;
  QImage& strip = strips_[static_cast<std::size_t>(gate)];
  if (strip.isNull()) strip = RenderGateStrip(study_.frames, gate, frames_, baseToApex_, level_);
  montage->SetStrip(strip, frames_, baseToApex_);
  curve->SetCurrentGate(gate);
  gateLabel->setText(QString("gate %1 of %2").arg(gate + 1).arg(gates_));
}

void ImagePane::TogglePlay() {
  if (playButton->isChecked() && gates_ > 1) {
    playButton->setText("Stop");
    cine_->start();
  } else {
    playButton->setChecked(false);
    playButton->setText("Play");
    cine_->stop();
  }
}
