#include "platform/document_opener.h"

// A POSIX desktop's opener is a program (xdg-open): the window runs it.
bool SystemOpensDocuments() {
  return false;
}

bool OpenDocumentWithSystem(const std::string& path, long long& viewer) {
  (void)path;
  viewer = 0;
  return false;
}

bool BringViewerToFront(const std::vector<long long>& processes) {
  (void)processes;
  return false;
}
