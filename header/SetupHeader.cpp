// SetupHeader.cpp - the checks a setup file passes before it is shown or
// changed.
#include "header/SetupHeader.h"

#include "header/Endian.h"
#include "runtime/Console.h"

HeaderText readHeaderText(const unsigned char* header, std::uint32_t field) {
  return HeaderText{readLE16(header + field), readLE16(header + field + 2)};
}

std::uint32_t textLengthAt(const unsigned char* file, std::uint32_t size,
                           std::uint32_t offset) {
  std::uint32_t end = offset;
  while (end < size && file[end] != 0) ++end;
  return end > offset ? end - offset : 0;
}

namespace {

// A text lies inside the file when its end does not pass the file's end.
// Offset and length are widened before adding, so the sum cannot wrap.
bool textInside(const unsigned char* file, std::uint32_t size,
                std::uint32_t field) {
  const HeaderText text = readHeaderText(file, field);
  return static_cast<std::uint32_t>(text.offset) + text.length <= size;
}

}  // namespace

bool validateHeader(const unsigned char* file, std::uint32_t size) {
  // Every later step reads the 100 header bytes; a shorter file has none.
  if (size < SetupHeader::kSize) {
    reportError("File too short for an MSCE header (%u bytes, %u needed)",
                size, SetupHeader::kSize);
    return false;
  }
  if (readLE32(file + SetupHeader::kSignature) !=
      SetupHeader::kSignatureValue) {
    reportError("Invalid MSCE header signature");
    return false;
  }
  // Provider, then app name, then the unsupported-platforms list.
  if (!textInside(file, size, SetupHeader::kProviderText) ||
      !textInside(file, size, SetupHeader::kAppNameText) ||
      !textInside(file, size, SetupHeader::kPlatformsText)) {
    reportError("Invalid string size in a file");
    return false;
  }
  return true;
}
