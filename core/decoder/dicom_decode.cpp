// dicom-decode: rewrites the DICOM file open on standard input as explicit VR
// little endian with raw pixel data, on standard output. The converter spawns
// it for every transfer syntax it does not read itself (compressed,
// big-endian, deflated, no Part 10 preamble), so that a decoder crash, hang
// or runaway allocation costs this process only. It reads the whole input
// first, then confines itself (sandbox.h) before GDCM sees a byte of it.
//
// Exit status: 0 written; 2 GDCM cannot read the file; 3 the pixel data
// cannot be decoded; 4 out of memory; 5 cannot write; 6 the pixel data end
// early (GDCM would pad them with zeros); 7 the sandbox cannot be set up or
// the input cannot be read. The reason, in the decoder's own words where it
// has them, is one line on standard error.
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <iostream>
#include <new>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "gdcmImageChangeTransferSyntax.h"
#include "gdcmImageReader.h"
#include "gdcmImageWriter.h"
#include "gdcmReader.h"
#include "gdcmTrace.h"
#include "gdcmTransferSyntax.h"
#include "gdcmWriter.h"
#include "sandbox.h"

// GDCM sizes OpenJPEG's thread pool from this OpenJPEG call, which reads
// /sys/devices/system/cpu/online. Defined here, it answers for the library's
// and keeps the JPEG 2000 decode in this one thread: the sandbox admits
// neither a file open nor a new thread.
extern "C" int opj_get_num_cpus(void) {
  return 1;
}

namespace {

constexpr rlim_t kCpuSeconds = 30;
constexpr rlim_t kAddressSpace = rlim_t{512} << 20;  // the largest study needs about 150 MiB

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

// Default dispositions and an open mask, whatever the converter had: the CPU
// limit must end the process with SIGXCPU, a crash with its own signal.
void ResetSignals() {
  for (int sig = 1; sig < NSIG; ++sig) std::signal(sig, SIG_DFL);
  sigset_t none;
  sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
}

// Standard input as given (the converter's open file, from its start), whole.
bool ReadStandardInput(std::string& bytes, std::string& why) {
  struct stat info;
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
    if (n == 0) return true;
    bytes.append(chunk, static_cast<std::size_t>(n));
  }
}

// A read-only stream over bytes in memory, for GDCM's reader: it seeks.
class MemoryBuffer : public std::streambuf {
 public:
  explicit MemoryBuffer(const std::string& bytes) {
    char* begin = const_cast<char*>(bytes.data());
    setg(begin, begin, begin + bytes.size());
  }

 protected:
  pos_type seekoff(off_type offset, std::ios_base::seekdir dir,
                   std::ios_base::openmode which) override {
    if ((which & std::ios_base::in) == 0) return pos_type(off_type(-1));
    off_type base = dir == std::ios_base::beg   ? 0
                    : dir == std::ios_base::cur ? gptr() - eback()
                                                : egptr() - eback();
    off_type target = base + offset;
    if (target < 0 || target > egptr() - eback()) return pos_type(off_type(-1));
    setg(eback(), eback() + target, egptr());
    return pos_type(target);
  }
  pos_type seekpos(pos_type position, std::ios_base::openmode which) override {
    return seekoff(off_type(position), std::ios_base::beg, which);
  }
};

// The first message GDCM wrote to a trace stream. Each message follows a
// line that names the source file and function, which is left out.
std::string FirstMessage(const std::ostringstream& log) {
  std::istringstream lines(log.str());
  std::string line;
  while (std::getline(lines, line)) {
    if (line.empty() || line.rfind("Warning: In ", 0) == 0 || line.rfind("Error: In ", 0) == 0)
      continue;
    return line;
  }
  return "";
}

int WriteToStandardOutput(const gdcm::File& file) {
  gdcm::Writer out;
  out.SetFile(file);
  out.SetStream(std::cout);
  if (!out.Write() || !std::cout.flush()) return Fail(5, "cannot write the decoded file");
  return 0;
}

// A big-endian data set needs GDCM's image writer to swap its values; the
// type 2 attributes that writer adds are read back out, and the file's own
// pixel layout goes back in place of the whole-word one decoded.
int WriteBigEndianDecoded(gdcm::File& file, const gdcm::Image& decoded) {
  std::set<gdcm::Tag> present;
  std::vector<gdcm::DataElement> layout;  // the writer overwrites these in file
  for (const gdcm::DataElement& element : file.GetDataSet().GetDES()) {
    present.insert(element.GetTag());
    const gdcm::Tag& tag = element.GetTag();
    if (tag.GetGroup() == 0x0028 && tag.GetElement() >= 0x0101 && tag.GetElement() <= 0x0103)
      layout.push_back(element);
  }
  std::stringstream written;
  gdcm::ImageWriter writer;
  writer.SetFile(file);
  writer.SetImage(decoded);
  writer.SetStream(written);
  if (!writer.Write()) return Fail(5, "cannot write the decoded file");

  gdcm::Reader copy;
  copy.SetStream(written);
  if (!copy.Read()) return Fail(5, "cannot read back the decoded file");
  gdcm::DataSet& dataSet = copy.GetFile().GetDataSet();
  std::vector<gdcm::Tag> added;
  for (const gdcm::DataElement& element : dataSet.GetDES())
    if (present.count(element.GetTag()) == 0 && element.GetTag().GetGroup() != 0x7FE0)
      added.push_back(element.GetTag());
  for (const gdcm::Tag& tag : added) dataSet.Remove(tag);
  for (const gdcm::DataElement& element : layout) dataSet.Replace(element);
  return WriteToStandardOutput(copy.GetFile());
}

int Decode(const std::string& input) {
  std::ostringstream errors, warnings;
  gdcm::Trace::SetErrorStream(errors);
  gdcm::Trace::SetWarningStream(warnings);
  auto words = [&]() {
    std::string first = FirstMessage(errors);
    return first.empty() ? FirstMessage(warnings) : first;
  };

  MemoryBuffer buffer(input);
  std::istream stream(&buffer);
  gdcm::ImageReader reader;
  reader.SetStream(stream);
  if (!reader.Read()) {
    std::string why = words();
    return Fail(2, "GDCM cannot read it as a DICOM image" + (why.empty() ? "" : ": " + why));
  }
  if (warnings.str().find("Incomplete Pixel Data") != std::string::npos)
    return Fail(6, "the pixel data end before the last frame");
  const gdcm::TransferSyntax source = reader.GetImage().GetTransferSyntax();
  // GDCM masks each decoded word to Bits Stored counted from bit 0, which
  // loses the top bits of a 12-bit value stored under High Bit 15. Decoding
  // all the allocated bits keeps the stored words as they are; the converter
  // applies the file's own Bits Stored, High Bit and Pixel Representation.
  gdcm::PixelFormat whole = reader.GetImage().GetPixelFormat();
  whole.SetBitsStored(whole.GetBitsAllocated());
  whole.SetHighBit(static_cast<unsigned short>(whole.GetBitsAllocated() - 1));
  reader.GetImage().SetPixelFormat(whole);
  gdcm::ImageChangeTransferSyntax change;
  change.SetTransferSyntax(gdcm::TransferSyntax::ExplicitVRLittleEndian);
  change.SetInput(reader.GetImage());
  if (!change.Change()) {
    std::string why = words();
    return Fail(3, why.empty() ? "the pixel data do not decode" : why);
  }
  // The decoded pixel data replace the stored ones in the file as read, and
  // only the meta group learns the new transfer syntax: GDCM's image writer
  // would fill in type 2 attributes that the file lacks (a Study Date of
  // today among them).
  const bool bigEndian = source == gdcm::TransferSyntax::ExplicitVRBigEndian;
  gdcm::File& file = reader.GetFile();
  if (!bigEndian) {
    gdcm::DataElement pixels = change.GetOutput().GetDataElement();
    pixels.SetTag(gdcm::Tag(0x7FE0, 0x0010));
    pixels.SetVR(gdcm::VR::OW);
    file.GetDataSet().Replace(pixels);
    file.GetHeader().SetDataSetTransferSyntax(gdcm::TransferSyntax::ExplicitVRLittleEndian);
    return WriteToStandardOutput(file);
  }
  return WriteBigEndianDecoded(file, change.GetOutput());
}

// The state the sandbox leaves before its filter goes on, for the self-test.
std::string Identity() {
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
                "uid %u %u %u gid %u %u %u groups %d no_new_privs %d dumpable %d pdeathsig %d "
                "cpu %llu as %llu core %llu\n",
                ruid, euid, suid, rgid, egid, sgid, ::getgroups(0, nullptr),
                ::prctl(PR_GET_NO_NEW_PRIVS, 0, 0, 0, 0), ::prctl(PR_GET_DUMPABLE, 0, 0, 0, 0),
                deathSignal, static_cast<unsigned long long>(cpu.rlim_cur),
                static_cast<unsigned long long>(memory.rlim_cur),
                static_cast<unsigned long long>(core.rlim_cur));
  return text;
}

// dicom-decode --self-test CHECK confines itself as for a decode (with no
// input), then: "ids" writes the identity it was confined under; the other
// checks try what the filter forbids, and end by SIGSYS where it holds.
int SelfTest(const std::string& check, const std::string& identity) {
  if (check == "ids") {
    ssize_t written = ::write(1, identity.data(), identity.size());
    return written == static_cast<ssize_t>(identity.size()) ? 0 : 5;
  }
  char* argv[] = {const_cast<char*>("/bin/true"), nullptr};
  if (check == "open")
    ::open("/etc/passwd", O_RDONLY);
  else if (check == "socket")
    ::socket(AF_INET, SOCK_STREAM, 0);
  else if (check == "exec")
    ::execve(argv[0], argv, nullptr);
  else if (check == "exec-memory")
    ::mmap(nullptr, 4096, PROT_READ | PROT_EXEC, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  else if (check == "map-file")
    ::mmap(nullptr, 4096, PROT_READ, MAP_PRIVATE, 0, 0);
  else
    return Fail(2, "unknown self-test " + check);
  return Fail(1, check + " was allowed");
}

}  // namespace

int main(int argc, char** argv) {
  const pid_t parent = ::getppid();
  const bool selfTest = argc == 3 && std::strcmp(argv[1], "--self-test") == 0;
  ResetSignals();
  LimitResources();
  std::ios::sync_with_stdio(false);
  std::string why;
  if (!DropPrivileges(why) || !EndWithParent(parent, why))
    return Fail(7, "the decoder cannot start confined: " + why);
  try {
    std::string input;
    if (!selfTest && !ReadStandardInput(input, why)) return Fail(7, why);
    const std::string identity = selfTest ? Identity() : "";
    // GDCM's image writer stamps local dates (they are taken out again):
    // a zone given as a rule needs no file once the filter is on.
    ::setenv("TZ", "UTC0", 1);
    ::tzset();
    if (!ConfineSystemCalls(why)) return Fail(7, "the decoder cannot start confined: " + why);
    return selfTest ? SelfTest(argv[2], identity) : Decode(input);
  } catch (const std::bad_alloc&) {
    return Fail(4, "out of memory");
  } catch (const std::exception& error) {
    return Fail(3, std::string("decoder error: ") + error.what());
  }
}
