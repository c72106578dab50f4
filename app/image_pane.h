// The image pane: what Save would write, drawn from the window's study. One
// gate's slices as a montage in file order, a gate slider and a cine, the
// count curve per gate and the beats the camera kept. It
// only draws: the record and the frames are read, never changed, and
// nothing is read from disk.
#pragma once

#include <QImage>
#include <QSize>
#include <QWidget>
#include <vector>

#include "model/study.h"

class GateCurveView;
class QLabel;
class QPushButton;
class QSlider;
class QSpinBox;
class QTimer;

// The slices of one gate of store as a strip, 64 pixels wide and 64 high per
// slice, in the order the file will hold them: first to last when
// baseToApex, last to first otherwise. Grey from 0 (black) to maxCount
// (white); values outside are clamped.
QImage RenderGateStrip(const FrameStore& store, int gate, int frames, bool baseToApex,
                       int maxCount);

// Columns, rows and cell side in pixels that show `slices` cells as large as
// room allows, with kMontageGap pixels between neighbours. Any side serves:
// each count becomes a block of equal or nearly equal pixels, never smoothed.
constexpr int kMontageGap = 1;
struct MontageLayout {
  int columns = 1, rows = 1, cell = 0;
};
MontageLayout FitMontage(int slices, QSize room);

// Draws one strip as a montage, unsmoothed: each cell with its slice number
// (the frame's place within the gate in the file, from 1), the first cell
// labelled "Base" and the last "Apex": the order the analysis reads.
class MontageView : public QWidget {
 public:
  explicit MontageView(QWidget* parent);
  void SetStrip(const QImage& strip, int slices, bool baseToApex);
  const QImage& Strip() const { return strip_; }
  MontageLayout Layout() const { return FitMontage(slices_, size()); }
  // The slice number shown in cell i.
  int SliceNumber(int cell) const { return baseToApex_ ? cell + 1 : slices_ - cell; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QImage strip_;
  int slices_ = 0;
  bool baseToApex_ = false;
};

class ImagePane : public QWidget {
 public:
  // Draws study, which outlives the pane.
  ImagePane(const Study& study, QWidget* parent);
  // Takes the study's record and frames anew: after each load and each
  // change of the slice order.
  void ShowStudy(bool baseToApex);
  // The next ShowStudy is of another study: the level starts at its maximum.
  void NewStudy() { maxCount_ = -1; }
  // Shows no more gates and frames than these, those Save will write
  // (negative: all the record has); the next ShowStudy takes them.
  void LimitTo(int gates, int frames) { limitGates_ = gates, limitFrames_ = frames; }
  int Gate() const;
  // The cine's pace: gates per second.
  static constexpr int kCineRate = 10;

  // The count drawn white: 0 .. the study's maximum, the maximum after a load.
  int UpperLevel() const;

  MontageView* montage;
  QSlider* gateSlider;
  QPushButton* playButton;
  QLabel* gateLabel;
  QSlider* levelSlider;
  QSpinBox* levelBox;
  QLabel* facts;
  GateCurveView* curve;  // total counts per gate, under the montage
  QLabel* beats;         // the beats the camera kept, as the file gives them

 private:
  void ShowGate(int gate);
  void TogglePlay();
  void SetUpperLevel(int level);

  const Study& study_;
  QTimer* cine_;
  bool baseToApex_ = false;
  int gates_ = 1, frames_ = 0, maxCount_ = 1, level_ = 1;
  int limitGates_ = -1, limitFrames_ = -1;
  std::vector<QImage> strips_;  // per gate, drawn when first shown
};
