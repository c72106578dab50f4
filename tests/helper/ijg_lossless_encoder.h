// IJG's lossless encoder (process 14, Huffman tables it optimises; GDCM's
// 16-bit build, which writes 16-bit precision only), for the codec and
// decode tests: the helper's own decoder's source of valid codestreams, and
// the restart markers that no DICOM encoder at hand writes.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

extern "C" {
#include "gdcmjpeg/16/jerror.h"
#include "gdcmjpeg/16/jpeglib.h"
}

// One frame of rows x columns samples; restartRows above 0: a restart
// marker every that many rows.
inline std::vector<unsigned char> EncodeLosslessJpeg(const std::vector<std::uint16_t>& samples,
                                                     int rows, int columns, int predictor,
                                                     int pointTransform = 0, int restartRows = 0) {
  char* buffer = nullptr;
  std::size_t size = 0;
  std::FILE* out = ::open_memstream(&buffer, &size);
  jpeg_compress_struct cinfo;
  jpeg_error_mgr errors;
  cinfo.err = jpeg_std_error(&errors);
  jpeg_create_compress(&cinfo);
  jpeg_stdio_dest(&cinfo, out);
  cinfo.image_width = static_cast<JDIMENSION>(columns);
  cinfo.image_height = static_cast<JDIMENSION>(rows);
  cinfo.input_components = 1;
  cinfo.in_color_space = JCS_GRAYSCALE;
  jpeg_set_defaults(&cinfo);
  cinfo.optimize_coding = TRUE;
  jpeg_simple_lossless(&cinfo, predictor, pointTransform);
  cinfo.restart_in_rows = restartRows;
  jpeg_start_compress(&cinfo, TRUE);
  for (int y = 0; y < rows; ++y) {
    JSAMPROW row = const_cast<JSAMPROW>(
        reinterpret_cast<const JSAMPLE*>(samples.data() + static_cast<std::size_t>(y) * columns));
    jpeg_write_scanlines(&cinfo, &row, 1);
  }
  jpeg_finish_compress(&cinfo);
  jpeg_destroy_compress(&cinfo);
  std::fclose(out);
  std::vector<unsigned char> stream(buffer, buffer + size);
  std::free(buffer);
  return stream;
}
