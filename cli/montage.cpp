#include "cli/montage.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>

#include "gsd/frame_grey.h"
#include "model/study_state.h"

#ifdef DGC_HAVE_QTGUI
#include <QBuffer>
#include <QByteArray>
#include <QImage>
#endif

bool WriteMontagePng(const GsdFile& file, const char* path, std::string& error,
                     const ProtectedFile* notThis) {
#ifdef DGC_HAVE_QTGUI
  if (file.frames <= 0) {
    error = "the file holds no frames";
    return false;
  }
  const int gates = file.Gates();
  std::int16_t maximum = 1;
  for (std::int16_t v : file.values) maximum = std::max(maximum, v);
  QImage image(file.frames * kFrameSide, gates * kFrameSide, QImage::Format_Grayscale8);
  for (int g = 0; g < gates; ++g) {
    for (int f = 0; f < file.frames; ++f) {
      const std::int16_t* frame = file.Frame(g, f);
      for (int r = 0; r < kFrameSide; ++r) {
        uchar* line = image.scanLine(g * kFrameSide + r) + f * kFrameSide;
        for (int c = 0; c < kFrameSide; ++c) {
          line[c] = GreyLevel(frame[r * kFrameSide + c], maximum);
        }
      }
    }
  }
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
  (void)path;
  (void)notThis;
  error = "this build has no PNG support (built without QtGui)";
  return false;
#endif
}
