#include "app/gate_curve_view.h"

#include <QHelpEvent>
#include <QPainter>
#include <QToolTip>
#include <algorithm>
#include <cmath>

GateCurveView::GateCurveView(QWidget* parent) : QWidget(parent) {
  setObjectName("gateCurve");
  // Small: the folded window is 252 pixels high, and the montage comes first.
  QFont small = font();
  small.setPixelSize(10);
  setFont(small);
  setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
  setFixedHeight(58);
  setMouseTracking(true);
}

void GateCurveView::SetCurve(const GateCurve& curve) {
  curve_ = curve;
  current_ = std::min(current_, static_cast<int>(curve_.totals.size()) - 1);
  update();
}

void GateCurveView::SetCurrentGate(int gate) {
  current_ = gate;
  update();
}

QRect GateCurveView::PlotArea() const {
  const int text = fontMetrics().height();
  // Room above for the title and the per cents, below for the gate numbers.
  return rect().adjusted(4, text + 1, -4, -(text + 1));
}

int GateCurveView::GateAt(int x) const {
  const QRect plot = PlotArea();
  const int gates = static_cast<int>(curve_.totals.size());
  if (!curve_.Gated() || x < plot.left() || x > plot.right()) return -1;
  return std::clamp((x - plot.left()) * gates / std::max(plot.width(), 1), 0, gates - 1);
}

QString GateCurveView::GateText(int gate) const {
  if (gate < 0 || gate >= static_cast<int>(curve_.totals.size())) return {};
  const auto g = static_cast<std::size_t>(gate);
  return QString("gate %1: %2 counts, %3 from the mean")
      .arg(gate + 1)
      .arg(QString::fromStdString(GroupedNumber(curve_.totals[g])))
      .arg(QString::fromStdString(SignedPercent(curve_.percentFromMean[g])));
}

bool GateCurveView::event(QEvent* event) {
  if (event->type() == QEvent::ToolTip) {
    const auto* help = static_cast<QHelpEvent*>(event);
    const QString text = GateText(GateAt(help->pos().x()));
    if (text.isEmpty())
      QToolTip::hideText();
    else
      QToolTip::showText(help->globalPos(), text, this);
    return true;
  }
  return QWidget::event(event);
}

void GateCurveView::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.fillRect(rect(), QColor(48, 48, 48));
  painter.setPen(QColor(220, 220, 220));
  const QFontMetrics metrics = fontMetrics();
  const int line = metrics.height();
  painter.drawText(QRect(4, 1, width() - 8, line), Qt::AlignLeft | Qt::AlignVCenter,
                   "Total counts per gate");
  if (curve_.totals.empty()) return;
  if (!curve_.Gated()) {
    painter.drawText(rect(), Qt::AlignCenter, "not gated");
    return;
  }
  const QRect plot = PlotArea();
  const int gates = static_cast<int>(curve_.totals.size());
  long long highest = 1;
  for (long long total : curve_.totals) highest = std::max(highest, total);
  // Headroom inside the plot for the tallest bar's label, clear of the title.
  const double top = static_cast<double>(highest) * 1.45;
  auto yOf = [&](double value) {
    return plot.bottom() - static_cast<int>(std::lround(plot.height() * value / top));
  };
  // The band within tolerance of the mean, and the mean itself.
  const double mean = curve_.mean;
  const int bandTop = yOf(mean * (1 + kGateTolerancePercent / 100));
  const int bandBottom = yOf(std::max(0.0, mean * (1 - kGateTolerancePercent / 100)));
  painter.fillRect(QRect(plot.left(), bandTop, plot.width(), bandBottom - bandTop),
                   QColor(70, 90, 70));
  const double slot = static_cast<double>(plot.width()) / gates;
  const int barWidth = std::max(1, static_cast<int>(slot * 0.7));
  const QFontMetrics& smallMetrics = metrics;
  const bool labelled = smallMetrics.horizontalAdvance("-100") <= slot;
  for (int g = 0; g < gates; ++g) {
    const auto index = static_cast<std::size_t>(g);
    const int x = plot.left() + static_cast<int>(g * slot + (slot - barWidth) / 2);
    const int y = yOf(static_cast<double>(std::max(0LL, curve_.totals[index])));
    const bool off = GateBeyond(curve_, index, kGateTolerancePercent);
    QColor colour = off ? QColor(220, 60, 60) : QColor(120, 170, 230);
    if (g == current_) colour = colour.lighter(140);
    painter.fillRect(QRect(x, y, barWidth, plot.bottom() - y + 1), colour);
    if (g == current_) {
      painter.setPen(Qt::white);
      painter.drawRect(QRect(x, y, barWidth - 1, plot.bottom() - y));
    }
    painter.setPen(QColor(220, 220, 220));
    const QRect below(plot.left() + static_cast<int>(g * slot), plot.bottom() + 2,
                      static_cast<int>(slot), line);
    if (labelled || g == 0 || g == gates - 1 || (g + 1) % 4 == 0)
      painter.drawText(below, Qt::AlignHCenter | Qt::AlignTop, QString::number(g + 1));
    if (labelled || off) {
      QString percent = QString::fromStdString(SignedPercent(curve_.percentFromMean[index]));
      percent.remove(" %");
      painter.setPen(off ? QColor(255, 140, 140) : QColor(200, 200, 200));
      painter.drawText(
          QRect(below.left(), y - smallMetrics.height() - 1, below.width(), smallMetrics.height()),
          Qt::AlignHCenter | Qt::AlignBottom, percent);
    }
  }
  painter.setPen(QPen(QColor(240, 240, 160), 1, Qt::DashLine));
  painter.drawLine(plot.left(), yOf(mean), plot.right(), yOf(mean));
}
