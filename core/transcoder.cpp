#include "transcoder.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

constexpr const char* kHelperName = "dicom-decode";
constexpr int kDefaultTimeoutSeconds = 120;
constexpr int kExitPixelDataShort = 6;  // the helper's status for short pixel data
// The largest study the store takes is 32 MiB of 128 x 128 pixels; a decoded
// file far beyond that is not a study this converter can hold.
constexpr std::size_t kMaxDecodedBytes = std::size_t{256} << 20;

std::string testHelper;
int timeoutSeconds = kDefaultTimeoutSeconds;
bool decoderEnabled = true;

struct SyntaxName {
  const char* uid;
  const char* name;
  bool lossy;
};

const SyntaxName kSyntaxNames[] = {
    {"1.2.840.10008.1.2.1.99", "Deflated Explicit VR Little Endian", false},
    {"1.2.840.10008.1.2.2", "Explicit VR Big Endian", false},
    {"1.2.840.10008.1.2.4.50", "JPEG Baseline", true},
    {"1.2.840.10008.1.2.4.51", "JPEG Extended", true},
    {"1.2.840.10008.1.2.4.57", "JPEG Lossless", false},
    {"1.2.840.10008.1.2.4.70", "JPEG Lossless, First-Order Prediction", false},
    {"1.2.840.10008.1.2.4.80", "JPEG-LS Lossless", false},
    {"1.2.840.10008.1.2.4.81", "JPEG-LS Near-Lossless", true},
    {"1.2.840.10008.1.2.4.90", "JPEG 2000 Lossless", false},
    {"1.2.840.10008.1.2.4.91", "JPEG 2000", false},
    {"1.2.840.10008.1.2.4.100", "MPEG2 Main Profile", true},
    {"1.2.840.10008.1.2.4.101", "MPEG2 High Profile", true},
    {"1.2.840.10008.1.2.4.102", "MPEG-4 AVC/H.264", true},
    {"1.2.840.10008.1.2.4.103", "MPEG-4 AVC/H.264 BD", true},
    {"1.2.840.10008.1.2.4.201", "High-Throughput JPEG 2000 Lossless", false},
    {"1.2.840.10008.1.2.4.203", "High-Throughput JPEG 2000", false},
    {"1.2.840.10008.1.2.5", "RLE Lossless", false},
};

const SyntaxName* FindSyntax(const std::string& uid) {
  for (const SyntaxName& s : kSyntaxNames)
    if (uid == s.uid) return &s;
  return nullptr;
}

// The helper beside the running program, or one folder up (the tests run
// from a subfolder of the build).
std::string HelperPath() {
  if (!testHelper.empty()) return testHelper;
  char self[4096];
  ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return kHelperName;
  std::string dir(self, static_cast<std::size_t>(n));
  dir.erase(dir.rfind('/'));
  for (int up = 0; up < 2; ++up) {
    std::string candidate = dir + "/" + kHelperName;
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    std::size_t slash = dir.rfind('/');
    if (slash == std::string::npos || slash == 0) break;
    dir.erase(slash);
  }
  return kHelperName;
}

long long NowMilliseconds() {
  timespec now;
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

std::string HowItEnded(int status, bool timedOut, const std::string& words) {
  if (timedOut) return "the decoder did not finish within " + std::to_string(timeoutSeconds) + " s";
  if (WIFSIGNALED(status)) {
    int signal = WTERMSIG(status);
    if (signal == SIGXCPU) return "the decoder ran out of CPU time";
    return "the decoder crashed (" + std::string(::strsignal(signal)) + ")";
  }
  std::string reason = words;
  while (!reason.empty() && (reason.back() == '\n' || reason.back() == '\r')) reason.pop_back();
  if (reason.empty())
    reason = "the decoder failed (status " + std::to_string(WEXITSTATUS(status)) + ")";
  return reason;
}

}  // namespace

DecodedFile::~DecodedFile() {
  std::free(data_);
}

long DecodedFile::ReadFrom(int fd) {
  constexpr std::size_t kChunk = std::size_t{1} << 20;
  if (capacity_ - size_ < kChunk) {
    std::size_t grown = capacity_ == 0 ? 8 * kChunk : capacity_ * 2;
    char* bigger = grown > kMaxDecodedBytes + kChunk
                       ? nullptr
                       : static_cast<char*>(std::realloc(data_, grown));
    if (bigger == nullptr) {
      errno = ENOMEM;
      return -1;
    }
    data_ = bigger;
    capacity_ = grown;
  }
  ssize_t n = ::read(fd, data_ + size_, capacity_ - size_);
  if (n > 0) size_ += static_cast<std::size_t>(n);
  return n;
}

void SetDecoderForTesting(const std::string& helperPath, int seconds) {
  testHelper = helperPath;
  timeoutSeconds = seconds > 0 ? seconds : kDefaultTimeoutSeconds;
}

void SetDecoderEnabled(bool enabled) {
  decoderEnabled = enabled;
}

std::string SyntaxDescription(const std::string& uid) {
  const SyntaxName* s = FindSyntax(uid);
  return s == nullptr ? uid : uid + " (" + s->name + ")";
}

bool IsLossySyntax(const std::string& uid) {
  const SyntaxName* s = FindSyntax(uid);
  return s != nullptr && s->lossy;
}

DecodeResult DecodeToRawLittleEndian(int fd, DecodedFile& decoded, std::string& reason) {
  if (!decoderEnabled) {
    reason = "the decoder is switched off";
    return DecodeResult::kFailed;
  }
  if (::lseek(fd, 0, SEEK_SET) != 0) {
    reason = std::string("cannot read the file again: ") + std::strerror(errno);
    return DecodeResult::kFailed;
  }
  int out[2], err[2];
  if (::pipe2(out, O_CLOEXEC) != 0) {
    reason = std::string("cannot start the decoder: ") + std::strerror(errno);
    return DecodeResult::kFailed;
  }
  if (::pipe2(err, O_CLOEXEC) != 0) {
    reason = std::string("cannot start the decoder: ") + std::strerror(errno);
    ::close(out[0]);
    ::close(out[1]);
    return DecodeResult::kFailed;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fd, 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err[1], 2);
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  std::string helper = HelperPath();
  char* argv[] = {const_cast<char*>(helper.c_str()), nullptr};
  char* envp[] = {nullptr};
  pid_t child = -1;
  int spawned = ::posix_spawn(&child, helper.c_str(), &actions, nullptr, argv, envp);
  posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  ::close(err[1]);
  if (spawned != 0) {
    ::close(out[0]);
    ::close(err[0]);
    reason = "cannot start the decoder " + helper + ": " + std::strerror(spawned);
    return DecodeResult::kFailed;
  }

  std::string words;
  bool tooLarge = false, timedOut = false;
  const long long deadline = NowMilliseconds() + 1000LL * timeoutSeconds;
  pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  int open = 2;
  char buffer[4096];
  // A wide pipe spares the helper a stop every 64 KiB.
  ::fcntl(out[0], F_SETPIPE_SZ, 1 << 20);
  while (open > 0) {
    long long left = deadline - NowMilliseconds();
    if (left <= 0) {
      timedOut = true;
      break;
    }
    int ready = ::poll(fds, 2, static_cast<int>(left));
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) break;
    for (pollfd& p : fds) {
      if (p.fd < 0 || (p.revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
      ssize_t n;
      if (p.fd == out[0]) {
        n = decoded.ReadFrom(p.fd);
        if (n < 0 && errno == ENOMEM) tooLarge = true;
      } else {
        n = ::read(p.fd, buffer, sizeof buffer);
        if (n > 0 && words.size() < 4096) words.append(buffer, static_cast<std::size_t>(n));
      }
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        ::close(p.fd);
        p.fd = -1;
        --open;
      }
    }
    if (tooLarge) break;
  }
  if (timedOut || tooLarge) ::kill(child, SIGKILL);
  for (pollfd& p : fds)
    if (p.fd >= 0) ::close(p.fd);
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  if (tooLarge) {
    reason = "the decoded file exceeds the memory set aside for it";
    return DecodeResult::kFailed;
  }
  if (!timedOut && WIFEXITED(status) && WEXITSTATUS(status) == kExitPixelDataShort) {
    reason = "the pixel data end before the last frame";
    return DecodeResult::kPixelDataShort;
  }
  if (timedOut || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    reason = HowItEnded(status, timedOut, words.substr(0, words.find('\n')));
    return DecodeResult::kFailed;
  }
  if (decoded.size() == 0) {
    reason = "the decoder wrote nothing";
    return DecodeResult::kFailed;
  }
  return DecodeResult::kDecoded;
}
