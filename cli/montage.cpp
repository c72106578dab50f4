#include "cli/montage.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>

#include "gsd/frame_grey.h"
#include "model/study_state.h"

#ifdef DGC_HAVE_QTGUI
#include <QBuffer>
#include <QByteArray>
#include <QImage>
#include <QPainter>
#endif

#ifdef DGC_HAVE_QTGUI
namespace {

// The window's colours for the same curve (app/gate_curve_view).
const QColor kStripBackground(48, 48, 48);
const QColor kToleranceBand(70, 90, 70);
const QColor kWithinTolerance(120, 170, 230);
const QColor kBeyondTolerance(220, 60, 60);
const QColor kMeanLine(240, 240, 160);

// Draws the curve into the strip's rectangle. No text: a program without a
// QGuiApplication has no fonts; gsdinfo prints the numbers beside it.
void DrawCurve(QImage& image, const QRect& strip, const GateCurve& curve) {
  QPainter painter(&image);
  painter.fillRect(strip, kStripBackground);
  // Room at the foot for the marks of the gates beyond tolerance.
  const QRect plot = strip.adjusted(4, 6, -4, -8);
  const int gates = static_cast<int>(curve.totals.size());
  if (gates < 2 || curve.mean <= 0 || plot.width() < gates) return;
  long long highest = 1;
  for (long long total : curve.totals) highest = std::max(highest, total);
  const double top =
      std::max(static_cast<double>(highest), curve.mean * (1 + kGateTolerancePercent / 100));
  auto yOf = [&](double value) {
    return plot.bottom() - static_cast<int>(std::lround((plot.height() - 1) * value / top));
  };
  const int bandTop = yOf(curve.mean * (1 + kGateTolerancePercent / 100));
  const int bandBottom = yOf(std::max(0.0, curve.mean * (1 - kGateTolerancePercent / 100)));
  painter.fillRect(QRect(plot.left(), bandTop, plot.width(), bandBottom - bandTop + 1),
                   kToleranceBand);
  const double slot = static_cast<double>(plot.width()) / gates;
  const int barWidth = std::max(1, static_cast<int>(slot * 0.7));
  for (int g = 0; g < gates; ++g) {
    const auto index = static_cast<std::size_t>(g);
    const int x = plot.left() + static_cast<int>(g * slot + (slot - barWidth) / 2);
    const bool off = GateBeyond(curve, index, kGateTolerancePercent);
    const QColor colour = off ? kBeyondTolerance : kWithinTolerance;
    const long long total = std::max(0LL, curve.totals[index]);
    if (total > 0) {
      const int y = yOf(static_cast<double>(total));
      painter.fillRect(QRect(x, y, barWidth, plot.bottom() - y + 1), colour);
    }
    // A gate beyond tolerance is marked under the foot, even one without counts.
    if (off) painter.fillRect(QRect(x, plot.bottom() + 3, barWidth, 3), kBeyondTolerance);
  }
  painter.setPen(QPen(kMeanLine, 1, Qt::DashLine));
  painter.drawLine(plot.left(), yOf(curve.mean), plot.right(), yOf(curve.mean));
}

}  // namespace
#endif

bool WriteMontagePng(const GsdFile& file, const GateCurve& curve, const char* path,
                     std::string& error, const ProtectedFile* notThis) {
#ifdef DGC_HAVE_QTGUI
  if (file.frames <= 0) {
    error = "the file holds no frames";
    return false;
  }
  const int gates = file.Gates();
  std::int16_t maximum = 1;
  for (std::int16_t v : file.values) maximum = std::max(maximum, v);
  const int strip = curve.Gated() ? kCurveStripHeight : 0;
  QImage image(file.frames * kFrameSide, gates * kFrameSide + strip, QImage::Format_RGB32);
  for (int g = 0; g < gates; ++g) {
    for (int f = 0; f < file.frames; ++f) {
      const std::int16_t* frame = file.Frame(g, f);
      for (int r = 0; r < kFrameSide; ++r) {
        auto* line = reinterpret_cast<QRgb*>(image.scanLine(g * kFrameSide + r)) + f * kFrameSide;
        for (int c = 0; c < kFrameSide; ++c) {
          const int grey = GreyLevel(frame[r * kFrameSide + c], maximum);
          line[c] = qRgb(grey, grey, grey);
        }
      }
    }
  }
  if (strip > 0) DrawCurve(image, QRect(0, gates * kFrameSide, image.width(), strip), curve);
  QByteArray png;
  QBuffer buffer(&png);
  if (!buffer.open(QIODevice::WriteOnly) || !image.save(&buffer, "PNG")) {
    error = "cannot encode the PNG image";
    return false;
  }
  const auto size = static_cast<std::size_t>(png.size());
  return WriteOutputFile(
             path,
             [&png, size](std::FILE* out) {
               return std::fwrite(png.constData(), 1, size, out) == size;
             },
             notThis, error) == kOutputWritten;
#else
  (void)file;
  (void)curve;
  (void)path;
  (void)notThis;
  error = "this build has no PNG support (built without QtGui)";
  return false;
#endif
}
