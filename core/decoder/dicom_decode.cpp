// dicom-decode: rewrites the DICOM file open on standard input as explicit VR
// little endian with raw pixel data, on standard output. The converter spawns
// it for every transfer syntax it does not read itself (compressed,
// big-endian, deflated, no Part 10 preamble), so that a decoder crash, hang
// or runaway allocation costs this process only.
//
// Exit status: 0 written; 2 GDCM cannot read the file; 3 the pixel data
// cannot be decoded; 4 out of memory; 5 cannot write; 6 the pixel data end
// early (GDCM would pad them with zeros). The reason, in the decoder's own
// words where it has them, is one line on standard error.
#include <sys/resource.h>

#include <cstdio>
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

namespace {

constexpr rlim_t kCpuSeconds = 30;
constexpr rlim_t kAddressSpace = rlim_t{512} << 20;  // the largest study needs about 150 MiB

void LimitResources() {
  rlimit cpu{kCpuSeconds, kCpuSeconds + 1};
  ::setrlimit(RLIMIT_CPU, &cpu);
  rlimit memory{kAddressSpace, kAddressSpace};
  ::setrlimit(RLIMIT_AS, &memory);
  rlimit core{0, 0};
  ::setrlimit(RLIMIT_CORE, &core);
}

int Fail(int status, const std::string& why) {
  std::fprintf(stderr, "%s\n", why.c_str());
  return status;
}

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

int Decode() {
  std::ostringstream errors, warnings;
  gdcm::Trace::SetErrorStream(errors);
  gdcm::Trace::SetWarningStream(warnings);
  auto words = [&]() {
    std::string first = FirstMessage(errors);
    return first.empty() ? FirstMessage(warnings) : first;
  };

  gdcm::ImageReader reader;
  reader.SetFileName("/dev/stdin");
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
  // today among them). A big-endian data set needs that writer to swap its
  // values; the attributes it adds are then read back out.
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
  writer.SetImage(change.GetOutput());
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
  // The writer stored the whole-word layout decoded above; the file's own
  // layout goes back.
  for (const gdcm::DataElement& element : layout) dataSet.Replace(element);
  return WriteToStandardOutput(copy.GetFile());
}

}  // namespace

int main() {
  LimitResources();
  std::ios::sync_with_stdio(false);
  try {
    return Decode();
  } catch (const std::bad_alloc&) {
    return Fail(4, "out of memory");
  } catch (const std::exception& error) {
    return Fail(3, std::string("decoder error: ") + error.what());
  }
}
