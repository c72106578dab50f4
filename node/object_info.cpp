#include "node/object_info.h"

bool ReadObjectInfo(const std::string& path, ObjectInfo& info) {
  std::string error;
  return ReadHeaderFacts(path, info, error);
}
