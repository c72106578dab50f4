// A JPEG frame through GDCM's 12-bit IJG library (libgdcmjpeg12).
#include <cstddef>
#include <string>

extern "C" {
#include "gdcmjpeg/12/jerror.h"
#include "gdcmjpeg/12/jpeglib.h"
}

#include "helper/frame_codecs.h"

#define IJG_FRAME_FUNCTION DecodeJpeg12Frame
#include "helper/ijg_frame.inc"
