// SetupXmlReport.cpp - the setup XML's display block, its warning line and
// its list fields.
//
// Each line is composed in one buffer and printed with a single "%s", so a
// value can never act as a format. Values are decoded XML text, not bytes
// of the file, so their control bytes are masked on every stream.
#include "header/SetupXmlReport.h"

#include <cstring>

#include "header/ArchTable.h"
#include "header/Endian.h"
#include "header/SetupHeader.h"
#include "runtime/Console.h"
#include "text/Scan.h"  // writeDecimal

namespace {

// The longest value the display shows in quotes, in bytes: two of them
// and the line's own words stay within a message.
constexpr std::size_t kShownValueLimit = 400;

// Text composed into a caller's buffer of capacity bytes (at least 1),
// always NUL-terminated, cut at its end.
struct Composer {
  char* chars;
  std::size_t capacity;
  std::size_t used;
};

Composer startText(char* buffer, std::size_t capacity) {
  buffer[0] = '\0';
  return Composer{buffer, capacity, 0};
}

std::size_t room(const Composer& text) { return text.capacity - 1 - text.used; }

// Appends count bytes of chars, as many as fit; a cut backs off to the
// start of a UTF-8 character.
void appendBytes(Composer& text, const char* chars, std::size_t count) {
  if (count > room(text)) {
    count = room(text);
    while (count > 0 && (static_cast<unsigned char>(chars[count]) & 0xC0) == 0x80)
      --count;
  }
  std::memcpy(text.chars + text.used, chars, count);
  text.used += count;
  text.chars[text.used] = '\0';
}

void append(Composer& text, const char* chars) {
  appendBytes(text, chars, std::strlen(chars));
}

void appendNumber(Composer& text, std::uint32_t value) {
  char number[10];
  appendBytes(text, number, writeDecimal(value, number));
}

// The value in double quotes, cut to at most limit bytes and to what fits
// with its closing quote.
void appendQuoted(Composer& text, const SetupXmlValue& parm, std::size_t limit) {
  if (room(text) < 2) return;
  append(text, "\"");
  std::size_t count = parm.length < limit ? parm.length : limit;
  if (count > room(text) - 1) count = room(text) - 1;
  if (count < parm.length) {
    while (count > 0 &&
           (static_cast<unsigned char>(parm.text[count]) & 0xC0) == 0x80)
      --count;
  }
  appendBytes(text, parm.text, count);
  append(text, "\"");
}

// How a parm's value reads: a number, major.minor, or a build.
enum class ValueKind { Number, Version, Build };

// Appends the value of a present parm read as kind; returns false (and
// appends it in quotes, cut at limit) when it does not parse.
bool appendParsed(Composer& text, const SetupXmlValue& parm, ValueKind kind,
                  std::size_t limit) {
  std::uint32_t first = 0, second = 0;
  bool parsed = false;
  switch (kind) {
    case ValueKind::Number:
      parsed = parseXmlNumber(parm.text, parm.length, &first);
      break;
    case ValueKind::Version:
      parsed = parseXmlVersion(parm.text, parm.length, &first, &second);
      break;
    case ValueKind::Build:
      parsed = parseXmlBuild(parm.text, parm.length, &first);
      break;
  }
  if (!parsed) {
    appendQuoted(text, parm, limit);
    return false;
  }
  appendNumber(text, first);
  if (kind == ValueKind::Version) {
    append(text, ".");
    appendNumber(text, second);
  }
  return true;
}

// A display value: "not set", the numbers, or the quoted text with
// " (not a number)".
void appendShown(Composer& text, const SetupXmlValue& parm, ValueKind kind) {
  if (!parm.present) {
    append(text, "not set");
    return;
  }
  if (!appendParsed(text, parm, kind, kShownValueLimit))
    append(text, " (not a number)");
}

// Prints the composed line as it is.
void printLine(Composer& text) {
  maskControlBytes(text.chars);
  printMessage("%s", text.chars);
}

// A version line of the display: the OSVersion parm, then " build" and the
// BuildNumber parm when that is present.
void showVersion(const char* label, const SetupXmlValue& version,
                 const SetupXmlValue& build) {
  char line[kMessageTextLimit];
  Composer text = startText(line, sizeof line);
  append(text, label);
  appendShown(text, version, ValueKind::Version);
  if (build.present) {
    append(text, " build ");
    appendShown(text, build, ValueKind::Build);
  }
  printLine(text);
}

// True when a present parm's value is not the number expected.
bool differs(const SetupXmlValue& parm, ValueKind kind, std::uint32_t expected,
             std::uint32_t expectedMinor = 0) {
  if (!parm.present) return false;
  std::uint32_t first = 0, second = 0;
  switch (kind) {
    case ValueKind::Number:
      return !parseXmlNumber(parm.text, parm.length, &first) || first != expected;
    case ValueKind::Version:
      return !parseXmlVersion(parm.text, parm.length, &first, &second) ||
             first != expected || second != expectedMinor;
    case ValueKind::Build:
      return !parseXmlBuild(parm.text, parm.length, &first) || first != expected;
  }
  return true;
}

}  // namespace

void showSetupXml(const SetupXml& xml, const char* name) {
  char line[kMessageTextLimit];
  Composer text = startText(line, sizeof line);
  append(text, "Setup XML: ");
  append(text, name);
  if (xml.status != SetupXmlStatus::Readable) {
    append(text, " cannot be read (");
    append(text, xml.status == SetupXmlStatus::NoMemory ? "not enough memory"
                                                        : xml.problem);
    append(text, ")");
    printLine(text);
    return;
  }
  printLine(text);

  const SetupXmlValue& appName = xml.parms[kXmlAppName];
  text = startText(line, sizeof line);
  append(text, "XML app name: ");
  if (appName.present) {
    appendBytes(text, appName.text, appName.length);
  } else {
    append(text, "not set");
  }
  printLine(text);

  const SetupXmlValue& arch = xml.parms[kXmlProcessorType];
  text = startText(line, sizeof line);
  append(text, "XML architecture: ");
  std::uint32_t code = 0;
  if (arch.present && parseXmlNumber(arch.text, arch.length, &code)) {
    appendNumber(text, code);
    append(text, " (");
    append(text, lookupArchName(code));
    append(text, ")");
  } else {
    appendShown(text, arch, ValueKind::Number);
  }
  printLine(text);

  showVersion("XML WinCE version min: ", xml.parms[kXmlOSVersionMin],
              xml.parms[kXmlBuildNumberMin]);
  showVersion("XML WinCE version max: ", xml.parms[kXmlOSVersionMax],
              xml.parms[kXmlBuildNumberMax]);
}

std::uint32_t findSetupXmlDisagreement(const SetupXml& xml,
                                       const unsigned char* header) {
  if (xml.status != SetupXmlStatus::Readable) return 0;
  using namespace SetupHeader;
  std::uint32_t found = 0;
  if (differs(xml.parms[kXmlProcessorType], ValueKind::Number,
              readLE32(header + kArchitecture)))
    found |= kXmlDisagreesOnArch;
  if (differs(xml.parms[kXmlOSVersionMin], ValueKind::Version,
              readLE32(header + kMinVersionMajor),
              readLE32(header + kMinVersionMinor)) ||
      differs(xml.parms[kXmlBuildNumberMin], ValueKind::Build,
              readLE32(header + kMinVersionBuild)))
    found |= kXmlDisagreesOnMinVersion;
  if (differs(xml.parms[kXmlOSVersionMax], ValueKind::Version,
              readLE32(header + kMaxVersionMajor),
              readLE32(header + kMaxVersionMinor)) ||
      differs(xml.parms[kXmlBuildNumberMax], ValueKind::Build,
              readLE32(header + kMaxVersionBuild)))
    found |= kXmlDisagreesOnMaxVersion;
  return found;
}

void showSetupXmlDisagreement(const SetupXml& xml,
                              const unsigned char* header) {
  const std::uint32_t found = findSetupXmlDisagreement(xml, header);
  if (found == 0) return;
  char line[kMessageTextLimit];
  Composer text = startText(line, sizeof line);
  append(text, "Warning: the setup XML and the setup file disagree on ");
  const char* separator = "";
  const struct {
    std::uint32_t bit;
    const char* name;
  } kNames[] = {{kXmlDisagreesOnArch, "architecture"},
                {kXmlDisagreesOnMinVersion, "version min"},
                {kXmlDisagreesOnMaxVersion, "version max"}};
  for (const auto& entry : kNames) {
    if ((found & entry.bit) == 0) continue;
    append(text, separator);
    append(text, entry.name);
    separator = ", ";
  }
  printLine(text);
}

std::size_t formatSetupXmlListField(const SetupXml* xml,
                                    SetupXmlListField field, char* buffer,
                                    std::size_t capacity) {
  Composer text = startText(buffer, capacity);
  if (xml == nullptr || xml->status != SetupXmlStatus::Readable)
    return text.used;
  const std::size_t unlimited = static_cast<std::size_t>(-1);
  if (field == SetupXmlListField::Arch) {
    const SetupXmlValue& arch = xml->parms[kXmlProcessorType];
    if (arch.present) appendParsed(text, arch, ValueKind::Number, unlimited);
    return text.used;
  }
  const bool min = field == SetupXmlListField::MinVersion;
  const SetupXmlValue& version =
      xml->parms[min ? kXmlOSVersionMin : kXmlOSVersionMax];
  const SetupXmlValue& build =
      xml->parms[min ? kXmlBuildNumberMin : kXmlBuildNumberMax];
  if (!version.present) return text.used;
  appendParsed(text, version, ValueKind::Version, unlimited);
  if (build.present) {
    append(text, ".");
    appendParsed(text, build, ValueKind::Build, unlimited);
  }
  return text.used;
}
