#include "scan/open_beneath.h"

#include <cerrno>
#include <cstring>

std::string BeneathFailure(int error) {
  if (error == EXDEV) return "a link that leads out of the scanned tree; not followed";
  if (error == ELOOP)
    return "more than " + std::to_string(kMostLinksBeneath) +
           " links, a link loop or a /proc link; not followed";
  return std::strerror(error);
}
