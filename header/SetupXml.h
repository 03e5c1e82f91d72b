// SetupXml.h - the install checks of a cabinet's setup XML (_setup.xml, the
// XML setup script of Windows Mobile 5 and later): reading them, and
// replacing their values in the document's own bytes.
//
// The document is an OMA Client Provisioning document. Its first-level
// characteristic of type "Install" under the root wap-provisioningdoc holds
// the checks as parm elements:
//   <characteristic type="Install">
//   <parm name="ProcessorType" value="2336" />
//   <parm name="OSVersionMin" value="4.0" />
//   <parm name="BuildNumberMax" value="-536870912" />
// A change rewrites only the raw bytes between the quotes of such a value;
// every other byte (quotes, spacing, line ends, attribute order, comments)
// stays as it was.
#ifndef SETUPHDR_HEADER_SETUPXML_H
#define SETUPHDR_HEADER_SETUPXML_H

#include <cstddef>
#include <cstdint>

#include "header/HeaderReport.h"  // ChangeRequest

/// Largest document read: 1 MiB. A larger one is refused before parsing.
constexpr std::uint32_t kSetupXmlSizeLimit = 1048576;

/// Room of a problem text, NUL included; a longer text is cut.
constexpr std::size_t kSetupXmlProblemSize = 128;

/// The parms read, in this order in SetupXml::parms.
enum SetupXmlParm : std::uint32_t {
  kXmlAppName,
  kXmlProcessorType,
  kXmlOSVersionMin,
  kXmlOSVersionMax,
  kXmlBuildNumberMin,
  kXmlBuildNumberMax,
  kSetupXmlParmCount
};

/// The parm's name as the document spells it ("ProcessorType", ...).
const char* setupXmlParmName(SetupXmlParm parm);

/// One parm of the Install characteristic.
struct SetupXmlValue {
  bool present;             // the parm is there with a value attribute
  std::uint32_t line;       // of its element (1 = the first line)
  std::uint32_t valueStart;  // the value attribute's raw bytes between
  std::uint32_t valueEnd;    // its quotes: [valueStart, valueEnd)
  char* text;               // the decoded value (entities and character
                            // references resolved, attribute whitespace
                            // normalized), UTF-8, NUL-terminated; null when
                            // absent. XML allows no NUL inside it.
  std::uint32_t length;     // of text, in bytes
  // Why this parm's value cannot be replaced soundly, "line N: what", or
  // empty. Kept even when present is false (a parm without a value).
  char problem[kSetupXmlProblemSize];
};

enum class SetupXmlStatus {
  Readable,    // parms hold what the document says
  Unreadable,  // problem says why and where
  NoMemory     // a block could not be allocated; nothing else is known
};

/// What readSetupXml found. Release it with releaseSetupXml.
struct SetupXml {
  SetupXmlStatus status;
  // Unreadable: "line N: what", or "larger than 1 MiB". Readable: empty, or
  // why no value of the document can be replaced ("line N: what").
  char problem[kSetupXmlProblemSize];
  bool hasInstall;  // a first-level Install characteristic was found
  SetupXmlValue parms[kSetupXmlParmCount];
};

/// Reads document (size bytes, not changed, nothing outside it read) into
/// *xml, which it overwrites. Blocks come from allocZeroed; after any status
/// releaseSetupXml gives them back.
///
/// Readable: a well-formed XML 1.0 document in UTF-8 whose root element is
/// wap-provisioningdoc. An XML declaration (version 1.x, encoding UTF-8 in
/// any case, or none), a UTF-8 byte-order mark, comments and processing
/// instructions, whitespace and line breaks anywhere inside tags,
/// attributes in any order and either quotes, the five predefined entities
/// and character references are accepted. The parms are the children named
/// parm of the first first-level characteristic of type "Install", matched
/// by their decoded name attribute; each takes its first such child. No
/// Install characteristic: readable, every parm absent (hasInstall false).
///
/// Unreadable, with these problem texts (N: the line, as expat counts it):
///   "larger than 1 MiB"                 size over kSetupXmlSizeLimit
///   "line 1: encoding other than UTF-8"  a UTF-16 byte-order mark, a NUL in
///                                       the first two bytes, or a declared
///                                       encoding other than UTF-8
///   "line 1: unsupported XML version"   a declared version other than 1.x
///   "line N: document type declaration not allowed"  a DOCTYPE (N: where
///                                       expat finds its end or its '[')
///   "line N: root element is not wap-provisioningdoc"
///   "line N: " and expat's own text     not well-formed ("line 12:
///                                       mismatched tag")
///   "line N: start tag not understood"  a parm's start tag that does not
///                                       scan as expat accepted it (a guard:
///                                       never seen)
/// The first problem found is the one kept.
///
/// Readable documents that a change must not touch keep the reason:
/// in xml->problem (no value may be replaced)
///   "line N: second Install characteristic"  another first-level one;
///   "line N: characteristic type differs from Install only in case";
/// in the parm's problem (its value may not be replaced)
///   "line N: second P parm"              the same parm again (the first
///                                       one is the one read);
///   "line N: P parm without a value"     no value attribute (the parm
///                                       then counts as absent);
///   "line N: parm name differs from P only in case".
/// Each keeps the first such problem in document order.
void readSetupXml(const unsigned char* document, std::uint32_t size,
                  SetupXml* xml);

/// Gives back the blocks of *xml and leaves every parm absent. Safe on a
/// released or zeroed SetupXml.
void releaseSetupXml(SetupXml* xml);

/// Value readers over a decoded value (length bytes; no blank, no sign
/// except where said, no overflow, at least one digit in each number).
/// ProcessorType: a decimal 32-bit unsigned number.
bool parseXmlNumber(const char* text, std::uint32_t length,
                    std::uint32_t* value);
/// OSVersionMin/OSVersionMax: major.minor, two decimal 32-bit numbers; the
/// minor part is a whole number ("4.20" is minor 20), as in the setup
/// file's header.
bool parseXmlVersion(const char* text, std::uint32_t length,
                     std::uint32_t* major, std::uint32_t* minor);
/// BuildNumberMin/BuildNumberMax: a decimal 32-bit number that builders
/// write signed, from -2147483648 to 4294967295; a negative one is taken as
/// its two's complement ("-536870912" is 3758096384).
bool parseXmlBuild(const char* text, std::uint32_t length,
                   std::uint32_t* value);

/// Room of one new value's text, NUL included ("4294967295.4294967295").
constexpr std::size_t kSetupXmlEditTextSize = 24;

/// One value replaced: the raw bytes [start, end) become text.
struct SetupXmlEdit {
  std::uint32_t start;
  std::uint32_t end;
  std::uint32_t length;  // of text
  char text[kSetupXmlEditTextSize];
};

/// The replacements of one change, in document order, and the document
/// they make.
struct SetupXmlEditPlan {
  std::uint32_t count;  // 0: the document already holds the values
  SetupXmlEdit edits[kSetupXmlParmCount];
  std::uint32_t newSize;      // of the new document
  std::uint32_t firstChange;  // offset of its first byte that differs from
                              // the old document's (newSize when none)
};

/// Plans the change of document (size bytes), as readSetupXml read it into
/// xml, for a request:
///   archGiven:       ProcessorType gets the code in decimal;
///   minVersionGiven: OSVersionMin gets "major.minor", BuildNumberMin the
///                    build in decimal, written signed when it is 2^31 or
///                    more ("-536870912");
///   maxVersionGiven: OSVersionMax and BuildNumberMax the same way.
/// An absent parm stays absent; a parm whose value already reads as the new
/// one (by the parsers above) is left alone. Returns false, storing the
/// problem text in *problem (xml's own text, or "not enough memory" for a
/// document that ran out of it), when the document is not readable, when
/// xml->problem is set and the request gives any of the three, or when a
/// parm the request would touch has a problem; the plan is then empty.
/// Otherwise true, with *plan filled and *problem null.
bool planSetupXmlEdit(const unsigned char* document, std::uint32_t size,
                      const SetupXml& xml, const ChangeRequest& request,
                      SetupXmlEditPlan* plan, const char** problem);

/// Writes count bytes of the new document, from its offset from, into out:
/// the old document (size bytes) with the plan's edits. from + count must
/// not pass plan.newSize.
void writeSetupXmlEdit(const unsigned char* document, std::uint32_t size,
                       const SetupXmlEditPlan& plan, std::uint32_t from,
                       std::uint32_t count, unsigned char* out);

#endif
