// SetupXml.cpp - the setup XML's install checks read with expat, and the
// change that replaces their raw value bytes.
//
// expat parses the whole document in one call and reports each element
// with its decoded attributes; where a parm's value lies in the document
// comes from the raw start tag, which expat points at
// (XML_GetCurrentByteIndex, XML_GetCurrentByteCount) and has checked for
// well-formedness by then. The few things expat accepts and the reader does
// not (another encoding, a DOCTYPE, another root) are caught in expat's own
// callbacks, which stop the parser at once.
#include "header/SetupXml.h"

#include <cstddef>  // std::max_align_t
#include <cstring>

#include <expat.h>  // the XML parser

#include "runtime/Runtime.h"
#include "text/Scan.h"  // writeDecimal

namespace {

constexpr const char* kParmNames[kSetupXmlParmCount] = {
    "AppName",      "ProcessorType",  "OSVersionMin",
    "OSVersionMax", "BuildNumberMin", "BuildNumberMax"};

constexpr char kRootName[] = "wap-provisioningdoc";
constexpr char kInstallType[] = "Install";

// ---------------------------------------------------------------------------
// expat's memory: blocks from allocZeroed, each with its size in front so
// that a reallocation knows how much to copy.

constexpr std::size_t kBlockHeader = alignof(std::max_align_t) > sizeof(std::size_t)
                                         ? alignof(std::max_align_t)
                                         : sizeof(std::size_t);

void* xmlMalloc(std::size_t size) {
  if (size > static_cast<std::size_t>(-1) - kBlockHeader) return nullptr;
  auto* block = static_cast<unsigned char*>(allocZeroed(size + kBlockHeader));
  if (block == nullptr) return nullptr;
  std::memcpy(block, &size, sizeof size);
  return block + kBlockHeader;
}

void xmlFree(void* pointer) {
  if (pointer != nullptr)
    freeBlock(static_cast<unsigned char*>(pointer) - kBlockHeader);
}

// realloc's contract: on failure the old block stays as it was.
void* xmlRealloc(void* pointer, std::size_t size) {
  if (pointer == nullptr) return xmlMalloc(size);
  std::size_t oldSize;
  std::memcpy(&oldSize, static_cast<unsigned char*>(pointer) - kBlockHeader,
              sizeof oldSize);
  void* moved = xmlMalloc(size);
  if (moved == nullptr) return nullptr;
  std::memcpy(moved, pointer, oldSize < size ? oldSize : size);
  xmlFree(pointer);
  return moved;
}

const XML_Memory_Handling_Suite kMemory = {xmlMalloc, xmlRealloc, xmlFree};

// ---------------------------------------------------------------------------
// Problem texts

// Stores "line N: what" (or just what when line is 0) in problem
// (kSetupXmlProblemSize bytes), cut to fit.
void storeProblem(char* problem, std::uint32_t line, const char* what,
                  const char* name = nullptr, const char* tail = nullptr) {
  std::size_t used = 0;
  const auto append = [&](const char* text) {
    while (*text != '\0' && used + 1 < kSetupXmlProblemSize)
      problem[used++] = *text++;
  };
  if (line != 0) {
    char number[11];
    number[writeDecimal(line, number)] = '\0';
    append("line ");
    append(number);
    append(": ");
  }
  append(what);
  if (name != nullptr) append(name);
  if (tail != nullptr) append(tail);
  problem[used] = '\0';
}

// expat's line number, capped to 32 bits.
std::uint32_t currentLine(XML_Parser parser) {
  const XML_Size line = XML_GetCurrentLineNumber(parser);
  return line > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<std::uint32_t>(line);
}

bool equalIgnoringAsciiCase(const char* a, const char* b) {
  for (;; ++a, ++b) {
    char x = *a, y = *b;
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
    if (x == '\0') return true;
  }
}

// The decoded value of the attribute called name, or null.
const char* findAttribute(const XML_Char** attributes, const char* name) {
  for (std::size_t i = 0; attributes[i] != nullptr; i += 2) {
    if (std::strcmp(attributes[i], name) == 0) return attributes[i + 1];
  }
  return nullptr;
}

bool isXmlSpace(unsigned char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// Finds the raw text of the value attribute inside the start tag
// [tagStart, tagEnd) of document, which expat found well-formed:
// '<' Name (S Name S? '=' S? quoted-value)* S? '/'? '>'. Stores the bytes
// between its quotes; false when the tag does not read that way.
bool findRawValue(const unsigned char* document, std::uint32_t tagStart,
                  std::uint32_t tagEnd, std::uint32_t* start,
                  std::uint32_t* end) {
  if (tagEnd - tagStart < 2 || document[tagStart] != '<') return false;
  std::uint32_t at = tagStart + 1;
  // The element's name.
  while (at < tagEnd && !isXmlSpace(document[at]) && document[at] != '/' &&
         document[at] != '>')
    ++at;
  for (;;) {
    while (at < tagEnd && isXmlSpace(document[at])) ++at;
    if (at >= tagEnd || document[at] == '/' || document[at] == '>')
      return false;
    // An attribute: its name, '=', its quoted value.
    const std::uint32_t nameStart = at;
    while (at < tagEnd && !isXmlSpace(document[at]) && document[at] != '=') ++at;
    const std::uint32_t nameEnd = at;
    while (at < tagEnd && isXmlSpace(document[at])) ++at;
    if (at >= tagEnd || document[at] != '=') return false;
    ++at;
    while (at < tagEnd && isXmlSpace(document[at])) ++at;
    if (at >= tagEnd || (document[at] != '"' && document[at] != '\''))
      return false;
    const unsigned char quote = document[at++];
    const std::uint32_t valueStart = at;
    while (at < tagEnd && document[at] != quote) ++at;
    if (at >= tagEnd) return false;
    if (nameEnd - nameStart == 5 &&
        std::memcmp(document + nameStart, "value", 5) == 0) {
      *start = valueStart;
      *end = at;
      return true;
    }
    ++at;  // past the closing quote
  }
}

// ---------------------------------------------------------------------------
// The parse

struct ReadState {
  XML_Parser parser;
  const unsigned char* document;
  std::uint32_t size;
  SetupXml* xml;
  std::uint32_t depth;  // elements open around the current event
  // Where the parse is against the first first-level Install
  // characteristic: its children are the parms read.
  enum class Install { Before, Inside, After } install;
  bool seen[kSetupXmlParmCount];  // a parm of that name was met
  bool stopped;                // a problem of the reader's own stopped expat
  bool noMemory;
};

// Stops expat with an unreadable document's problem.
void refuse(ReadState* state, const char* what) {
  if (state->stopped) return;
  storeProblem(state->xml->problem, currentLine(state->parser), what);
  state->stopped = true;
  XML_StopParser(state->parser, XML_FALSE);
}

// A parm child of the first Install characteristic.
void readParm(ReadState* state, const XML_Char** attributes) {
  const char* name = findAttribute(attributes, "name");
  if (name == nullptr) return;
  const std::uint32_t line = currentLine(state->parser);
  for (std::uint32_t i = 0; i < kSetupXmlParmCount; ++i) {
    SetupXmlValue& parm = state->xml->parms[i];
    if (std::strcmp(name, kParmNames[i]) != 0) {
      if (parm.problem[0] == '\0' && equalIgnoringAsciiCase(name, kParmNames[i]))
        storeProblem(parm.problem, line, "parm name differs from ",
                     kParmNames[i], " only in case");
      continue;
    }
    if (state->seen[i]) {
      if (parm.problem[0] == '\0')
        storeProblem(parm.problem, line, "second ", kParmNames[i], " parm");
      return;
    }
    state->seen[i] = true;
    parm.line = line;
    const char* value = findAttribute(attributes, "value");
    if (value == nullptr) {
      if (parm.problem[0] == '\0')
        storeProblem(parm.problem, line, "", kParmNames[i],
                     " parm without a value");
      return;
    }
    // Where the value's raw bytes are: inside the start tag expat reports.
    const XML_Index index = XML_GetCurrentByteIndex(state->parser);
    const int count = XML_GetCurrentByteCount(state->parser);
    if (index < 0 || count <= 0 ||
        static_cast<unsigned long long>(index) + static_cast<unsigned>(count) >
            state->size ||
        !findRawValue(state->document, static_cast<std::uint32_t>(index),
                      static_cast<std::uint32_t>(index) +
                          static_cast<std::uint32_t>(count),
                      &parm.valueStart, &parm.valueEnd)) {
      // Cannot happen for a tag expat accepted; refused rather than guessed.
      refuse(state, "start tag not understood");
      return;
    }
    const std::size_t length = std::strlen(value);
    parm.text = static_cast<char*>(allocZeroed(length + 1));
    if (parm.text == nullptr) {
      state->noMemory = true;
      XML_StopParser(state->parser, XML_FALSE);
      return;
    }
    std::memcpy(parm.text, value, length);
    parm.length = static_cast<std::uint32_t>(length);
    parm.present = true;
    return;
  }
}

void XMLCALL onStartElement(void* data, const XML_Char* name,
                            const XML_Char** attributes) {
  auto* state = static_cast<ReadState*>(data);
  if (state->stopped || state->noMemory) return;
  SetupXml* xml = state->xml;
  if (state->depth == 0) {
    if (std::strcmp(name, kRootName) != 0) {
      refuse(state, "root element is not wap-provisioningdoc");
      return;
    }
  } else if (state->depth == 1 && std::strcmp(name, "characteristic") == 0) {
    const char* type = findAttribute(attributes, "type");
    if (type != nullptr && std::strcmp(type, kInstallType) == 0) {
      if (!xml->hasInstall) {
        xml->hasInstall = true;
        state->install = ReadState::Install::Inside;
      } else if (xml->problem[0] == '\0') {
        storeProblem(xml->problem, currentLine(state->parser),
                     "second Install characteristic");
      }
    } else if (type != nullptr && xml->problem[0] == '\0' &&
               equalIgnoringAsciiCase(type, kInstallType)) {
      storeProblem(xml->problem, currentLine(state->parser),
                   "characteristic type differs from Install only in case");
    }
  } else if (state->depth == 2 && state->install == ReadState::Install::Inside &&
             std::strcmp(name, "parm") == 0) {
    readParm(state, attributes);
  }
  ++state->depth;
}

void XMLCALL onEndElement(void* data, const XML_Char*) {
  auto* state = static_cast<ReadState*>(data);
  if (state->depth == 0) return;
  --state->depth;
  // The first Install characteristic ends: later parms are not its own.
  if (state->depth == 1 && state->install == ReadState::Install::Inside)
    state->install = ReadState::Install::After;
}

// "1." followed by digits: XML 1.0's VersionNum.
bool isVersion1(const XML_Char* version) {
  if (version[0] != '1' || version[1] != '.' || version[2] == '\0')
    return false;
  for (const XML_Char* c = version + 2; *c != '\0'; ++c) {
    if (*c < '0' || *c > '9') return false;
  }
  return true;
}

void XMLCALL onXmlDeclaration(void* data, const XML_Char* version,
                              const XML_Char* encoding, int) {
  auto* state = static_cast<ReadState*>(data);
  if (encoding != nullptr && !equalIgnoringAsciiCase(encoding, "UTF-8")) {
    refuse(state, "encoding other than UTF-8");
  } else if (version != nullptr && !isVersion1(version)) {
    refuse(state, "unsupported XML version");
  }
}

void XMLCALL onDoctype(void* data, const XML_Char*, const XML_Char*,
                       const XML_Char*, int) {
  refuse(static_cast<ReadState*>(data),
         "document type declaration not allowed");
}

// Parses the document with expat; fills xml's parms and problem.
void parseDocument(const unsigned char* document, std::uint32_t size,
                   SetupXml* xml) {
  // Parsed as UTF-8 whatever its declaration says; one that names another
  // encoding is refused in onXmlDeclaration.
  XML_Parser parser = XML_ParserCreate_MM("UTF-8", &kMemory, nullptr);
  if (parser == nullptr) {
    xml->status = SetupXmlStatus::NoMemory;
    return;
  }
  ReadState state{};
  state.parser = parser;
  state.document = document;
  state.size = size;
  state.xml = xml;
  XML_SetUserData(parser, &state);
  XML_SetElementHandler(parser, onStartElement, onEndElement);
  XML_SetXmlDeclHandler(parser, onXmlDeclaration);
  XML_SetStartDoctypeDeclHandler(parser, onDoctype);

  // XML_Parse takes an int length; the size limit keeps well below it.
  const XML_Status result =
      XML_Parse(parser, reinterpret_cast<const char*>(document),
                static_cast<int>(size), XML_TRUE);
  const XML_Error error = XML_GetErrorCode(parser);
  if (state.noMemory || (!state.stopped && error == XML_ERROR_NO_MEMORY)) {
    xml->status = SetupXmlStatus::NoMemory;
  } else if (state.stopped) {
    xml->status = SetupXmlStatus::Unreadable;
  } else if (result != XML_STATUS_OK) {
    const XML_LChar* text = XML_ErrorString(error);
    storeProblem(xml->problem, currentLine(parser),
                 text != nullptr ? text : "not well-formed");
    xml->status = SetupXmlStatus::Unreadable;
  } else {
    xml->status = SetupXmlStatus::Readable;
  }
  XML_ParserFree(parser);
}

// ---------------------------------------------------------------------------
// Numbers

// Reads decimal digits at *at (before end), advancing *at past them. False
// without a digit or when the number passes 0xFFFFFFFF.
bool readDecimal(const char** at, const char* end, std::uint32_t* value) {
  const char* p = *at;
  std::uint32_t result = 0;
  while (p < end && *p >= '0' && *p <= '9') {
    const auto digit = static_cast<std::uint32_t>(*p - '0');
    if (result > (0xFFFFFFFFu - digit) / 10) return false;
    result = result * 10 + digit;
    ++p;
  }
  if (p == *at) return false;
  *at = p;
  *value = result;
  return true;
}

// Writes value in decimal at text; returns the number of characters.
std::uint32_t writeNumber(char* text, std::uint32_t value) {
  return static_cast<std::uint32_t>(writeDecimal(value, text));
}

// ---------------------------------------------------------------------------
// The change

// Adds the replacement of parm's value by text (length characters) to the
// plan, unless it is absent or already reads as the new value.
void planValue(const SetupXmlValue& parm, bool unchanged, const char* text,
               std::uint32_t length, SetupXmlEditPlan* plan) {
  if (!parm.present || unchanged) return;
  SetupXmlEdit& edit = plan->edits[plan->count++];
  edit.start = parm.valueStart;
  edit.end = parm.valueEnd;
  edit.length = length;
  std::memcpy(edit.text, text, length);
  edit.text[length] = '\0';
}

void planNumber(const SetupXmlValue& parm, std::uint32_t value,
                SetupXmlEditPlan* plan) {
  std::uint32_t old = 0;
  const bool same = parm.present && parseXmlNumber(parm.text, parm.length, &old) &&
                    old == value;
  char text[kSetupXmlEditTextSize];
  planValue(parm, same, text, writeNumber(text, value), plan);
}

void planVersion(const SetupXmlValue& parm, const VersionTriple& version,
                 SetupXmlEditPlan* plan) {
  std::uint32_t major = 0, minor = 0;
  const bool same = parm.present &&
                    parseXmlVersion(parm.text, parm.length, &major, &minor) &&
                    major == version.major && minor == version.minor;
  char text[kSetupXmlEditTextSize];
  std::uint32_t length = writeNumber(text, version.major);
  text[length++] = '.';
  length += writeNumber(text + length, version.minor);
  planValue(parm, same, text, length, plan);
}

void planBuild(const SetupXmlValue& parm, std::uint32_t build,
               SetupXmlEditPlan* plan) {
  std::uint32_t old = 0;
  const bool same = parm.present && parseXmlBuild(parm.text, parm.length, &old) &&
                    old == build;
  char text[kSetupXmlEditTextSize];
  std::uint32_t length = 0;
  if (build >= 0x80000000u) {
    // Builders write the high builds signed: 0xE0000000 is -536870912.
    text[length++] = '-';
    length += writeNumber(text + length, 0u - build);
  } else {
    length = writeNumber(text, build);
  }
  planValue(parm, same, text, length, plan);
}

// The offset of the first byte where the planned document differs from
// the old one, or newSize when none does. Within an edit, the old raw bytes
// and the new text agree up to some point; where one of them ends first,
// the other document has its closing quote there, which no value holds.
std::uint32_t firstDifference(const unsigned char* document,
                              const SetupXmlEditPlan& plan,
                              std::uint32_t newSize) {
  for (std::uint32_t i = 0; i < plan.count; ++i) {
    const SetupXmlEdit& edit = plan.edits[i];
    const std::uint32_t oldLength = edit.end - edit.start;
    const std::uint32_t common = oldLength < edit.length ? oldLength : edit.length;
    for (std::uint32_t k = 0; k < common; ++k) {
      if (document[edit.start + k] != static_cast<unsigned char>(edit.text[k]))
        return edit.start + k;
    }
    if (oldLength != edit.length) return edit.start + common;
  }
  return newSize;
}

}  // namespace

const char* setupXmlParmName(SetupXmlParm parm) {
  return parm < kSetupXmlParmCount ? kParmNames[parm] : "";
}

void readSetupXml(const unsigned char* document, std::uint32_t size,
                  SetupXml* xml) {
  *xml = SetupXml{};
  if (size > kSetupXmlSizeLimit) {
    storeProblem(xml->problem, 0, "larger than 1 MiB");
    xml->status = SetupXmlStatus::Unreadable;
    return;
  }
  // expat takes a UTF-16 byte-order mark, or a NUL in the first two bytes,
  // as UTF-16 even when told UTF-8.
  if (size >= 2 && (document[0] == 0 || document[1] == 0 ||
                    (document[0] == 0xFE && document[1] == 0xFF) ||
                    (document[0] == 0xFF && document[1] == 0xFE))) {
    storeProblem(xml->problem, 1, "encoding other than UTF-8");
    xml->status = SetupXmlStatus::Unreadable;
    return;
  }
  parseDocument(document, size, xml);
  if (xml->status != SetupXmlStatus::Readable) {
    // Nothing of a document that cannot be read is kept but its problem.
    char problem[kSetupXmlProblemSize];
    std::memcpy(problem, xml->problem, sizeof problem);
    const SetupXmlStatus status = xml->status;
    releaseSetupXml(xml);
    *xml = SetupXml{};
    xml->status = status;
    if (status == SetupXmlStatus::Unreadable)
      std::memcpy(xml->problem, problem, sizeof problem);
  }
}

void releaseSetupXml(SetupXml* xml) {
  for (SetupXmlValue& parm : xml->parms) {
    freeBlock(parm.text);
    parm.text = nullptr;
    parm.length = 0;
    parm.present = false;
  }
}

bool parseXmlNumber(const char* text, std::uint32_t length,
                    std::uint32_t* value) {
  const char* at = text;
  const char* end = text + length;
  return readDecimal(&at, end, value) && at == end;
}

bool parseXmlVersion(const char* text, std::uint32_t length,
                     std::uint32_t* major, std::uint32_t* minor) {
  const char* at = text;
  const char* end = text + length;
  if (!readDecimal(&at, end, major) || at == end || *at != '.') return false;
  ++at;
  return readDecimal(&at, end, minor) && at == end;
}

bool parseXmlBuild(const char* text, std::uint32_t length,
                   std::uint32_t* value) {
  const char* at = text;
  const char* end = text + length;
  const bool negative = at < end && *at == '-';
  if (negative) ++at;
  std::uint32_t magnitude = 0;
  if (!readDecimal(&at, end, &magnitude) || at != end) return false;
  if (!negative) {
    *value = magnitude;
    return true;
  }
  // Down to -2147483648, stored as its two's complement.
  if (magnitude > 0x80000000u) return false;
  *value = 0u - magnitude;
  return true;
}

bool planSetupXmlEdit(const unsigned char* document, std::uint32_t size,
                      const SetupXml& xml, const ChangeRequest& request,
                      SetupXmlEditPlan* plan, const char** problem) {
  *plan = SetupXmlEditPlan{};
  plan->newSize = size;
  plan->firstChange = size;
  *problem = nullptr;
  if (xml.status != SetupXmlStatus::Readable) {
    *problem = xml.status == SetupXmlStatus::NoMemory ? "not enough memory"
                                                      : xml.problem;
    return false;
  }
  const bool any = request.archGiven || request.minVersionGiven ||
                   request.maxVersionGiven;
  if (any && xml.problem[0] != '\0') {
    *problem = xml.problem;
    return false;
  }
  // The parms the request touches, each refused when it has a problem.
  const SetupXmlParm touched[] = {kXmlProcessorType, kXmlOSVersionMin,
                                  kXmlBuildNumberMin, kXmlOSVersionMax,
                                  kXmlBuildNumberMax};
  const bool given[] = {request.archGiven, request.minVersionGiven,
                        request.minVersionGiven, request.maxVersionGiven,
                        request.maxVersionGiven};
  for (std::size_t i = 0; i < sizeof touched / sizeof touched[0]; ++i) {
    if (given[i] && xml.parms[touched[i]].problem[0] != '\0') {
      *problem = xml.parms[touched[i]].problem;
      return false;
    }
  }

  if (request.archGiven)
    planNumber(xml.parms[kXmlProcessorType], request.arch, plan);
  if (request.minVersionGiven) {
    planVersion(xml.parms[kXmlOSVersionMin], request.minVersion, plan);
    planBuild(xml.parms[kXmlBuildNumberMin], request.minVersion.build, plan);
  }
  if (request.maxVersionGiven) {
    planVersion(xml.parms[kXmlOSVersionMax], request.maxVersion, plan);
    planBuild(xml.parms[kXmlBuildNumberMax], request.maxVersion.build, plan);
  }

  // Document order (distinct attributes never overlap), then the new size
  // and the first byte that differs.
  for (std::uint32_t i = 1; i < plan->count; ++i) {
    for (std::uint32_t j = i; j > 0 && plan->edits[j].start < plan->edits[j - 1].start;
         --j) {
      const SetupXmlEdit swap = plan->edits[j];
      plan->edits[j] = plan->edits[j - 1];
      plan->edits[j - 1] = swap;
    }
  }
  std::uint32_t newSize = size;
  for (std::uint32_t i = 0; i < plan->count; ++i)
    newSize = newSize - (plan->edits[i].end - plan->edits[i].start) +
              plan->edits[i].length;
  plan->newSize = newSize;
  plan->firstChange = firstDifference(document, *plan, newSize);
  return true;
}

void writeSetupXmlEdit(const unsigned char* document, std::uint32_t size,
                       const SetupXmlEditPlan& plan, std::uint32_t from,
                       std::uint32_t count, unsigned char* out) {
  const std::uint64_t to = std::uint64_t{from} + count;
  std::uint64_t position = 0;  // in the new document
  // Copies the part of a segment (length bytes at bytes, starting at
  // position in the new document) that falls inside [from, to).
  const auto emit = [&](const unsigned char* bytes, std::uint32_t length) {
    const std::uint64_t start = position > from ? position : from;
    const std::uint64_t end = position + length < to ? position + length : to;
    if (start < end)
      std::memcpy(out + (start - from), bytes + (start - position),
                  static_cast<std::size_t>(end - start));
    position += length;
  };
  std::uint32_t old = 0;  // in the old document
  for (std::uint32_t i = 0; i < plan.count && position < to; ++i) {
    const SetupXmlEdit& edit = plan.edits[i];
    emit(document + old, edit.start - old);
    emit(reinterpret_cast<const unsigned char*>(edit.text), edit.length);
    old = edit.end;
  }
  if (position < to) emit(document + old, size - old);
}
