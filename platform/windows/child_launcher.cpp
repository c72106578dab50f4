#include "platform/child_launcher.h"

#include <io.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <string>
#include <vector>

#include "platform/windows/wide_text.h"

namespace {

// How often a run with a cancel callback asks it.
constexpr long long kGoOnTickMilliseconds = 100;
// The pipes' buffer: a child that writes much is spared a stop every page.
constexpr DWORD kPipeBytes = DWORD{1} << 20;
// What ended a child the launcher ended itself (its name: "Killed").
constexpr int kKilled = 9;
// Standard output, standard error, the report pipe.
constexpr int kPipes = 3;

// A handle closed once; null for none (INVALID_HANDLE_VALUE is made null).
class Handle {
 public:
  Handle() = default;
  explicit Handle(HANDLE handle) { Reset(handle); }
  ~Handle() { Reset(nullptr); }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  void Reset(HANDLE handle) {
    if (handle_ != nullptr) ::CloseHandle(handle_);
    handle_ = handle == INVALID_HANDLE_VALUE ? nullptr : handle;
  }
  HANDLE get() const { return handle_; }
  explicit operator bool() const { return handle_ != nullptr; }

 private:
  HANDLE handle_ = nullptr;
};

// One argument as the C runtime's parser (and CommandLineToArgvW) reads it
// back: quoted when it has a blank or a quote or is empty; backslashes are
// literal except before a quote, where they and the quote are escaped.
void AppendArgument(const std::wstring& argument, std::wstring& line) {
  line += L' ';
  if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
    line += argument;
    return;
  }
  line += L'"';
  std::size_t backslashes = 0;
  for (const wchar_t c : argument) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    line.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
    backslashes = 0;
    line += c;
  }
  line.append(backslashes * 2, L'\\');
  line += L'"';
}

// The program's name is read up to its closing quote with no escapes (and
// a path holds no quote), the rest by the rules above.
bool CommandLine(const std::vector<std::string>& argv, std::wstring& line) {
  bool ok = true;
  line = L'"' + WideFromUtf8(argv[0], ok) + L'"';
  for (std::size_t i = 1; ok && i < argv.size(); ++i) {
    const std::wstring argument = WideFromUtf8(argv[i], ok);
    AppendArgument(argument, line);
  }
  return ok;
}

// "NAME=value" entries as the system wants them: sorted by name without
// regard to case, each ended by a null, the block by another.
bool EnvironmentBlock(const std::vector<std::string>& entries, std::wstring& block) {
  std::vector<std::wstring> wide;
  for (const std::string& entry : entries) {
    bool ok = false;
    wide.push_back(WideFromUtf8(entry, ok));
    if (!ok) return false;
  }
  const auto nameLength = [](const std::wstring& entry) {
    const std::size_t equals = entry.find(L'=', 1);
    return static_cast<int>(equals == std::wstring::npos ? entry.size() : equals);
  };
  std::stable_sort(wide.begin(), wide.end(), [&](const std::wstring& a, const std::wstring& b) {
    return ::CompareStringOrdinal(a.c_str(), nameLength(a), b.c_str(), nameLength(b), TRUE) ==
           CSTR_LESS_THAN;
  });
  block.clear();
  for (const std::wstring& entry : wide) {
    block += entry;
    block += L'\0';
  }
  if (wide.empty()) block += L'\0';
  block += L'\0';
  return true;
}

// A pipe whose reading end is ours, for overlapped reads, and whose writing
// end the child inherits. A named pipe, since anonymous ones cannot be read
// overlapped; one instance, created first by us and connected at once, so
// nobody else can take its place or join it.
bool OutputPipe(Handle& ours, Handle& theirs, HANDLE connected) {
  static std::atomic<unsigned long> serial{0};
  const std::wstring name = L"\\\\.\\pipe\\dgc-child-" + std::to_wstring(::GetCurrentProcessId()) +
                            L"-" + std::to_wstring(serial++) + L"-" +
                            std::to_wstring(::GetTickCount64());
  ours.Reset(::CreateNamedPipeW(
      name.c_str(), PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
      PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1, 0,
      kPipeBytes, 0, nullptr));
  if (!ours) return false;
  SECURITY_ATTRIBUTES inherited{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  theirs.Reset(
      ::CreateFileW(name.c_str(), GENERIC_WRITE, 0, &inherited, OPEN_EXISTING, 0, nullptr));
  if (!theirs) return false;
  OVERLAPPED connect{};
  connect.hEvent = connected;
  if (::ConnectNamedPipe(ours.get(), &connect)) return true;
  DWORD ignored = 0;
  return ::GetLastError() == ERROR_PIPE_CONNECTED ||
         (::GetLastError() == ERROR_IO_PENDING &&
          ::GetOverlappedResult(ours.get(), &connect, &ignored, TRUE));
}

// One output pipe, read overlapped straight into its sink's room.
struct Reader {
  Handle pipe;
  Handle event;
  ChildOutputSink* sink = nullptr;
  OVERLAPPED overlapped{};
  bool open = false;
  bool pending = false;

  // Starts the next read; false when the sink takes no more.
  bool Start() {
    char* at = nullptr;
    std::size_t room = 0;
    if (!sink->Room(at, room)) return false;
    overlapped = OVERLAPPED{};
    overlapped.hEvent = event.get();
    const DWORD bytes = static_cast<DWORD>(std::min<std::size_t>(room, kPipeBytes));
    if (::ReadFile(pipe.get(), at, bytes, nullptr, &overlapped) ||
        ::GetLastError() == ERROR_IO_PENDING)
      pending = true;
    else
      open = false;  // the writers have gone (ERROR_BROKEN_PIPE), or the pipe failed
    return true;
  }
  // Takes a read that has completed (wait: or waits for it).
  void Finish(bool wait) {
    DWORD bytes = 0;
    const bool read = ::GetOverlappedResult(pipe.get(), &overlapped, &bytes, wait);
    if (!read && ::GetLastError() == ERROR_IO_INCOMPLETE) return;
    pending = false;
    if (read && bytes > 0) sink->Took(bytes);
    if (!read) open = false;
  }
  bool Completed() const { return pending && HasOverlappedIoCompleted(&overlapped); }
  // Leaves no read pending on the sink's room.
  void Stop() {
    if (!pending) return;
    ::CancelIoEx(pipe.get(), &overlapped);
    Finish(true);
  }
};

// Whether this process runs in a job that lets its children leave it: a
// child of a child of ours (the decoder helper's companion) then goes into
// a job of its own rather than count against its parent's one process.
bool MayLeaveJob() {
  BOOL inJob = FALSE;
  if (!::IsProcessInJob(::GetCurrentProcess(), nullptr, &inJob) || !inJob) return false;
  JOBOBJECT_BASIC_LIMIT_INFORMATION limits{};
  return ::QueryInformationJobObject(nullptr, JobObjectBasicLimitInformation, &limits,
                                     sizeof limits, nullptr) &&
         (limits.LimitFlags & JOB_OBJECT_LIMIT_BREAKAWAY_OK) != 0;
}

// The C runtime's descriptors 0 to kChildReportFd as a child's runtime takes
// them over at its start (the table its spawn functions pass in
// STARTUPINFO's lpReserved2): the count, a flag byte each, then a handle
// each, packed. 3 stays closed.
std::vector<unsigned char> DescriptorTable(const HANDLE (&handles)[kChildReportFd + 1]) {
  constexpr unsigned char kOpen = 0x01, kPipe = 0x08, kDevice = 0x40;
  constexpr int kCount = kChildReportFd + 1;
  std::vector<unsigned char> table(sizeof(int) + kCount * (1 + sizeof(HANDLE)));
  std::memcpy(table.data(), &kCount, sizeof(int));
  for (int fd = 0; fd < kCount; ++fd) {
    const HANDLE handle = handles[fd] != nullptr ? handles[fd] : INVALID_HANDLE_VALUE;
    unsigned char flags = 0;
    if (handle != INVALID_HANDLE_VALUE) {
      const DWORD type = ::GetFileType(handle);
      flags = kOpen | (type == FILE_TYPE_PIPE ? kPipe : type == FILE_TYPE_CHAR ? kDevice : 0);
    }
    table[sizeof(int) + fd] = flags;
    std::memcpy(table.data() + sizeof(int) + kCount + fd * sizeof(HANDLE), &handle, sizeof(HANDLE));
  }
  return table;
}

// A restricted copy of this process's token at low integrity: every
// privilege but the one to traverse folders gone, the administrators'
// group only to deny. What a Low process may write is what is labelled Low
// (nothing of its user's by default), and the handles it inherits.
bool ConfinedToken(Handle& confined, DWORD& error) {
  HANDLE own = nullptr;
  if (!::OpenProcessToken(
          ::GetCurrentProcess(),
          TOKEN_DUPLICATE | TOKEN_QUERY | TOKEN_ASSIGN_PRIMARY | TOKEN_ADJUST_DEFAULT, &own)) {
    error = ::GetLastError();
    return false;
  }
  Handle token(own);
  SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
  SID_IDENTIFIER_AUTHORITY label = SECURITY_MANDATORY_LABEL_AUTHORITY;
  PSID administrators = nullptr, low = nullptr;
  HANDLE restricted = nullptr;
  bool made =
      ::AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0,
                                 0, 0, 0, 0, &administrators) &&
      ::AllocateAndInitializeSid(&label, 1, SECURITY_MANDATORY_LOW_RID, 0, 0, 0, 0, 0, 0, 0, &low);
  if (made) {
    SID_AND_ATTRIBUTES denied{administrators, 0};
    made = ::CreateRestrictedToken(token.get(), DISABLE_MAX_PRIVILEGE | LUA_TOKEN, 1, &denied, 0,
                                   nullptr, 0, nullptr, &restricted);
  }
  if (made) {
    confined.Reset(restricted);
    TOKEN_MANDATORY_LABEL level{};
    level.Label.Attributes = SE_GROUP_INTEGRITY;
    level.Label.Sid = low;
    made = ::SetTokenInformation(confined.get(), TokenIntegrityLevel, &level,
                                 sizeof level + ::GetLengthSid(low));
  }
  if (!made) error = ::GetLastError();
  if (administrators != nullptr) ::FreeSid(administrators);
  if (low != nullptr) ::FreeSid(low);
  return made;
}

void Record(DWORD code, ChildEnd& end) {
  // An exception that ended the process (an access violation, a stack
  // overflow, a fast fail) leaves its status, of error severity (0xC...);
  // exit(-1) leaves 0xFFFFFFFF, an exit code.
  if ((code & 0xF0000000u) == 0xC0000000u) {
    end.signal = static_cast<int>(code);
    return;
  }
  end.exitCode = static_cast<int>(code);
}

void StartFailed(ChildEnd& end, StartFailure failure, const char* step, DWORD error) {
  end.startFailure = failure;
  end.step = step;
  end.error = ErrnoOfSystemError(error);
}

// The job the child runs in: ended with the last handle to it, which only
// the launcher holds, so the child ends with its parent however the parent
// ends; one process, so a child started any other way than by this
// launcher (which takes its own child out into a job of its own, ended
// with it in turn) is refused; its committed memory limited; no error
// dialog that would keep a crashed child waiting for a click.
bool LimitJob(HANDLE job, std::uint64_t memory) {
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  limits.BasicLimitInformation.LimitFlags =
      JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | JOB_OBJECT_LIMIT_ACTIVE_PROCESS |
      JOB_OBJECT_LIMIT_DIE_ON_UNHANDLED_EXCEPTION | JOB_OBJECT_LIMIT_BREAKAWAY_OK;
  limits.BasicLimitInformation.ActiveProcessLimit = 1;
  if (memory != 0) {
    limits.BasicLimitInformation.LimitFlags |= JOB_OBJECT_LIMIT_PROCESS_MEMORY;
    limits.ProcessMemoryLimit = static_cast<SIZE_T>(memory);
  }
  return ::SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits);
}

// Collects the output until the child ends (and, if asked, its pipes
// close), the deadline passes, the caller cancels or a sink is full; then
// ends it if it runs on. One deadline covers its whole life.
void Watch(const ChildRun& run, Reader (&readers)[kPipes], HANDLE process, HANDLE job,
           ChildEnd& end) {
  const ULONGLONG start = ::GetTickCount64();
  const long long deadline =
      static_cast<long long>(start) + std::max(0LL, run.deadlineMilliseconds);
  bool ended = false;
  for (;;) {
    if (ended && std::none_of(std::begin(readers), std::end(readers),
                              [](const Reader& reader) { return reader.open; }))
      break;
    const long long now = static_cast<long long>(::GetTickCount64());
    const long long left = deadline - now;
    if (left <= 0) {
      end.timedOut = true;
      break;
    }
    if (run.goOn && !run.goOn(now - static_cast<long long>(start))) {
      end.cancelled = true;
      break;
    }
    for (Reader& reader : readers)
      if (reader.open && !reader.pending && !reader.Start()) end.refused = true;
    if (end.refused) break;
    long long wait = left;
    if (run.goOn) wait = std::min(wait, kGoOnTickMilliseconds);
    // Once the child has ended, only what it left in the pipes is read,
    // unless the caller waits for them to close.
    if (ended && !run.waitForOutputEnd) wait = 0;
    HANDLE waited[kPipes + 1];
    DWORD count = 0;
    if (!ended) waited[count++] = process;
    for (Reader& reader : readers)
      if (reader.pending) waited[count++] = reader.event.get();
    // The child has ended and the reads just started found every pipe
    // closed: nothing is left to wait for.
    if (count == 0) continue;
    const DWORD ready = ::WaitForMultipleObjects(count, waited, FALSE, static_cast<DWORD>(wait));
    if (ready == WAIT_FAILED) {
      end.lost = true;
      end.error = ErrnoOfSystemError(::GetLastError());
      break;
    }
    if (ready == WAIT_TIMEOUT) {
      if (ended && !run.waitForOutputEnd) break;
      continue;
    }
    // Every one that is ready, not only the first, so neither pipe starves.
    if (!ended && ::WaitForSingleObject(process, 0) == WAIT_OBJECT_0) ended = true;
    for (Reader& reader : readers)
      if (reader.Completed()) reader.Finish(false);
  }
  for (Reader& reader : readers) reader.Stop();
  if (!ended && ::WaitForSingleObject(process, 0) != WAIT_OBJECT_0) {
    ::TerminateJobObject(job, 1);
    ::WaitForSingleObject(process, INFINITE);
    end.signal = kKilled;
    return;
  }
  DWORD code = 0;
  if (!::GetExitCodeProcess(process, &code)) {
    end.lost = true;
    end.error = ErrnoOfSystemError(::GetLastError());
    return;
  }
  Record(code, end);
}

}  // namespace

ChildEnd RunChildProgram(const ChildRun& run) {
  ChildEnd end;
  // Absolute: a drive or a share and a root, never a name the system would
  // look up in the current folder or the search path.
  if (run.argv.empty() || !std::filesystem::u8path(run.argv[0]).is_absolute()) {
    end.startFailure = StartFailure::kNotAbsolute;
    return end;
  }
  std::wstring line;
  std::wstring environment;
  bool ok = false;
  const std::wstring program = WideFromUtf8(run.argv[0], ok);
  if (!ok || !CommandLine(run.argv, line) ||
      (run.environment && !EnvironmentBlock(*run.environment, environment))) {
    StartFailed(end, StartFailure::kResources, "UTF-8", ERROR_NO_UNICODE_TRANSLATION);
    return end;
  }
  SECURITY_ATTRIBUTES inherited{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  // The child reads the input through its own handle, from the first byte:
  // the stream's buffer is not the handle's position.
  Handle input;
  if (run.input != nullptr) {
    const int fd = ::_fileno(run.input);
    HANDLE file = fd >= 0 ? reinterpret_cast<HANDLE>(::_get_osfhandle(fd)) : INVALID_HANDLE_VALUE;
    LARGE_INTEGER first{};
    HANDLE copy = nullptr;
    if (file == INVALID_HANDLE_VALUE || !::SetFilePointerEx(file, first, nullptr, FILE_BEGIN) ||
        !::DuplicateHandle(::GetCurrentProcess(), file, ::GetCurrentProcess(), &copy, 0, TRUE,
                           DUPLICATE_SAME_ACCESS)) {
      StartFailed(end, StartFailure::kInput, nullptr, ::GetLastError());
      return end;
    }
    input.Reset(copy);
  } else {
    input.Reset(::CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherited,
                              OPEN_EXISTING, 0, nullptr));
  }
  // Output nobody wants still comes through the pipe, read and dropped.
  TextSink discard(0);
  Reader readers[kPipes];
  readers[0].sink = run.output != nullptr ? run.output : &discard;
  readers[1].sink = run.errors;
  readers[2].sink = run.report;
  Handle ends[kPipes];  // the child's: output, errors, report
  Handle& output = ends[0];
  Handle& errors = ends[1];
  Handle& report = ends[2];
  bool piped = static_cast<bool>(input);
  for (int i = 0; piped && i < kPipes; ++i) {
    if (readers[i].sink == nullptr) continue;
    readers[i].event.Reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    piped = readers[i].event && OutputPipe(readers[i].pipe, ends[i], readers[i].event.get());
    readers[i].open = piped;
  }
  if (!piped) {
    StartFailed(end, StartFailure::kResources, "pipe", ::GetLastError());
    return end;
  }
  Handle job(::CreateJobObjectW(nullptr, nullptr));
  if (!job || !LimitJob(job.get(), run.addressSpaceLimit)) {
    StartFailed(end, StartFailure::kResources, "job", ::GetLastError());
    return end;
  }

  // Exactly the three standard handles (and the report pipe) are inherited,
  // not every inheritable handle of the parent (another run's pipes among
  // them).
  HANDLE inherit[4] = {input.get(), output.get(), errors ? errors.get() : output.get()};
  DWORD inheritCount = errors ? 3 : 2;
  if (report) inherit[inheritCount++] = report.get();
  SIZE_T listBytes = 0;
  ::InitializeProcThreadAttributeList(nullptr, 1, 0, &listBytes);
  std::vector<char> listRoom(listBytes);
  auto* attributes = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(listRoom.data());
  if (!::InitializeProcThreadAttributeList(attributes, 1, 0, &listBytes)) {
    StartFailed(end, StartFailure::kResources, "InitializeProcThreadAttributeList",
                ::GetLastError());
    return end;
  }
  const bool listed =
      ::UpdateProcThreadAttribute(attributes, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherit,
                                  inheritCount * sizeof(HANDLE), nullptr, nullptr);
  STARTUPINFOEXW startup{};
  startup.StartupInfo.cb = sizeof startup;
  startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  startup.StartupInfo.hStdInput = inherit[0];
  startup.StartupInfo.hStdOutput = inherit[1];
  startup.StartupInfo.hStdError = inherit[2];
  startup.lpAttributeList = attributes;
  // The report pipe reaches the child as its C runtime's descriptor
  // kChildReportFd.
  std::vector<unsigned char> descriptors;
  if (report) {
    const HANDLE table[kChildReportFd + 1] = {inherit[0], inherit[1], inherit[2], nullptr,
                                              report.get()};
    descriptors = DescriptorTable(table);
    startup.StartupInfo.cbReserved2 = static_cast<WORD>(descriptors.size());
    startup.StartupInfo.lpReserved2 = descriptors.data();
  }
  Handle token;
  DWORD tokenError = ERROR_SUCCESS;
  if (run.confined && !ConfinedToken(token, tokenError)) {
    ::DeleteProcThreadAttributeList(attributes);
    StartFailed(end, StartFailure::kResources, "CreateRestrictedToken", tokenError);
    return end;
  }
  PROCESS_INFORMATION started{};
  // Suspended until it is in its job; no console of its own (a window's
  // child would show one), so no console event of the parent's reaches it.
  const DWORD flags = CREATE_SUSPENDED | CREATE_UNICODE_ENVIRONMENT | CREATE_NO_WINDOW |
                      EXTENDED_STARTUPINFO_PRESENT |
                      (MayLeaveJob() ? CREATE_BREAKAWAY_FROM_JOB : 0);
  // A restricted copy of this process's own token needs no privilege to
  // start a process with.
  const BOOL created =
      listed &&
      (token ? ::CreateProcessAsUserW(token.get(), program.c_str(), line.data(), nullptr, nullptr,
                                      TRUE, flags, run.environment ? environment.data() : nullptr,
                                      nullptr, &startup.StartupInfo, &started)
             : ::CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, TRUE, flags,
                                run.environment ? environment.data() : nullptr, nullptr,
                                &startup.StartupInfo, &started));
  const DWORD createError = ::GetLastError();
  ::DeleteProcThreadAttributeList(attributes);
  // The child's ends are the child's now: its output ends when it does.
  for (Handle& childEnd : ends) childEnd.Reset(nullptr);
  input.Reset(nullptr);
  if (!listed) {
    StartFailed(end, StartFailure::kResources, "UpdateProcThreadAttribute", createError);
    return end;
  }
  if (!created) {
    StartFailed(end, StartFailure::kInChild, nullptr, createError);
    return end;
  }
  Handle process(started.hProcess), thread(started.hThread);
  if (!::AssignProcessToJobObject(job.get(), process.get())) {
    const DWORD error = ::GetLastError();
    ::TerminateProcess(process.get(), 1);
    ::WaitForSingleObject(process.get(), INFINITE);
    StartFailed(end, StartFailure::kResources, "AssignProcessToJobObject", error);
    return end;
  }
  if (::ResumeThread(thread.get()) == static_cast<DWORD>(-1)) {
    const DWORD error = ::GetLastError();
    ::TerminateJobObject(job.get(), 1);
    StartFailed(end, StartFailure::kResources, "ResumeThread", error);
    return end;
  }
  Watch(run, readers, process.get(), job.get(), end);
  return end;
}

std::string ChildSignalName(int signal) {
  switch (static_cast<DWORD>(signal)) {
    case kKilled:
      return "Killed";
    case 0xC0000005u:
      return "access violation";
    case 0xC00000FDu:
      return "stack overflow";
    case 0xC0000409u:
      return "fast fail";
    case 0xC0000017u:
      return "no memory";
    case 0xC000001Du:
      return "illegal instruction";
    case 0xC0000094u:
      return "integer division by zero";
    case 0xC000013Au:
      return "interrupted";
    default: {
      char text[32];
      std::snprintf(text, sizeof text, "exception 0x%08lX", static_cast<unsigned long>(signal));
      return text;
    }
  }
}
