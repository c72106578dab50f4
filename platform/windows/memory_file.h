// How the memory stream's file is told from a file a caller opened: by its
// name, which only the memory stream gives, in the temporary folder.
#pragma once

#include <windows.h>

#include <string>

constexpr const wchar_t* kMemoryFilePrefix = L"dgc-memory-";

// Whether the open file is a memory stream's.
bool IsMemoryFile(HANDLE file);
