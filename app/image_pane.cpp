#include "image_pane.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QSlider>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>

#include "frame_grey.h"
#include "study_state.h"

QImage RenderGateStrip(int gate, int frames, bool baseToApex, int maxCount) {
  frames = std::clamp(frames, 0, kStoreFramesPerGate);
  gate = std::clamp(gate, 0, kStoreGates - 1);
  const int top = std::max(maxCount, 1);
  QImage strip(kFrameSide, std::max(frames, 1) * kFrameSide, QImage::Format_Grayscale8);
  strip.fill(0);
  for (int i = 0; i < frames; ++i) {
    const std::int16_t* frame = ImageStore + FrameSlotIndex(gate, baseToApex ? i : frames - 1 - i);
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
    int cell = std::min(room.width() / columns, room.height() / rows);
    if (cell >= kFrameSide) cell -= cell % kFrameSide;
    if (cell >= best.cell) best = {columns, rows, cell};  // a tie goes to the wider grid
  }
  return best;
}

MontageView::MontageView(QWidget* parent) : QWidget(parent) {
  setAttribute(Qt::WA_OpaquePaintEvent);
  setMinimumSize(kFrameSide, kFrameSide);
}

void MontageView::SetStrip(const QImage& strip, int slices) {
  strip_ = strip;
  slices_ = slices;
  update();
}

void MontageView::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.fillRect(rect(), Qt::black);
  const MontageLayout layout = Layout();
  if (slices_ <= 0 || layout.cell <= 0) return;
  painter.setRenderHint(QPainter::SmoothPixmapTransform, false);
  QFont font = painter.font();
  font.setPixelSize(std::clamp(layout.cell / 5, 9, 14));
  font.setBold(true);
  painter.setFont(font);
  for (int i = 0; i < slices_; ++i) {
    const QRect cell((i % layout.columns) * layout.cell, (i / layout.columns) * layout.cell,
                     layout.cell, layout.cell);
    painter.drawImage(cell, strip_, QRect(0, i * kFrameSide, kFrameSide, kFrameSide));
    const char* label = i == 0 ? "Base" : i == slices_ - 1 ? "Apex" : nullptr;
    if (label == nullptr) continue;
    const QRect text = painter.fontMetrics().boundingRect(label).adjusted(-2, 0, 2, 0);
    const QRect box(cell.topLeft(), text.size());
    painter.fillRect(box, QColor(0, 0, 0, 160));
    painter.setPen(Qt::yellow);
    painter.drawText(box, Qt::AlignCenter, label);
  }
}

ImagePane::ImagePane(QWidget* parent) : QWidget(parent) {
  setObjectName("ImagePane");
  montage = new MontageView(this);
  gateSlider = new QSlider(Qt::Horizontal, this);
  gateSlider->setObjectName("gateSlider");
  gateSlider->setRange(0, 0);
  playButton = new QPushButton("Play", this);
  playButton->setObjectName("playButton");
  playButton->setCheckable(true);
  gateLabel = new QLabel(this);
  facts = new QLabel(this);
  facts->setObjectName("imageFacts");

  auto* controls = new QHBoxLayout;
  controls->addWidget(playButton);
  controls->addWidget(gateSlider, 1);
  controls->addWidget(gateLabel);
  auto* column = new QVBoxLayout(this);
  column->setContentsMargins(6, 6, 6, 6);
  column->addWidget(montage, 1);
  column->addLayout(controls);
  column->addWidget(facts);

  cine_ = new QTimer(this);
  cine_->setInterval(1000 / kCineRate);
  connect(cine_, &QTimer::timeout, this,
          [this] { gateSlider->setValue((gateSlider->value() + 1) % gates_); });
  connect(gateSlider, &QSlider::valueChanged, this, [this](int gate) { ShowGate(gate); });
  connect(playButton, &QPushButton::toggled, this, [this] { TogglePlay(); });
}

void ImagePane::ShowStudy(bool baseToApex) {
  baseToApex_ = baseToApex;
  gates_ = std::clamp<int>(StudyRecord.gateCount, 1, kStoreGates);
  frames_ = std::clamp<int>(StudyRecord.frameCount, 0, kStoreFramesPerGate);
  maxCount_ = StudyRecord.maxCount;
  strips_.assign(static_cast<std::size_t>(gates_), QImage());
  const int read = StudyRecord.matrixSize;
  facts->setText(QString("%1 gates x %2 frames, matrix %3 x %3 read, %4 x %4 written, max %5")
                     .arg(gates_)
                     .arg(frames_)
                     .arg(read)
                     .arg(kFrameSide)
                     .arg(maxCount_));
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
  if (strip.isNull()) strip = RenderGateStrip(gate, frames_, baseToApex_, maxCount_);
  montage->SetStrip(strip, frames_);
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
