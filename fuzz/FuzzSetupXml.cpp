// FuzzSetupXml.cpp - fuzz target: arbitrary bytes as a setup XML document
// through the reader, the change and the report lines, checked against
// libexpat used directly as an independent reference.
//
// Input: a control byte (bits 0 to 2: architecture, minimal, maximal
// version asked for; bits 3 to 5: for each, take the value the document
// already holds when it reads as one, so that changes that change nothing
// are tried), seven LE32 values (architecture, minimal and maximal version
// as major, minor, build), the document. Checked on every input:
// - whatever the reader reads, the reference finds well-formed, with the
//   root wap-provisioningdoc, no DOCTYPE, no declared encoding but UTF-8,
//   and the same parms: presence, decoded value, line; and the same reasons
//   not to replace a value (a second Install characteristic or parm, a parm
//   without a value, a name differing only in case);
// - whatever the reference finds well-formed and fit (the root, no DOCTYPE,
//   UTF-8 without a NUL or a UTF-16 byte-order mark up front, version 1.x),
//   the reader reads;
// - whatever the reference rejects, the reader refuses and so does the
//   change planner;
// - a planned change rewrites exactly the value bytes of the parms the
//   request touches and does not already hold: the new document parses in
//   the reference with the new values there and the old ones elsewhere,
//   equals the original outside the edited ranges, has the planned size and
//   first changed byte, comes out the same written in pieces, and planning
//   the same change on it changes nothing; a refusal happens exactly when a
//   touched parm (or the document) has a reason;
// - the display prints one line for a document it cannot read and five
//   otherwise, the list fields fit their room, and no block is left.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include <expat.h>

#include "fuzz/FuzzPlatform.h"
#include "header/SetupXml.h"
#include "header/SetupXmlReport.h"
#include "runtime/Console.h"

using fuzzplatform::check;

namespace {

constexpr std::size_t kControlSize = 1 + 7 * 4;

// ---------------------------------------------------------------------------
// The reference: plain expat callbacks collecting what the reader reads.

struct RefParm {
  unsigned count = 0;         // parms of this exact name
  bool caseVariant = false;   // a name equal to it only ignoring case
  bool firstHasValue = false;
  std::string value;          // of the first one
  unsigned long line = 0;
};

struct Reference {
  bool wellFormed = false;
  std::string root;
  bool doctype = false;
  bool declaredOther = false;  // an encoding other than UTF-8, a version
                               // other than 1.x
  unsigned installs = 0;
  bool installCaseVariant = false;
  RefParm parms[kSetupXmlParmCount];
  // Parse state.
  XML_Parser parser = nullptr;
  unsigned depth = 0;
  bool inFirstInstall = false;
};

bool sameIgnoringCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x + 32);
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y + 32);
    if (x != y) return false;
  }
  return true;
}

const char* attribute(const XML_Char** atts, const char* name) {
  for (; *atts != nullptr; atts += 2) {
    if (std::strcmp(atts[0], name) == 0) return atts[1];
  }
  return nullptr;
}

void XMLCALL refStart(void* data, const XML_Char* name, const XML_Char** atts) {
  auto& ref = *static_cast<Reference*>(data);
  const std::string element = name;
  const char* type = attribute(atts, "type");
  if (ref.depth == 0) ref.root = element;
  if (ref.depth == 1 && element == "characteristic" && type != nullptr) {
    if (std::string(type) == "Install") {
      ref.inFirstInstall = ++ref.installs == 1;
    } else if (sameIgnoringCase(type, "Install")) {
      ref.installCaseVariant = true;
    }
  }
  const char* parmName = attribute(atts, "name");
  if (ref.depth == 2 && ref.inFirstInstall && element == "parm" &&
      parmName != nullptr) {
    for (std::uint32_t i = 0; i < kSetupXmlParmCount; ++i) {
      const std::string wanted = setupXmlParmName(static_cast<SetupXmlParm>(i));
      RefParm& parm = ref.parms[i];
      if (parmName == wanted) {
        if (++parm.count == 1) {
          const char* value = attribute(atts, "value");
          parm.firstHasValue = value != nullptr;
          if (value != nullptr) parm.value = value;
          parm.line = XML_GetCurrentLineNumber(ref.parser);
        }
      } else if (sameIgnoringCase(parmName, wanted)) {
        parm.caseVariant = true;
      }
    }
  }
  ++ref.depth;
}

void XMLCALL refEnd(void* data, const XML_Char*) {
  auto& ref = *static_cast<Reference*>(data);
  if (--ref.depth == 1) ref.inFirstInstall = false;
}

void XMLCALL refDeclaration(void* data, const XML_Char* version,
                            const XML_Char* encoding, int) {
  auto& ref = *static_cast<Reference*>(data);
  if (encoding != nullptr && !sameIgnoringCase(encoding, "utf-8"))
    ref.declaredOther = true;
  if (version != nullptr) {
    const std::string v = version;
    if (v.size() < 3 || v.compare(0, 2, "1.") != 0 ||
        v.find_first_not_of("0123456789", 2) != std::string::npos)
      ref.declaredOther = true;
  }
}

void XMLCALL refDoctype(void* data, const XML_Char*, const XML_Char*,
                        const XML_Char*, int) {
  static_cast<Reference*>(data)->doctype = true;
}

Reference reference(const unsigned char* bytes, std::size_t size) {
  Reference ref;
  ref.parser = XML_ParserCreate(nullptr);
  check(ref.parser != nullptr, "out of memory in the fuzz process");
  XML_SetUserData(ref.parser, &ref);
  XML_SetElementHandler(ref.parser, refStart, refEnd);
  XML_SetXmlDeclHandler(ref.parser, refDeclaration);
  XML_SetStartDoctypeDeclHandler(ref.parser, refDoctype);
  ref.wellFormed = XML_Parse(ref.parser, reinterpret_cast<const char*>(bytes),
                             static_cast<int>(size), XML_TRUE) == XML_STATUS_OK;
  XML_ParserFree(ref.parser);
  ref.parser = nullptr;
  return ref;
}

// Why the reference sees a parm's value as not replaceable.
bool refParmProblem(const RefParm& parm) {
  return parm.count > 1 || parm.caseVariant ||
         (parm.count == 1 && !parm.firstHasValue);
}

// ---------------------------------------------------------------------------
// Values as the reference reads them: plain 64-bit arithmetic.

bool refDigits(const std::string& text, std::size_t from, std::size_t to,
               std::uint64_t* value) {
  if (from >= to) return false;
  std::uint64_t result = 0;
  for (std::size_t i = from; i < to; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    result = result * 10 + static_cast<std::uint64_t>(text[i] - '0');
    if (result > 0xFFFFFFFFull) return false;
  }
  *value = result;
  return true;
}

// The value's text written as the change writes it, when it reads as the
// same value; "" when it does not parse.
std::string refCanonical(SetupXmlParm parm, const std::string& text) {
  std::uint64_t a = 0, b = 0;
  switch (parm) {
    case kXmlProcessorType:
      return refDigits(text, 0, text.size(), &a) ? std::to_string(a) : "";
    case kXmlOSVersionMin:
    case kXmlOSVersionMax: {
      const std::size_t dot = text.find('.');
      if (dot == std::string::npos || !refDigits(text, 0, dot, &a) ||
          !refDigits(text, dot + 1, text.size(), &b))
        return "";
      return std::to_string(a) + "." + std::to_string(b);
    }
    case kXmlBuildNumberMin:
    case kXmlBuildNumberMax: {
      const bool negative = !text.empty() && text[0] == '-';
      if (!refDigits(text, negative ? 1 : 0, text.size(), &a)) return "";
      if (negative && a > 0x80000000ull) return "";
      const std::uint64_t build = negative ? (0x100000000ull - a) & 0xFFFFFFFFull : a;
      return build >= 0x80000000ull ? "-" + std::to_string(0x100000000ull - build)
                                    : std::to_string(build);
    }
    default:
      return "";
  }
}

// The text the change writes for parm under request.
std::string newText(SetupXmlParm parm, const ChangeRequest& request) {
  const VersionTriple& v = parm == kXmlOSVersionMin || parm == kXmlBuildNumberMin
                               ? request.minVersion
                               : request.maxVersion;
  if (parm == kXmlProcessorType) return std::to_string(request.arch);
  if (parm == kXmlOSVersionMin || parm == kXmlOSVersionMax)
    return std::to_string(v.major) + "." + std::to_string(v.minor);
  return refCanonical(parm, std::to_string(v.build));
}

bool touches(SetupXmlParm parm, const ChangeRequest& request) {
  switch (parm) {
    case kXmlProcessorType:
      return request.archGiven;
    case kXmlOSVersionMin:
    case kXmlBuildNumberMin:
      return request.minVersionGiven;
    case kXmlOSVersionMax:
    case kXmlBuildNumberMax:
      return request.maxVersionGiven;
    default:
      return false;
  }
}

// ---------------------------------------------------------------------------

std::uint32_t valueAt(const std::uint8_t* data, unsigned index) {
  const std::uint8_t* p = data + 1 + 4 * index;
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

unsigned char* copyOf(const unsigned char* data, std::size_t size) {
  auto* copy = static_cast<unsigned char*>(std::malloc(size == 0 ? 1 : size));
  check(copy != nullptr, "out of memory in the fuzz process");
  if (size != 0) std::memcpy(copy, data, size);
  return copy;
}

// The request of the control bytes; bits 3 to 5 take the document's own
// values where they read as numbers.
ChangeRequest requestOf(const std::uint8_t* data, const SetupXml& xml) {
  ChangeRequest request{};
  const unsigned control = data[0];
  request.archGiven = (control & 1) != 0;
  request.minVersionGiven = (control & 2) != 0;
  request.maxVersionGiven = (control & 4) != 0;
  request.arch = valueAt(data, 0);
  request.minVersion = {valueAt(data, 1), valueAt(data, 2), valueAt(data, 3)};
  request.maxVersion = {valueAt(data, 4), valueAt(data, 5), valueAt(data, 6)};
  const auto own = [&](SetupXmlParm parm) -> const SetupXmlValue* {
    const SetupXmlValue& v = xml.parms[parm];
    return xml.status == SetupXmlStatus::Readable && v.present ? &v : nullptr;
  };
  if ((control & 8) != 0 && own(kXmlProcessorType) != nullptr)
    parseXmlNumber(own(kXmlProcessorType)->text, own(kXmlProcessorType)->length,
                   &request.arch);
  for (const bool min : {true, false}) {
    if ((control & (min ? 16 : 32)) == 0) continue;
    VersionTriple& v = min ? request.minVersion : request.maxVersion;
    if (const SetupXmlValue* p = own(min ? kXmlOSVersionMin : kXmlOSVersionMax))
      parseXmlVersion(p->text, p->length, &v.major, &v.minor);
    if (const SetupXmlValue* p = own(min ? kXmlBuildNumberMin : kXmlBuildNumberMax))
      parseXmlBuild(p->text, p->length, &v.build);
  }
  return request;
}

// The reader agrees with the reference on a document both read.
void checkAgreement(const SetupXml& xml, const Reference& ref) {
  check(ref.wellFormed, "the reader reads what expat rejects");
  check(ref.root == "wap-provisioningdoc" && !ref.doctype && !ref.declaredOther,
        "the reader reads a document it should refuse");
  check(xml.hasInstall == (ref.installs > 0), "Install characteristic differs");
  check((xml.problem[0] != '\0') == (ref.installs > 1 || ref.installCaseVariant),
        "the document's reason not to change differs");
  for (std::uint32_t i = 0; i < kSetupXmlParmCount; ++i) {
    const SetupXmlValue& parm = xml.parms[i];
    const RefParm& r = ref.parms[i];
    const bool present = r.count > 0 && r.firstHasValue;
    check(parm.present == present, "a parm's presence differs");
    check((parm.problem[0] != '\0') == refParmProblem(r),
          "a parm's reason not to change differs");
    if (!present) continue;
    check(std::string(parm.text, parm.length) == r.value &&
              std::strlen(parm.text) == parm.length,
          "a parm's value differs");
    check(parm.line == r.line, "a parm's line differs");
  }
}

// A planned change, checked against the reference.
void checkEdit(const unsigned char* document, std::uint32_t size,
               const SetupXml& xml, const Reference& ref,
               const ChangeRequest& request, const SetupXmlEditPlan& plan) {
  const std::string before(reinterpret_cast<const char*>(document), size);
  std::string after(plan.newSize, '\0');
  auto* out = reinterpret_cast<unsigned char*>(&after[0]);
  writeSetupXmlEdit(document, size, plan, 0, plan.newSize, out);

  // The edits: in order, inside the document, each the new text of a
  // touched parm whose value does not read as it already.
  std::string expected;
  std::uint32_t old = 0;
  for (std::uint32_t i = 0; i < plan.count; ++i) {
    const SetupXmlEdit& edit = plan.edits[i];
    check(edit.start >= old && edit.start <= edit.end && edit.end <= size,
          "the edits overlap or leave the document");
    expected.append(before, old, edit.start - old);
    expected.append(edit.text, edit.length);
    old = edit.end;
  }
  expected.append(before, old, size - old);
  check(after == expected, "the new document is not the old one with the edits");
  std::uint32_t first = 0;
  while (first < after.size() && first < before.size() && after[first] == before[first])
    ++first;
  check(plan.firstChange == (plan.count == 0 ? plan.newSize : first),
        "the first changed byte is not where the plan says");

  // The same bytes written in pieces of a few bytes.
  std::string pieces(plan.newSize, '\0');
  for (std::uint32_t from = 0, step = 1; from < plan.newSize; from += step, step = step % 7 + 1) {
    const std::uint32_t count = plan.newSize - from < step ? plan.newSize - from : step;
    writeSetupXmlEdit(document, size, plan, from, count,
                      reinterpret_cast<unsigned char*>(&pieces[from]));
  }
  check(pieces == after, "a piece of the new document differs");

  // The reference reads the new values where the request touched a value
  // that did not read as the new one, and the old values elsewhere.
  const Reference changed = reference(out, plan.newSize);
  check(changed.wellFormed, "the new document is not well-formed");
  std::uint32_t edits = 0;
  for (std::uint32_t i = 0; i < kSetupXmlParmCount; ++i) {
    const auto parm = static_cast<SetupXmlParm>(i);
    const RefParm& was = ref.parms[i];
    const RefParm& now = changed.parms[i];
    check(now.count == was.count && now.firstHasValue == was.firstHasValue,
          "the new document has other parms");
    std::string value = was.value;
    if (xml.parms[i].present && touches(parm, request) &&
        refCanonical(parm, was.value) != newText(parm, request)) {
      value = newText(parm, request);
      ++edits;
    }
    check(now.value == value, "a parm of the new document has another value");
  }
  check(edits == plan.count, "the plan edits other parms than expected");

  // Planning the same change again finds nothing to do.
  SetupXml again{};
  readSetupXml(out, plan.newSize, &again);
  check(again.status == SetupXmlStatus::Readable, "the new document is unreadable");
  SetupXmlEditPlan replan;
  const char* problem = nullptr;
  check(planSetupXmlEdit(out, plan.newSize, again, request, &replan, &problem) &&
            replan.count == 0,
        "the change is not done after it was made");
  releaseSetupXml(&again);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  if (size < kControlSize || size - kControlSize > kSetupXmlSizeLimit) return 0;
  const auto documentSize = static_cast<std::uint32_t>(size - kControlSize);
  // An exact-size copy: AddressSanitizer sees any read past its end.
  unsigned char* document = copyOf(data + kControlSize, documentSize);
  fuzzplatform::reset();
  platform::acquireStdHandles(nullptr, &gConsole.output, &gConsole.error);

  SetupXml xml{};
  readSetupXml(document, documentSize, &xml);
  check(std::memcmp(document, data + kControlSize, documentSize) == 0,
        "the reader changed the document");
  check(xml.status != SetupXmlStatus::NoMemory, "the reader ran out of memory");
  const Reference ref = reference(document, documentSize);
  const bool fit = ref.wellFormed && ref.root == "wap-provisioningdoc" &&
                   !ref.doctype && !ref.declaredOther &&
                   !(documentSize >= 2 &&
                     (document[0] == 0 || document[1] == 0 ||
                      (document[0] == 0xFE && document[1] == 0xFF) ||
                      (document[0] == 0xFF && document[1] == 0xFE)));
  if (xml.status == SetupXmlStatus::Readable) {
    checkAgreement(xml, ref);
  } else {
    check(!fit, "the reader refuses a document expat reads");
    check(std::strncmp(xml.problem, "line ", 5) == 0,
          "an unreadable document's problem does not say its line");
  }

  // The change: refused exactly when the reference sees a reason.
  const ChangeRequest request = requestOf(data, xml);
  SetupXmlEditPlan plan;
  const char* problem = nullptr;
  const bool planned =
      planSetupXmlEdit(document, documentSize, xml, request, &plan, &problem);
  if (xml.status != SetupXmlStatus::Readable) {
    check(!planned && problem != nullptr && problem[0] != '\0',
          "a change of an unreadable document is not refused");
  } else {
    bool reason = (request.archGiven || request.minVersionGiven ||
                   request.maxVersionGiven) &&
                  (ref.installs > 1 || ref.installCaseVariant);
    for (std::uint32_t i = 0; i < kSetupXmlParmCount; ++i) {
      if (touches(static_cast<SetupXmlParm>(i), request) &&
          refParmProblem(ref.parms[i]))
        reason = true;
    }
    check(planned != reason, "a change is refused, or not, without cause");
    check(planned == (problem == nullptr), "a refusal without a problem text");
    if (planned) checkEdit(document, documentSize, xml, ref, request, plan);
    else check(plan.count == 0, "a refused change has edits");
  }

  // The report lines.
  showSetupXml(xml, "_setup.xml");
  const fuzzplatform::Observed& seen = fuzzplatform::observed();
  check(seen.outputLines == (xml.status == SetupXmlStatus::Readable ? 5u : 1u) &&
            seen.errorLines == 0,
        "the display block has other lines");
  // Some header to compare with: the control values as its fields 20 to 47.
  unsigned char header[100] = {};
  std::memcpy(header + 20, data + 1, 28);
  showSetupXmlDisagreement(xml, header);
  check(seen.outputLines - (xml.status == SetupXmlStatus::Readable ? 5u : 1u) ==
            (findSetupXmlDisagreement(xml, header) != 0 ? 1u : 0u),
        "the warning line does not match the disagreement");
  for (const SetupXmlListField field :
       {SetupXmlListField::Arch, SetupXmlListField::MinVersion,
        SetupXmlListField::MaxVersion}) {
    char buffer[kSetupXmlListFieldSize];
    const std::size_t length = formatSetupXmlListField(&xml, field, buffer, sizeof buffer);
    check(length < sizeof buffer && std::strlen(buffer) == length,
          "a list field does not fit its room");
  }

  releaseSetupXml(&xml);
  check(seen.liveBlocks == 0, "a block is left");
  std::free(document);
  return 0;
}
