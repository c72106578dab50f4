// How a data set stores its pixel data: what the transfer syntax says, and
// what the scan of a study found.
#pragma once

enum class PixelEncoding {
  kRaw,           // little endian, explicit or implicit VR: read directly
  kRawBigEndian,  // explicit VR big endian: read directly, each word swapped
  kEncapsulated,  // compressed fragments: the decoder helper rewrites them
  kDeflated,      // the whole data set deflated: decoded before any walk
};
