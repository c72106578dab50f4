#include "helper/helper_process.h"

#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

// GDCM sizes OpenJPEG's thread pool from this OpenJPEG call, which reads
// /sys/devices/system/cpu/online, and OpenJPEG asks it when OPJ_NUM_THREADS
// says ALL_CPUS. Defined here, it answers for the library's: no file is
// read once the filter is on. The frames' threads are the helper's own.
extern "C" int opj_get_num_cpus(void) {
  return 1;
}

namespace {

constexpr rlim_t kCpuSeconds = 30;
constexpr rlim_t kAddressSpace = rlim_t{512} << 20;  // the largest study needs about 150 MiB

}  // namespace

void LimitResources() {
  rlimit cpu{kCpuSeconds, kCpuSeconds + 1};
  ::setrlimit(RLIMIT_CPU, &cpu);
  // The converter may have set a lower limit, sized from the study.
  rlimit memory;
  if (::getrlimit(RLIMIT_AS, &memory) != 0 || memory.rlim_cur > kAddressSpace)
    memory = {kAddressSpace, kAddressSpace};
  ::setrlimit(RLIMIT_AS, &memory);
  rlimit core{0, 0};
  ::setrlimit(RLIMIT_CORE, &core);
}

int Fail(int status, const std::string& why) {
  std::fprintf(stderr, "%s\n", why.c_str());
  return status;
}

void ResetSignals() {
  for (int sig = 1; sig < NSIG; ++sig) std::signal(sig, SIG_DFL);
  sigset_t none;
  sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
}

bool TakeStandardInput(Input& input, std::string& why) {
  struct stat info;
  const off_t at = ::lseek(0, 0, SEEK_CUR);
  if (::fstat(0, &info) == 0 && S_ISREG(info.st_mode) && at >= 0 && info.st_size > at) {
    void* mapped =
        ::mmap(nullptr, static_cast<std::size_t>(info.st_size), PROT_READ, MAP_PRIVATE, 0, 0);
    if (mapped != MAP_FAILED) {
      input.data = static_cast<const char*>(mapped) + at;
      input.size = static_cast<std::size_t>(info.st_size - at);
      input.mapped = true;
      return true;
    }
  }
  std::string& bytes = input.read;
  if (::fstat(0, &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0)
    bytes.reserve(static_cast<std::size_t>(info.st_size));
  char chunk[1 << 16];
  for (;;) {
    ssize_t n = ::read(0, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      why = std::string("cannot read the file: ") + std::strerror(errno);
      return false;
    }
    if (n == 0) break;
    bytes.append(chunk, static_cast<std::size_t>(n));
  }
  input.data = bytes.data();
  input.size = bytes.size();
  return true;
}

bool AnswerHelpOrVersion(int argc, char** argv, const char* name, const char* usage) {
  if (argc != 2) return false;
  if (std::strcmp(argv[1], "--version") == 0) {
    std::printf("%s %s\n", name, DGC_VERSION);
    return true;
  }
  if (std::strcmp(argv[1], "--help") == 0) {
    std::printf("usage: %s < DICOM-FILE > DECODED-FILE\n\n%s", name, usage);
    return true;
  }
  return false;
}

std::string ConfinedIdentity(int dumpableAtMain) {
  uid_t ruid, euid, suid;
  gid_t rgid, egid, sgid;
  ::getresuid(&ruid, &euid, &suid);
  ::getresgid(&rgid, &egid, &sgid);
  int deathSignal = 0;
  ::prctl(PR_GET_PDEATHSIG, &deathSignal, 0, 0, 0);
  rlimit cpu, memory, core;
  ::getrlimit(RLIMIT_CPU, &cpu);
  ::getrlimit(RLIMIT_AS, &memory);
  ::getrlimit(RLIMIT_CORE, &core);
  char text[512];
  std::snprintf(text, sizeof text,
                "uid %u %u %u gid %u %u %u groups %d no_new_privs %d dumpable_at_main %d "
                "dumpable %d pdeathsig %d cpu %llu as %llu core %llu\n",
                ruid, euid, suid, rgid, egid, sgid, ::getgroups(0, nullptr),
                ::prctl(PR_GET_NO_NEW_PRIVS, 0, 0, 0, 0), dumpableAtMain,
                ::prctl(PR_GET_DUMPABLE, 0, 0, 0, 0), deathSignal,
                static_cast<unsigned long long>(cpu.rlim_cur),
                static_cast<unsigned long long>(memory.rlim_cur),
                static_cast<unsigned long long>(core.rlim_cur));
  return text;
}
