// FuzzOracle.cpp - the header format's checks, report and change, spelled
// out independently of header/ for comparison by the fuzz targets.
//
// Offsets are written as numbers here on purpose: a wrong constant in the
// tool then shows up as a difference instead of being shared.
#include "fuzz/FuzzOracle.h"

#include <cstdio>

namespace oracle {

namespace {

std::uint32_t get16(const unsigned char* p) {
  return static_cast<std::uint32_t>(p[0]) |
         static_cast<std::uint32_t>(p[1]) << 8;
}

std::uint32_t get32(const unsigned char* p) {
  return get16(p) | get16(p + 2) << 16;
}

void put32(unsigned char* p, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(value >> 8 * i);
}

// One message line: the text cut to 1021 characters, then CR LF.
void addLine(std::string& out, const std::string& text) {
  out.append(text, 0, 1021);
  out.append("\r\n");
}

std::string format(const char* pattern, std::uint32_t a, std::uint32_t b,
                   std::uint32_t c) {
  char buffer[128];
  std::snprintf(buffer, sizeof buffer, pattern, a, b, c);
  return buffer;
}

// The text at offset: up to its first NUL or the end of the file.
std::string textAt(const unsigned char* file, std::size_t size,
                   std::size_t offset) {
  std::string text;
  for (std::size_t i = offset; i < size && file[i] != 0; ++i)
    text.push_back(static_cast<char>(file[i]));
  return text;
}

// The text as a terminal gets it: control bytes and DEL as '?'.
std::string forTerminal(std::string text, bool terminal) {
  if (terminal) {
    for (char& c : text) {
      const unsigned byte = static_cast<unsigned char>(c);
      if (byte < 32 || byte == 127) c = '?';
    }
  }
  return text;
}

}  // namespace

const char* archName(std::uint32_t code) {
  static const struct {
    std::uint32_t code;
    const char* name;
  } kNames[] = {
      {0, "Any"},           {103, "SHx_SH3"},        {104, "SHx_SH4"},
      {386, "i386"},        {486, "i486"},           {586, "Pentium"},
      {601, "PowerPC_601"}, {603, "PowerPC_603"},    {604, "PowerPC_604"},
      {620, "PowerPC_620"}, {821, "Motorola_821"},   {1824, "ARM_720"},
      {2080, "ARM_820"},    {2336, "ARM_920"},       {2577, "StrongARM"},
      {4000, "MIPS_R4000"}, {10003, "Hitachi_SH3"},  {10004, "Hitachi_SH3E"},
      {10005, "Hitachi_SH4"}, {21064, "Alpha_21064"}, {70001, "ARM_7TDMI"},
  };
  for (const auto& entry : kNames) {
    if (entry.code == code) return entry.name;
  }
  return "unknown";
}

bool headerPasses(const unsigned char* file, std::size_t size) {
  if (size < 100) return false;
  if (file[0] != 'M' || file[1] != 'S' || file[2] != 'C' || file[3] != 'E')
    return false;
  for (std::size_t field : {84u, 88u, 92u}) {
    if (get16(file + field) + get16(file + field + 2) > size) return false;
  }
  return true;
}

std::string report(const unsigned char* file, std::size_t size,
                   bool terminal) {
  std::string out;
  addLine(out, "");
  addLine(out, "Provider: " +
                   forTerminal(textAt(file, size, get16(file + 88)), terminal));
  addLine(out, "App name: " +
                   forTerminal(textAt(file, size, get16(file + 84)), terminal));
  const std::uint32_t arch = get32(file + 20);
  addLine(out, format("Architecture: %u (", arch, 0, 0) + archName(arch) + ")");
  addLine(out, format("WinCE version min: %u.%u build %u", get32(file + 24),
                      get32(file + 28), get32(file + 40)));
  addLine(out, format("WinCE version max: %u.%u build %u", get32(file + 32),
                      get32(file + 36), get32(file + 44)));
  static const char* const kCounts[6] = {
      "Number of strings: %u",        "Number of dirs: %u",
      "Number of files: %u",          "Number of registry hives: %u",
      "Number of registry keys: %u",  "Number of links: %u"};
  for (int i = 0; i < 6; ++i)
    addLine(out, format(kCounts[i], get16(file + 48 + 2 * i), 0, 0));

  const std::size_t offset = get16(file + 92);
  const std::size_t length = get16(file + 94);
  if (length != 0) {
    // Join the names with ", ", then keep the first 126 characters.
    std::string list;
    for (std::size_t at = offset; at + 1 < offset + length;) {
      if (at != offset) list += ", ";
      const std::string name = textAt(file, size, at);
      list += name;
      at += name.size() + 1;
    }
    if (list.size() > 126) list.resize(126);
    addLine(out, "Unsupported platforms: " + forTerminal(list, terminal));
  }
  return out;
}

void applyExpected(unsigned char* header, const ChangeRequest& request) {
  if (request.archGiven) put32(header + 20, request.arch);
  if (request.minVersionGiven) {
    put32(header + 24, request.minVersion.major);
    put32(header + 28, request.minVersion.minor);
    put32(header + 40, request.minVersion.build);
  }
  if (request.maxVersionGiven) {
    put32(header + 32, request.maxVersion.major);
    put32(header + 36, request.maxVersion.minor);
    put32(header + 44, request.maxVersion.build);
  }
  // The platform list's length; its offset at 92 stays.
  if (request.clearPlatforms) header[94] = header[95] = 0;
}

std::string changeLines(const ChangeRequest& request) {
  std::string out;
  if (request.archGiven) {
    addLine(out, format("Arch set to %u (", request.arch, 0, 0) +
                     archName(request.arch) + ")");
  }
  const VersionTriple& low = request.minVersion;
  if (request.minVersionGiven)
    addLine(out, format("Min ver set to %u.%u build %u", low.major, low.minor,
                        low.build));
  const VersionTriple& high = request.maxVersion;
  if (request.maxVersionGiven)
    addLine(out, format("Max ver set to %u.%u build %u", high.major,
                        high.minor, high.build));
  if (request.clearPlatforms) addLine(out, "Unsupported platforms cleared");
  return out;
}

}  // namespace oracle
