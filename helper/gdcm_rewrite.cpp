#include "helper/gdcm_rewrite.h"

#include <iostream>
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
#include "status/decoder_status.h"

namespace {

// A read-only stream over bytes in memory, for GDCM's reader: it seeks.
class MemoryBuffer : public std::streambuf {
 public:
  MemoryBuffer(const char* bytes, std::size_t size) {
    char* begin = const_cast<char*>(bytes);  // only ever read
    setg(begin, begin, begin + size);
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

int WriteToStandardOutput(const gdcm::File& file, bool emit) {
  if (!emit) return kHelperDecoded;
  gdcm::Writer out;
  out.SetFile(file);
  out.SetStream(std::cout);
  if (!out.Write() || !std::cout.flush())
    return Fail(kHelperCannotWrite, "cannot write the decoded file");
  return kHelperDecoded;
}

// A big-endian data set needs GDCM's image writer to swap its values; the
// type 2 attributes that writer adds are read back out, and the file's own
// pixel layout goes back in place of the whole-word one decoded.
int WriteBigEndianDecoded(gdcm::File& file, const gdcm::Image& decoded, bool emit) {
  if (!emit) return kHelperDecoded;
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
  if (!writer.Write()) return Fail(kHelperCannotWrite, "cannot write the decoded file");

  gdcm::Reader copy;
  copy.SetStream(written);
  if (!copy.Read()) return Fail(kHelperCannotWrite, "cannot read back the decoded file");
  gdcm::DataSet& dataSet = copy.GetFile().GetDataSet();
  std::vector<gdcm::Tag> added;
  for (const gdcm::DataElement& element : dataSet.GetDES())
    if (present.count(element.GetTag()) == 0 && element.GetTag().GetGroup() != 0x7FE0)
      added.push_back(element.GetTag());
  for (const gdcm::Tag& tag : added) dataSet.Remove(tag);
  for (const gdcm::DataElement& element : layout) dataSet.Replace(element);
  return WriteToStandardOutput(copy.GetFile(), true);
}

}  // namespace

int DecodeWithGdcm(const Input& input, bool emit) {
  std::ostringstream errors, warnings;
  gdcm::Trace::SetErrorStream(errors);
  gdcm::Trace::SetWarningStream(warnings);
  auto words = [&]() {
    std::string first = FirstMessage(errors);
    return first.empty() ? FirstMessage(warnings) : first;
  };

  MemoryBuffer buffer(input.data, input.size);
  std::istream stream(&buffer);
  gdcm::ImageReader reader;
  reader.SetStream(stream);
  if (!reader.Read()) {
    std::string why = words();
    return Fail(kHelperUnreadable,
                "GDCM cannot read it as a DICOM image" + (why.empty() ? "" : ": " + why));
  }
  if (warnings.str().find("Incomplete Pixel Data") != std::string::npos)
    return Fail(kHelperPixelDataShort, "the pixel data end before the last frame");
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
    return Fail(kHelperUndecodable, why.empty() ? "the pixel data do not decode" : why);
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
    return WriteToStandardOutput(file, emit);
  }
  return WriteBigEndianDecoded(file, change.GetOutput(), emit);
}
