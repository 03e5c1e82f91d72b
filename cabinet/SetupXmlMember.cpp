// SetupXmlMember.cpp - the setup XML member: its name, and its change in
// the pass.
#include "cabinet/SetupXmlMember.h"

#include <cstring>

#include "cabinet/CabinetFormat.h"
#include "cabinet/FileTable.h"
#include "runtime/Console.h"
#include "runtime/Runtime.h"

namespace {

constexpr char kSetupXmlName[] = "_setup.xml";
constexpr std::uint32_t kSetupXmlNameLength = sizeof kSetupXmlName - 1;

// Writes count bytes of the planned document from offset from.
void writePlanned(const void* context, std::uint32_t from, std::uint32_t count,
                  unsigned char* out) {
  const auto* change = static_cast<const SetupXmlChange*>(context);
  writeSetupXmlEdit(change->copy.bytes, change->copy.size, change->plan, from,
                    count, out);
}

// True when parm reads as the value changes asks for it to take; false as
// well when changes does not touch it.
bool holdsAsked(const SetupXmlValue& value, SetupXmlParm parm,
                const ChangeRequest& changes) {
  std::uint32_t a = 0, b = 0;
  switch (parm) {
    case kXmlProcessorType:
      return changes.archGiven &&
             parseXmlNumber(value.text, value.length, &a) &&
             a == changes.arch;
    case kXmlOSVersionMin:
    case kXmlOSVersionMax: {
      const bool min = parm == kXmlOSVersionMin;
      const VersionTriple& v = min ? changes.minVersion : changes.maxVersion;
      return (min ? changes.minVersionGiven : changes.maxVersionGiven) &&
             parseXmlVersion(value.text, value.length, &a, &b) &&
             a == v.major && b == v.minor;
    }
    case kXmlBuildNumberMin:
    case kXmlBuildNumberMax: {
      const bool min = parm == kXmlBuildNumberMin;
      const VersionTriple& v = min ? changes.minVersion : changes.maxVersion;
      return (min ? changes.minVersionGiven : changes.maxVersionGiven) &&
             parseXmlBuild(value.text, value.length, &a) && a == v.build;
    }
    default:
      return false;
  }
}

// True when changes asks for a new value of parm.
bool touches(SetupXmlParm parm, const ChangeRequest& changes) {
  switch (parm) {
    case kXmlProcessorType:
      return changes.archGiven;
    case kXmlOSVersionMin:
    case kXmlBuildNumberMin:
      return changes.minVersionGiven;
    case kXmlOSVersionMax:
    case kXmlBuildNumberMax:
      return changes.maxVersionGiven;
    default:
      return false;
  }
}

}  // namespace

bool isSetupXmlName(const unsigned char* name, std::uint32_t length) {
  if (length != kSetupXmlNameLength) return false;
  for (std::uint32_t i = 0; i < length; ++i) {
    unsigned char c = name[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<unsigned char>(c - 'A' + 'a');
    if (c != static_cast<unsigned char>(kSetupXmlName[i])) return false;
  }
  return true;
}

void planSetupXmlChange(SetupXmlChange* change, const ChangeRequest& changes) {
  change->planned = true;
  readSetupXml(change->copy.bytes, change->copy.size, &change->xml);
  if (!planSetupXmlEdit(change->copy.bytes, change->copy.size, change->xml,
                        changes, &change->plan, &change->problem) &&
      change->problem == nullptr)
    change->problem = "not enough memory";
}

CabStatus checkSetupXmlAlone(const Cabinet& cabinet, std::uint32_t index) {
  const CabMember& xml = cabinet.members[index];
  const std::uint64_t end = std::uint64_t{xml.folderOffset} + xml.size;
  for (std::uint32_t i = 0; i < cabinet.fileCount; ++i) {
    const CabMember& other = cabinet.members[i];
    const std::uint64_t otherEnd =
        std::uint64_t{other.folderOffset} + other.size;
    if (i == index || other.folder != xml.folder ||
        otherEnd <= xml.folderOffset || other.folderOffset >= end)
      continue;
    char name[CabFormat::kMaxNameSize];
    if (nameForError(cabinet, i, name) == nullptr) return CabStatus::ReadFailed;
    if (!cabinet.source.quiet)
      reportError("Cabinet not handled: file \"%s\" shares the setup XML's "
                  "bytes", name);
    return CabStatus::Unhandled;
  }
  return CabStatus::Ok;
}

MemberReplacement setupXmlReplacement(const SetupXmlChange& change,
                                      std::uint32_t start) {
  return {change.copy.index, start, change.copy.size, change.plan.newSize,
          writePlanned, &change};
}

void releaseSetupXmlChange(SetupXmlChange* change) {
  freeBlock(change->copy.bytes);
  change->copy.bytes = nullptr;
  releaseSetupXml(&change->xml);
}

bool setupXmlEditHolds(const SetupXmlChange& change,
                       const ChangeRequest& changes,
                       const unsigned char* document, std::uint32_t size) {
  const unsigned char* old = change.copy.bytes;
  const SetupXmlEditPlan& plan = change.plan;
  if (size != plan.newSize) return false;
  // Outside the edits, the old bytes; inside, the planned text.
  std::uint32_t from = 0, to = 0;
  for (std::uint32_t k = 0; k < plan.count; ++k) {
    const SetupXmlEdit& edit = plan.edits[k];
    const std::uint32_t same = edit.start - from;
    if (std::uint64_t{to} + same + edit.length > size ||
        std::memcmp(document + to, old + from, same) != 0 ||
        std::memcmp(document + to + same, edit.text, edit.length) != 0)
      return false;
    from = edit.end;
    to += same + edit.length;
  }
  if (size - to != change.copy.size - from ||
      std::memcmp(document + to, old + from, size - to) != 0)
    return false;
  // Read back: each parm as asked, or as it was.
  SetupXml now = {};
  readSetupXml(document, size, &now);
  bool holds = now.status == SetupXmlStatus::Readable;
  for (std::uint32_t p = 0; holds && p < kSetupXmlParmCount; ++p) {
    const auto parm = static_cast<SetupXmlParm>(p);
    const SetupXmlValue& before = change.xml.parms[p];
    const SetupXmlValue& after = now.parms[p];
    if (before.present != after.present) {
      holds = false;
    } else if (!after.present) {
      continue;
    } else if (touches(parm, changes)) {
      holds = holdsAsked(after, parm, changes);
    } else {
      holds = before.length == after.length &&
              std::memcmp(before.text, after.text, before.length) == 0;
    }
  }
  releaseSetupXml(&now);
  return holds;
}
