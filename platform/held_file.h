// Files, folders and links held by descriptor without being opened for
// reading or writing: a walk holds each folder it passes, so that what it
// checked is what it uses, and looks at a name before anything of it is
// opened (a FIFO or a device never is). Every result is 0 or an errno
// value; every descriptor is kept from the programs this process starts.
#pragma once

#include <string>
#include <vector>

#include "platform/descriptor.h"

// Holds what path leads to, its links followed (the caller named it).
int HoldPath(const std::string& path, UniqueFd& held);

// The same for a folder only (ENOTDIR for anything else).
int HoldFolder(const std::string& path, UniqueFd& held);

// Holds name in folder as it is: a link is held itself, not followed.
int HoldEntry(int folder, const std::string& name, UniqueFd& held);

// Holds the folder that name in folder leads to, a link followed as the
// kernel follows it (one of proc's too, which names an open folder).
int HoldFolderThrough(int folder, const std::string& name, UniqueFd& held);

// Holds the folder above folder.
int HoldParent(int folder, UniqueFd& held);

// The text of the held link. ENOENT for an empty one, ENAMETOOLONG for one
// longer than a path may be.
int ReadLinkText(int link, std::string& target);

// The held folder opened for reading its names (and for a sync).
int OpenFolderForReading(int folder, UniqueFd& readable);

// The names in the held folder but "." and "..", in the order the system
// gives them.
int ListHeldFolder(int folder, std::vector<std::string>& names);

// The held file opened for reading: the very file held, whatever its name
// leads to now. Never waits (a FIFO held by mistake does not block).
int OpenHeldForReading(int held, UniqueFd& readable);

// Whether this process may add and remove names in the held folder.
bool MayChangeFolder(int folder);
