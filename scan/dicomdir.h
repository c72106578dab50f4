// The files a DICOMDIR lists, read with DCMTK: each directory record's
// Referenced File ID, as a path below the DICOMDIR's folder.
#pragma once

#include <string>
#include <vector>

// False with error when the DICOMDIR (open as fd) cannot be read. A
// reference that would leave the folder ("..", an absolute part) is dropped.
bool ListDicomdirFiles(int fd, std::vector<std::string>& relativePaths, std::string& error);
