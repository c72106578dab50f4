#include "platform/program_start.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>
// after windows.h
#include <shellapi.h>

#include <cstdio>
#include <string>
#include <vector>

void StartProgram(int& argc, char**& argv) {
  // Binary before the first byte: the C runtime opens them in text mode.
  for (std::FILE* stream : {stdin, stdout, stderr}) ::_setmode(::_fileno(stream), _O_BINARY);
  // The C runtime's argv holds the code page's text (the manifest's UTF-8
  // only from Windows 10 1903 on): the UTF-16 command line is split by the
  // same rules and kept whole.
  int count = 0;
  wchar_t** wide = ::CommandLineToArgvW(::GetCommandLineW(), &count);
  if (wide == nullptr) return;
  static std::vector<std::string> texts;
  static std::vector<char*> pointers;
  texts.clear();
  for (int i = 0; i < count; ++i) {
    const int bytes = ::WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, nullptr, 0, nullptr, nullptr);
    std::string text(bytes > 1 ? static_cast<std::size_t>(bytes - 1) : 0, '\0');
    if (bytes > 1)
      ::WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, text.data(), bytes, nullptr, nullptr);
    texts.push_back(std::move(text));
  }
  ::LocalFree(wide);
  pointers.clear();
  for (std::string& text : texts) pointers.push_back(text.data());
  pointers.push_back(nullptr);
  argc = count;
  argv = pointers.data();
}
