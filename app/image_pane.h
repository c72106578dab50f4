// The image pane: what Save would write, drawn from the image store. One
// gate's slices as a montage in file order, a gate slider and a cine. It
// only draws: the record and the store are read, never changed, and nothing
// is read from disk.
#pragma once

#include <QImage>
#include <QSize>
#include <QWidget>
#include <vector>

class QLabel;
class QPushButton;
class QSlider;
class QTimer;

// The slices of one gate as a strip, 64 pixels wide and 64 high per slice,
// in the order the file will hold them: first to last when baseToApex, last
// to first otherwise. Grey from 0 (black) to maxCount (white); values
// outside are clamped.
QImage RenderGateStrip(int gate, int frames, bool baseToApex, int maxCount);

// Columns, rows and cell side in pixels that show `slices` cells as large as
// room allows. Cells of 64 pixels or more are whole multiples of 64, so that
// each count becomes a square of equal pixels.
struct MontageLayout {
  int columns = 1, rows = 1, cell = 0;
};
MontageLayout FitMontage(int slices, QSize room);

// Draws one strip as a montage, unsmoothed, with the first cell labelled
// "Base" and the last "Apex": the order the analysis reads.
class MontageView : public QWidget {
 public:
  explicit MontageView(QWidget* parent);
  void SetStrip(const QImage& strip, int slices);
  const QImage& Strip() const { return strip_; }
  MontageLayout Layout() const { return FitMontage(slices_, size()); }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QImage strip_;
  int slices_ = 0;
};

class ImagePane : public QWidget {
 public:
  explicit ImagePane(QWidget* parent);
  // Takes the study from StudyRecord and ImageStore: after each load and
  // each change of the slice order.
  void ShowStudy(bool baseToApex);
  int Gate() const;
  // The cine's pace: gates per second.
  static constexpr int kCineRate = 10;

  MontageView* montage;
  QSlider* gateSlider;
  QPushButton* playButton;
  QLabel* gateLabel;
  QLabel* facts;

 private:
  void ShowGate(int gate);
  void TogglePlay();

  QTimer* cine_;
  bool baseToApex_ = false;
  int gates_ = 1, frames_ = 0, maxCount_ = 1;
  std::vector<QImage> strips_;  // per gate, drawn when first shown
};
