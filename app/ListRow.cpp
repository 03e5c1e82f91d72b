// ListRow.cpp - the record of one listed setup file and its two forms: the
// tab-separated row, whose control bytes are masked, and the JSON object,
// whose strings map each byte to the character of the same number
// (Latin-1) in escapes, so that any bytes in any code page come out the
// same, losslessly, on every platform.
#include "app/ListRow.h"

#include <cstring>

#include "header/ArchTable.h"
#include "header/Endian.h"
#include "header/SetupHeader.h"
#include "runtime/Runtime.h"
#include "text/Scan.h"  // writeDecimal

namespace {

// ---------------------------------------------------------------------------
// The record

// The text a header reference points at, as the display reads it; empty
// when it starts outside the bytes held.
ListText headerText(const unsigned char* file, std::uint32_t held,
                    std::uint32_t field) {
  const HeaderText text = readHeaderText(file, field);
  if (text.offset >= held) return ListText{file, 0};
  return ListText{file + text.offset, textLengthAt(file, held, text.offset)};
}

VersionTriple readVersion(const unsigned char* file, std::uint32_t major,
                          std::uint32_t minor, std::uint32_t build) {
  return VersionTriple{readLE32(file + major), readLE32(file + minor),
                       readLE32(file + build)};
}

// The next unsupported-platform name at *position: the names the display
// shows, walked the same way, without its cut at 126 characters. Each name
// runs to its NUL (or the end of the bytes held), and the walk ends before
// the block's closing NUL. Advances *position past the name and its NUL;
// false when the block is done.
bool nextPlatform(const ListRecord& record, std::uint32_t* position,
                  ListText* name) {
  if (*position + 1 >= record.platformsEnd) return false;
  const std::uint32_t length =
      textLengthAt(record.file, record.held, *position);
  // An empty name may start outside the bytes held: it points at none.
  *name = ListText{length != 0 ? record.file + *position : record.file,
                   length};
  *position += length + 1;
  return true;
}

// ---------------------------------------------------------------------------
// The line

// Makes room for more bytes, or marks the line full.
bool reserveLine(ListLine* line, std::size_t more) {
  if (line->full) return false;
  if (line->used + more <= line->room) return true;
  std::size_t room = line->room == 0 ? 1024 : line->room;
  while (room < line->used + more) room *= 2;
  char* text = static_cast<char*>(allocZeroed(room));
  if (text == nullptr) {
    line->full = true;
    return false;
  }
  if (line->used != 0) std::memcpy(text, line->text, line->used);
  freeBlock(line->text);
  line->text = text;
  line->room = room;
  return true;
}

// Appends text as it is: the tool's own bytes.
void appendRaw(ListLine* line, const char* text) {
  const std::size_t count = std::strlen(text);
  if (!reserveLine(line, count)) return;
  std::memcpy(line->text + line->used, text, count);
  line->used += count;
}

void appendNumber(ListLine* line, std::uint32_t value) {
  if (!reserveLine(line, 10)) return;
  line->used += writeDecimal(value, line->text + line->used);
}

// ---------------------------------------------------------------------------
// The tab-separated row

// Appends count bytes, each control byte as '?'.
void appendMasked(ListLine* line, const void* bytes, std::size_t count) {
  if (!reserveLine(line, count)) return;
  const auto* from = static_cast<const unsigned char*>(bytes);
  for (std::size_t i = 0; i < count; ++i) {
    const unsigned char byte = from[i];
    line->text[line->used++] =
        static_cast<char>(byte < 0x20 || byte == 0x7F ? '?' : byte);
  }
}

void appendMaskedText(ListLine* line, const char* text) {
  appendMasked(line, text, std::strlen(text));
}

void appendRowVersion(ListLine* line, const VersionTriple& version) {
  appendNumber(line, version.major);
  appendRaw(line, ".");
  appendNumber(line, version.minor);
  appendRaw(line, ".");
  appendNumber(line, version.build);
}

// ---------------------------------------------------------------------------
// The JSON object

// Appends count bytes as a JSON string: '"' and '\' escaped, the control
// bytes as \b, \t, \n, \f, \r or \u00XX, every byte from 0x7F up as \u00XX
// (the character of the same number), the rest as they are.
void appendJsonString(ListLine* line, const void* bytes, std::size_t count) {
  static const char kHex[] = "0123456789abcdef";
  // Six bytes is the longest a byte can take, and two for the quotes.
  if (count > (static_cast<std::size_t>(-1) - 2) / 6 ||
      !reserveLine(line, count * 6 + 2))
    return;
  char* to = line->text + line->used;
  *to++ = '"';
  const auto* from = static_cast<const unsigned char*>(bytes);
  for (std::size_t i = 0; i < count; ++i) {
    const unsigned char byte = from[i];
    const char* shortForm = nullptr;
    switch (byte) {
      case '"': shortForm = "\\\""; break;
      case '\\': shortForm = "\\\\"; break;
      case '\b': shortForm = "\\b"; break;
      case '\t': shortForm = "\\t"; break;
      case '\n': shortForm = "\\n"; break;
      case '\f': shortForm = "\\f"; break;
      case '\r': shortForm = "\\r"; break;
      default: break;
    }
    if (shortForm != nullptr) {
      *to++ = shortForm[0];
      *to++ = shortForm[1];
    } else if (byte < 0x20 || byte >= 0x7F) {
      *to++ = '\\';
      *to++ = 'u';
      *to++ = '0';
      *to++ = '0';
      *to++ = kHex[byte >> 4];
      *to++ = kHex[byte & 0xF];
    } else {
      *to++ = static_cast<char>(byte);
    }
  }
  *to++ = '"';
  line->used = static_cast<std::size_t>(to - line->text);
}

void appendJsonText(ListLine* line, const char* text) {
  appendJsonString(line, text, std::strlen(text));
}

// A member's name with its ": " behind: the fixed spacing of every object.
void appendJsonName(ListLine* line, const char* name) {
  appendJsonText(line, name);
  appendRaw(line, ": ");
}

// Appends UTF-8 text (valid, as the XML parser gives it) as a JSON string
// of its characters: ASCII as appendJsonString writes it, every other
// character as \uXXXX (two of them, a surrogate pair, above U+FFFF).
void appendJsonUtf8(ListLine* line, const unsigned char* bytes,
                    std::size_t count) {
  static const char kHex[] = "0123456789abcdef";
  appendRaw(line, "\"");
  for (std::size_t i = 0; i < count;) {
    const unsigned char lead = bytes[i];
    if (lead < 0x80) {
      // One byte: escaped as appendJsonString does, without its quotes.
      const std::size_t start = line->used;
      appendJsonString(line, bytes + i, 1);
      if (line->full) return;
      std::memmove(line->text + start, line->text + start + 1,
                   line->used - start - 2);
      line->used -= 2;
      ++i;
      continue;
    }
    const std::size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
    std::uint32_t code = lead & (0x3F >> (length - 1));
    for (std::size_t k = 1; k < length && i + k < count; ++k)
      code = (code << 6) | (bytes[i + k] & 0x3F);
    i += length;
    std::uint32_t units[2] = {code, 0};
    std::size_t unitCount = 1;
    if (code > 0xFFFF) {
      code -= 0x10000;
      units[0] = 0xD800 + (code >> 10);
      units[1] = 0xDC00 + (code & 0x3FF);
      unitCount = 2;
    }
    for (std::size_t u = 0; u < unitCount; ++u) {
      if (!reserveLine(line, 6)) return;
      char* to = line->text + line->used;
      to[0] = '\\';
      to[1] = 'u';
      for (int d = 0; d < 4; ++d)
        to[2 + d] = kHex[(units[u] >> (12 - 4 * d)) & 0xF];
      line->used += 6;
    }
  }
  appendRaw(line, "\"");
}

// {"major": N, "minor": N, "build": N}; the build null without one.
void appendJsonVersion(ListLine* line, const VersionTriple& version,
                       bool hasBuild = true) {
  appendRaw(line, "{\"major\": ");
  appendNumber(line, version.major);
  appendRaw(line, ", \"minor\": ");
  appendNumber(line, version.minor);
  appendRaw(line, ", \"build\": ");
  if (hasBuild) {
    appendNumber(line, version.build);
  } else {
    appendRaw(line, "null");
  }
  appendRaw(line, "}");
}

// {"arch": N|null, "min": {...}|null, "max": {...}|null}, or null.
void appendJsonXml(ListLine* line, const ListXml* xml) {
  if (xml == nullptr) {
    appendRaw(line, "null");
    return;
  }
  appendRaw(line, "{\"arch\": ");
  if (xml->hasArch) {
    appendNumber(line, xml->arch);
  } else {
    appendRaw(line, "null");
  }
  appendRaw(line, ", \"min\": ");
  if (xml->hasMin) {
    appendJsonVersion(line, xml->min, xml->hasMinBuild);
  } else {
    appendRaw(line, "null");
  }
  appendRaw(line, ", \"max\": ");
  if (xml->hasMax) {
    appendJsonVersion(line, xml->max, xml->hasMaxBuild);
  } else {
    appendRaw(line, "null");
  }
  appendRaw(line, "}");
}

}  // namespace

ListRecord makeListRecord(const char* path, const unsigned char* file,
                          std::uint32_t held, const char* member,
                          bool isSigned, const ProgramFamilies* programs) {
  ListRecord record = {};
  record.path = path;
  record.member = member;
  record.arch = readLE32(file + SetupHeader::kArchitecture);
  record.min = readVersion(file, SetupHeader::kMinVersionMajor,
                           SetupHeader::kMinVersionMinor,
                           SetupHeader::kMinVersionBuild);
  record.max = readVersion(file, SetupHeader::kMaxVersionMajor,
                           SetupHeader::kMaxVersionMinor,
                           SetupHeader::kMaxVersionBuild);
  record.file = file;
  record.held = held;
  const HeaderText platforms =
      readHeaderText(file, SetupHeader::kPlatformsText);
  record.platformsStart = platforms.offset;
  record.platformsEnd = std::uint32_t{platforms.offset} + platforms.length;
  record.isSigned = member != nullptr && isSigned;
  record.programs = member != nullptr ? programs : nullptr;
  record.app = headerText(file, held, SetupHeader::kAppNameText);
  record.provider = headerText(file, held, SetupHeader::kProviderText);
  record.hasSetup = true;
  record.xml = nullptr;
  return record;
}

ListRecord makeSetupXmlRecord(const char* path, const char* member,
                              bool isSigned, const ProgramFamilies* programs,
                              const SetupXml& xml, const ListXml* part) {
  ListRecord record = {};
  record.path = path;
  record.member = member;
  record.hasSetup = false;
  record.isSigned = isSigned;
  record.programs = programs;
  const SetupXmlValue& app = xml.parms[kXmlAppName];
  if (xml.status == SetupXmlStatus::Readable && app.present)
    record.app = ListText{reinterpret_cast<const unsigned char*>(app.text),
                          app.length};
  record.xml = part;
  return record;
}

ListXml makeListXml(const SetupXml& xml) {
  ListXml part = {};
  formatSetupXmlListField(&xml, SetupXmlListField::Arch, part.archField,
                          sizeof part.archField);
  formatSetupXmlListField(&xml, SetupXmlListField::MinVersion, part.minField,
                          sizeof part.minField);
  formatSetupXmlListField(&xml, SetupXmlListField::MaxVersion, part.maxField,
                          sizeof part.maxField);
  if (xml.status != SetupXmlStatus::Readable) return part;
  const SetupXmlValue* parms = xml.parms;
  const auto number = [&parms](SetupXmlParm parm, std::uint32_t* value) {
    return parms[parm].present &&
           parseXmlNumber(parms[parm].text, parms[parm].length, value);
  };
  const auto version = [&parms](SetupXmlParm parm, VersionTriple* value) {
    return parms[parm].present &&
           parseXmlVersion(parms[parm].text, parms[parm].length,
                           &value->major, &value->minor);
  };
  const auto build = [&parms](SetupXmlParm parm, VersionTriple* value) {
    return parms[parm].present &&
           parseXmlBuild(parms[parm].text, parms[parm].length, &value->build);
  };
  part.hasArch = number(kXmlProcessorType, &part.arch);
  part.hasMin = version(kXmlOSVersionMin, &part.min);
  part.hasMinBuild = part.hasMin && build(kXmlBuildNumberMin, &part.min);
  part.hasMax = version(kXmlOSVersionMax, &part.max);
  part.hasMaxBuild = part.hasMax && build(kXmlBuildNumberMax, &part.max);
  return part;
}

void clearListLine(ListLine* line) {
  line->used = 0;
  line->full = false;
}

void freeListLine(ListLine* line) {
  freeBlock(line->text);
  *line = ListLine{nullptr, 0, 0, false};
}

void appendListRow(ListLine* line, const ListRecord& record) {
  appendMaskedText(line, record.path);
  appendRaw(line, "\t");
  if (record.member != nullptr) appendMaskedText(line, record.member);
  appendRaw(line, "\t");
  if (record.hasSetup) {
    appendNumber(line, record.arch);
    appendRaw(line, "\t");
    appendMaskedText(line, lookupArchName(record.arch, ""));
    appendRaw(line, "\t");
    appendRowVersion(line, record.min);
    appendRaw(line, "\t");
    appendRowVersion(line, record.max);
  } else {
    appendRaw(line, "\t\t\t");
  }
  appendRaw(line, "\t");
  std::uint32_t position = record.platformsStart;
  ListText name;
  for (bool first = true; nextPlatform(record, &position, &name);
       first = false) {
    if (!first) appendRaw(line, ",");
    appendMasked(line, name.bytes, name.length);
  }
  appendRaw(line, "\t");
  if (record.member != nullptr) appendRaw(line, record.isSigned ? "yes" : "no");
  appendRaw(line, "\t");
  if (record.programs != nullptr && record.programs->count != 0) {
    char families[kFamilyListSize];
    appendMaskedText(line,
                     formatProgramFamilies(*record.programs, ",", families));
  }
  appendRaw(line, "\t");
  appendMasked(line, record.app.bytes, record.app.length);
  appendRaw(line, "\t");
  appendMasked(line, record.provider.bytes, record.provider.length);
  const ListXml* xml = record.xml;
  appendRaw(line, "\t");
  if (xml != nullptr) appendMaskedText(line, xml->archField);
  appendRaw(line, "\t");
  if (xml != nullptr) appendMaskedText(line, xml->minField);
  appendRaw(line, "\t");
  if (xml != nullptr) appendMaskedText(line, xml->maxField);
  appendRaw(line, "\r\n");
}

void appendListObject(ListLine* line, const ListRecord& record) {
  appendRaw(line, "{");
  appendJsonName(line, "path");
  appendJsonText(line, record.path);
  appendRaw(line, ", ");
  appendJsonName(line, "member");
  if (record.member != nullptr) {
    appendJsonText(line, record.member);
  } else {
    appendRaw(line, "null");
  }
  appendRaw(line, ", ");
  appendJsonName(line, "arch");
  const char* archName =
      record.hasSetup ? lookupArchName(record.arch, nullptr) : nullptr;
  if (record.hasSetup) {
    appendNumber(line, record.arch);
  } else {
    appendRaw(line, "null");
  }
  appendRaw(line, ", ");
  appendJsonName(line, "archName");
  if (archName != nullptr) {
    appendJsonText(line, archName);
  } else {
    appendRaw(line, "null");
  }
  appendRaw(line, ", ");
  appendJsonName(line, "min");
  if (record.hasSetup) {
    appendJsonVersion(line, record.min);
  } else {
    appendRaw(line, "null");
  }
  appendRaw(line, ", ");
  appendJsonName(line, "max");
  if (record.hasSetup) {
    appendJsonVersion(line, record.max);
  } else {
    appendRaw(line, "null");
  }
  appendRaw(line, ", ");
  appendJsonName(line, "platforms");
  appendRaw(line, "[");
  std::uint32_t position = record.platformsStart;
  ListText platform;
  for (bool first = true; nextPlatform(record, &position, &platform);
       first = false) {
    if (!first) appendRaw(line, ", ");
    appendJsonString(line, platform.bytes, platform.length);
  }
  appendRaw(line, "], ");
  appendJsonName(line, "signed");
  if (record.member != nullptr) {
    appendRaw(line, record.isSigned ? "true" : "false");
  } else {
    appendRaw(line, "null");
  }
  appendRaw(line, ", ");
  appendJsonName(line, "programs");
  appendRaw(line, "[");
  const std::uint32_t families =
      record.programs != nullptr ? record.programs->count : 0;
  for (std::uint32_t i = 0; i < families; ++i) {
    char name[kFamilyNameSize];
    if (i != 0) appendRaw(line, ", ");
    appendJsonText(line, familyName(record.programs->families[i], name));
  }
  appendRaw(line, "], ");
  appendJsonName(line, "app");
  if (record.hasSetup) {
    appendJsonString(line, record.app.bytes, record.app.length);
  } else {
    appendJsonUtf8(line, record.app.bytes, record.app.length);
  }
  appendRaw(line, ", ");
  appendJsonName(line, "provider");
  if (record.hasSetup) {
    appendJsonString(line, record.provider.bytes, record.provider.length);
  } else {
    appendRaw(line, "null");
  }
  appendRaw(line, ", ");
  appendJsonName(line, "xml");
  appendJsonXml(line, record.xml);
  appendRaw(line, "}\r\n");
}

void appendListError(ListLine* line, const char* path, const char* message,
                     std::uint32_t exitCode) {
  appendRaw(line, "{");
  appendJsonName(line, "path");
  appendJsonText(line, path);
  appendRaw(line, ", ");
  appendJsonName(line, "error");
  appendJsonText(line, message);
  appendRaw(line, ", ");
  appendJsonName(line, "exit");
  appendNumber(line, exitCode);
  appendRaw(line, "}\r\n");
}
