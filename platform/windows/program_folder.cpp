#include "platform/program_folder.h"

#include <windows.h>

#include <filesystem>
#include <string>

std::string ProgramFolder() {
  // Long paths (\\?\ and beyond MAX_PATH) are allowed: grow until it fits.
  std::wstring self(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = ::GetModuleFileNameW(nullptr, self.data(), static_cast<DWORD>(self.size()));
    if (n == 0) return {};
    if (n < self.size()) {
      self.resize(n);
      break;
    }
    // Cut: no folder rather than a wrong one, unless a larger buffer holds it.
    if (self.size() >= 32768) return {};
    self.resize(self.size() * 2);
  }
  const std::filesystem::path path(self);
  if (!path.is_absolute() || !path.has_parent_path()) return {};
  return path.parent_path().u8string();
}

std::string ProgramBeside(const std::string& name) {
  const std::string folder = ProgramFolder();
  if (folder.empty()) return {};
  // A program's file is its name with .exe: CreateProcessW assumes no
  // extension for a program named by its path.
  std::string suffix = name.size() >= 4 ? name.substr(name.size() - 4) : std::string();
  for (char& c : suffix) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  const std::string file = suffix == ".exe" ? name : name + ".exe";
  return (std::filesystem::u8path(folder) / std::filesystem::u8path(file)).u8string();
}
