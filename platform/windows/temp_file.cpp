#include "platform/temp_file.h"

#include <fcntl.h>
#include <io.h>

#include <cerrno>
#include <csignal>
#include <cwchar>
#include <iterator>
#include <new>
#include <random>

#include "platform/windows/file_handle.h"

namespace {

// The signals the C library delivers here that end a process: an
// interrupt (Ctrl+C) and a termination. Nothing stops a write the way
// SIGPIPE or SIGXFSZ would.
constexpr int kEndingSignals[] = {SIGINT, SIGTERM};
using SignalHandler = void (*)(int);
struct SavedActions {
  SignalHandler ending[std::size(kEndingSignals)];
};

// The temporary file's full path while it has a name, for the handler.
// One output is written at a time.
constexpr std::size_t kStemCharacters = 200;  // leaves room in a 255-character name
wchar_t TempPath[32768];
volatile std::sig_atomic_t TempNamed = 0;

extern "C" void RemoveTempAndEnd(int signal) {
  // Still open here: the name goes once the process ends.
  if (TempNamed) ::DeleteFileW(TempPath);
  std::signal(signal, SIG_DFL);
  std::raise(signal);
}

void DropTempName() {
  if (TempNamed) ::DeleteFileW(TempPath);
  TempNamed = 0;
}

// A fresh random name beside the output: ".NAME.xxxxxxxx".
std::wstring TempNameFor(const std::wstring& folderPath, const std::wstring& outputName) {
  static std::random_device random;
  wchar_t suffix[16];
  std::swprintf(suffix, std::size(suffix), L".%08x", static_cast<unsigned>(random()));
  std::wstring path = folderPath;
  if (path.back() != L'\\') path += L'\\';
  return path + L"." + outputName.substr(0, kStemCharacters) + suffix;
}

}  // namespace

TempFile::~TempFile() {
  if (fd_ >= 0) ::_close(fd_);
  if (!unnamed_ && fd_ >= 0) DropTempName();
}

// No file without a name here: always a named one.
int TempFile::Create(int folder, const std::string& outputName, bool) {
  return CreateNamed(folder, outputName, 0600);
}

int TempFile::CreateNamed(int folder, const std::string& outputName, unsigned mode) {
  std::wstring folderPath, name;
  if (int error = PathInFolder(folder, outputName, folderPath)) return error;
  folderPath.resize(folderPath.rfind(L'\\'));
  if (!WidePath(outputName, name)) return EILSEQ;
  // Shared for removal only: the name may go while the file is open.
  const DWORD attributes = (mode & 0222) == 0 ? FILE_ATTRIBUTE_READONLY : FILE_ATTRIBUTE_NORMAL;
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::wstring path = TempNameFor(folderPath, name);
    if (path.size() >= std::size(TempPath)) return ENAMETOOLONG;
    const HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE,
                                      FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                                      attributes, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
      const int error = LastFileError();
      if (error == EEXIST) continue;
      return error;
    }
    UniqueFd fd;
    if (int error = AdoptHandle(file, 0, fd)) {
      ::DeleteFileW(path.c_str());
      return error;
    }
    std::wcscpy(TempPath, path.c_str());
    TempNamed = 1;
    fd_ = fd.Release();
    folder_ = folder;
    outputName_ = outputName;
    unnamed_ = false;
    return 0;
  }
  return EEXIST;
}

int TempFile::Commit() {
  std::wstring target;
  if (int error = PathInFolder(folder_, outputName_, target)) return error;
  // Closed first: the rename opens the file for removal itself.
  ::_close(fd_);
  fd_ = -1;
  // A file of that name is replaced by ReplaceFileW, which gives the new
  // file the replaced one's security descriptor, attributes and creation
  // time, or leaves the replaced one as it was; a free name is taken by a
  // rename written through. Neither goes over a file another handle holds
  // open (the caller closes its own first).
  bool done = ::ReplaceFileW(target.c_str(), TempPath, nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS,
                             nullptr, nullptr) != FALSE;
  if (!done && ::GetLastError() == ERROR_FILE_NOT_FOUND)
    done = ::MoveFileExW(TempPath, target.c_str(), MOVEFILE_WRITE_THROUGH) != FALSE;
  if (!done) {
    const int error = LastFileError();
    DropTempName();
    return error;
  }
  TempNamed = 0;
  return 0;
}

int TempFile::Release() {
  if (!unnamed_ && fd_ >= 0) DropTempName();
  int fd = fd_;
  fd_ = -1;
  return fd;
}

int OpenNewFileModel(int folder, const std::string& outputName, bool, UniqueFd& model) {
  TempFile named;
  if (int error = named.CreateNamed(folder, outputName, 0666)) return error;
  model.Reset(named.Release());
  return 0;
}

WriteSignals::WriteSignals() {
  static_assert(sizeof(SavedActions) <= sizeof saved_, "WriteSignals has room for the actions");
  auto* saved = new (saved_) SavedActions;
  for (std::size_t i = 0; i < std::size(kEndingSignals); ++i) {
    saved->ending[i] = std::signal(kEndingSignals[i], RemoveTempAndEnd);
    if (saved->ending[i] == SIG_IGN) std::signal(kEndingSignals[i], SIG_IGN);
  }
}

WriteSignals::~WriteSignals() {
  auto* saved = reinterpret_cast<SavedActions*>(saved_);
  for (std::size_t i = 0; i < std::size(kEndingSignals); ++i)
    std::signal(kEndingSignals[i], saved->ending[i]);
}
