// The count curve under the montage: the total counts of each gate, first
// to last, as the GSD will hold them, with each gate's difference from the
// mean in per cent. A regular heartbeat gives a flat curve; gates beyond the
// tolerance are drawn red. One gate shows "not gated". It only draws.
#pragma once

#include <QWidget>

#include "model/gate_curve.h"

class GateCurveView : public QWidget {
 public:
  explicit GateCurveView(QWidget* parent);
  // The curve to draw and the gate the montage shows (0-based), marked.
  void SetCurve(const GateCurve& curve);
  void SetCurrentGate(int gate);
  const GateCurve& Curve() const { return curve_; }
  // The gate (0-based) under x, or -1; also the hover's gate.
  int GateAt(int x) const;
  // The hover text of a gate: "gate 14: 1,234,567 counts, -26 % from the mean".
  QString GateText(int gate) const;

  QSize sizeHint() const override { return {320, 58}; }

 protected:
  void paintEvent(QPaintEvent* event) override;
  bool event(QEvent* event) override;

 private:
  QRect PlotArea() const;

  GateCurve curve_;
  int current_ = -1;
};
