// A JPEG frame through GDCM's 16-bit IJG library (libgdcmjpeg16).
#include <cstddef>
#include <string>

extern "C" {
#include "gdcmjpeg/16/jerror.h"
#include "gdcmjpeg/16/jpeglib.h"
}

#include "helper/frame_codecs.h"

#define IJG_FRAME_FUNCTION DecodeJpeg16Frame
#include "helper/ijg_frame.inc"
