// CabinetProcessing.cpp - the display and the change of the setup file in
// a cabinet.
//
// The setup file's own checks, report and change are those of a setup file
// on its own; around them, the cabinet is read, and for a change rebuilt,
// checked against the original and put in its place. The original is
// never patched: a crash at any moment leaves either it or the complete
// new cabinet under its name.
#include "app/CabinetProcessing.h"

#include <cstring>

#include "app/ExitCodes.h"
#include "cabinet/Cabinet.h"
#include "cabinet/CabinetFormat.h"
#include "cabinet/ChangePass.h"
#include "cabinet/FileTable.h"
#include "cabinet/NewImage.h"
#include "cabinet/Programs.h"
#include "cabinet/SetupSearch.h"
#include "cabinet/Verify.h"
#include "header/Endian.h"
#include "header/HeaderReport.h"
#include "header/SetupHeader.h"
#include "header/SetupXml.h"
#include "header/SetupXmlReport.h"
#include "runtime/Console.h"
#include "runtime/Runtime.h"

std::uint32_t exitCodeFor(CabStatus status) {
  switch (status) {
    case CabStatus::Ok:
      return kExitOk;
    case CabStatus::NoMemory:
      return kExitNoMemory;
    case CabStatus::ReadFailed:
      return kExitReadFailed;
    case CabStatus::Damaged:
      return kExitDamagedCabinet;
    case CabStatus::Unhandled:
    case CabStatus::ReadersDiffer:
    case CabStatus::SeveralSetupFiles:
      return kExitUnhandledCabinet;
    case CabStatus::NoSetupFile:
      return kExitBadHeader;
  }
  return kExitDamagedCabinet;
}

namespace {

// Warns when the cabinet holds programs that a processor of the new
// architecture's family cannot run. The change is still made: the user
// may know better (the programs may be a setup DLL only, for example).
void warnOtherFamilies(const ProgramFamilies& programs, std::uint32_t arch) {
  const ProgramFamily target = archFamily(arch);
  if (target == kNoFamily) return;
  const ProgramFamilies others = otherFamilies(programs, target);
  if (others.count == 0) return;
  char families[kFamilyListSize];
  char name[kFamilyNameSize];
  printMessage("Warning: the cabinet holds programs for %s, not for %s",
               formatProgramFamilies(others, ", ", families),
               familyName(target, name));
}

// Warns when the new minimum CE version (major, minor, build) is above the
// new maximum: no device has a version in that range. The change is still
// made, as asked. A maximum of 0.0 build 0 is not judged: setup files built
// without a maximum carry it, and the installer's documentation does not
// say that it is checked.
void warnEmptyRange(const VersionTriple& min, const VersionTriple& max) {
  const std::uint32_t low[3] = {min.major, min.minor, min.build};
  const std::uint32_t high[3] = {max.major, max.minor, max.build};
  if ((high[0] | high[1] | high[2]) == 0) return;
  for (int part = 0; part < 3; ++part) {
    if (low[part] == high[part]) continue;
    if (low[part] > high[part])
      printMessage("Warning: the minimum CE version is above the maximum; "
                   "no device will install it");
    return;
  }
}

// The version range of a setup-file header.
void headerRange(const unsigned char* header, VersionTriple* min,
                 VersionTriple* max) {
  using namespace SetupHeader;
  *min = {readLE32(header + kMinVersionMajor),
          readLE32(header + kMinVersionMinor),
          readLE32(header + kMinVersionBuild)};
  *max = {readLE32(header + kMaxVersionMajor),
          readLE32(header + kMaxVersionMinor),
          readLE32(header + kMaxVersionBuild)};
}

// The cabinet's own lines, about member index (the setup file, or the
// setup XML when it is all the cabinet carries). False after an error line.
bool showCabinetLines(const Cabinet& cabinet, std::uint32_t index,
                      const ProgramFamilies& programs) {
  char name[CabFormat::kMaxNameSize];
  if (nameForError(cabinet, index, name) == nullptr) return false;
  const CabMember& entry = cabinet.members[index];
  printMessage("Cabinet member: %s", name);
  printMessage("Cabinet folder: %u (%s)", static_cast<unsigned>(entry.folder),
               compressionName(cabinet.folders[entry.folder].compression));
  printMessage("Cabinet signed: %s", cabinet.isSigned ? "yes" : "no");
  char families[kFamilyListSize];
  printMessage("Cabinet programs: %s",
               formatProgramFamilies(programs, ", ", families));
  return true;
}

// The setup XML's lines, and with a setup file (header, else null) the
// line that says where the two disagree. False after an error line.
bool showCabinetXml(const Cabinet& cabinet, const SetupMember& xml,
                    const unsigned char* header) {
  char name[CabFormat::kMaxNameSize];
  if (nameForError(cabinet, xml.index, name) == nullptr) return false;
  SetupXml read;
  readSetupXml(xml.bytes, xml.size, &read);
  showSetupXml(read, name);
  if (header != nullptr) showSetupXmlDisagreement(read, header);
  releaseSetupXml(&read);
  return true;
}

// The setup file's report, then what the cabinet adds to it: its own lines
// and the setup XML's. A cabinet with only a setup XML has its lines and
// the setup XML's.
std::uint32_t showCabinet(platform::Handle file, std::uint32_t size) {
  const CabinetSource source = {nullptr, size, readCabinetRange, &file,
                                 false};
  Cabinet cabinet;
  CabStatus status = readCabinet(source, &cabinet);
  SetupMember member = {};
  SetupMember xml = {};
  ProgramFamilies programs = {};
  if (status == CabStatus::Ok)
    status = findSetupFile(source, &cabinet, &member, &programs, &xml);
  if (status != CabStatus::Ok) return exitCodeFor(status);

  std::uint32_t result = kExitOk;
  const bool hasXml = cabinet.setupXmlCount != 0;
  // The checks know the member's size; the report reads no further than
  // the bytes held.
  if (member.bytes == nullptr) {
    if (!showCabinetLines(cabinet, xml.index, programs) ||
        !showCabinetXml(cabinet, xml, nullptr))
      result = kExitReadFailed;
  } else if (!validateHeader(member.bytes, member.size)) {
    result = kExitBadHeader;
  } else {
    // The member's name is read before the report is started.
    char name[CabFormat::kMaxNameSize];
    if (nameForError(cabinet, member.index, name) == nullptr) {
      result = kExitReadFailed;
    } else {
      showHeader(member.bytes, member.held);
      if (!showCabinetLines(cabinet, member.index, programs) ||
          (hasXml && !showCabinetXml(cabinet, xml, member.bytes)))
        result = kExitReadFailed;
    }
  }
  // A report that did not reach its reader is no result.
  if (result == kExitOk && outputFailed(nullptr)) result = kExitOutputFailed;
  freeBlock(member.bytes);
  freeBlock(xml.bytes);
  return result;
}

// True when the open file is still as it was when identity was taken and
// size bytes were read: a process that ignores the lock may have written
// it since. Any write moves its last-write time (and on POSIX its change
// time) or its size.
bool unchangedSinceRead(platform::Handle file, std::uint32_t size,
                        const platform::FileIdentity& identity) {
  std::uint32_t sizeNow = 0;
  platform::FileIdentity now;
  return platform::fileSize(file, &sizeNow) == platform::SizeResult::Ok &&
         sizeNow == size && platform::fileIdentity(file, &now) &&
         now.written == identity.written && now.changed == identity.changed;
}

// Writes image to a new file beside the cabinet and puts it in place of
// the original, which must still be the file that was read, as it was
// read. A cabinet named through a link is replaced where the link leads,
// and the link stays. On failure the temporary file is gone and the
// original is untouched.
std::uint32_t replaceCabinet(const Command& command, platform::Handle* file,
                             std::uint32_t size,
                             const platform::FileIdentity& identity,
                             const unsigned char* image,
                             std::uint32_t imageSize) {
  char errorText[kErrorTextSize];
  char target[platform::kTempPathSize];
  if (!platform::resolveLinks(command.path, *file, target)) {
    reportError("Cannot follow the link \"%s\" (%s); the cabinet is "
                "unchanged", command.path,
                describeError(errorText, sizeof errorText,
                              platform::lastError()));
    return kExitReplaceFailed;
  }
  if (!platform::writeLimitAllows(imageSize)) {
    reportSystemError("Cannot write the new cabinet (%s); the cabinet is "
                      "unchanged");
    return kExitReplaceFailed;
  }
  char tempPath[platform::kTempPathSize];
  const platform::Handle temp =
      platform::createTempBeside(target, *file, tempPath);
  if (temp == platform::kNoHandle) {
    reportError("Cannot create a temporary file beside \"%s\" (%s); the "
                "cabinet is unchanged", command.path,
                describeError(errorText, sizeof errorText,
                              platform::lastError()));
    return kExitReplaceFailed;
  }

  std::uint32_t written = 0;
  const bool complete =
      platform::writeBytes(temp, image, imageSize, &written) &&
      written == imageSize && platform::flushFile(temp);
  std::uint32_t error = platform::lastError();
  platform::closeHandle(temp);
  std::uint32_t result = kExitOk;
  if (!complete) {
    reportError("Cannot write the new cabinet (%s); the cabinet is unchanged",
                describeError(errorText, sizeof errorText, error));
    result = kExitReplaceFailed;
  } else if (!unchangedSinceRead(*file, size, identity)) {
    // Checked as late as can be: the other program's cabinet stays.
    reportError("File changed while it was read");
    result = kExitReadFailed;
  } else if (!platform::pathHasIdentity(target, identity)) {
    // Someone else's file now has the name: leave it be.
    reportError("File \"%s\" was replaced while it was read; nothing written",
                command.path);
    result = kExitReplaceFailed;
  } else if (!platform::replaceFile(tempPath, target, file)) {
    error = platform::lastError();
    reportError("Cannot replace \"%s\" (%s); the cabinet is unchanged",
                command.path, describeError(errorText, sizeof errorText,
                                            error));
    result = kExitReplaceFailed;
  }
  if (result != kExitOk) platform::removeFile(tempPath);
  return result;
}

// For a change that reaches the setup XML: refuses (107, with its line) a
// document that cannot be read or whose values cannot be replaced, and one
// whose bytes another member shares. Returns the exit code.
std::uint32_t checkSetupXmlChange(const Cabinet& cabinet,
                                  const SetupXmlChange& change) {
  char name[CabFormat::kMaxNameSize];
  if (nameForError(cabinet, change.copy.index, name) == nullptr)
    return kExitReadFailed;
  if (change.problem != nullptr) {
    reportError("Cabinet not handled: %s cannot be read (%s)", name,
                change.problem);
    return kExitUnhandledCabinet;
  }
  if (change.plan.count != 0 &&
      checkSetupXmlAlone(cabinet, change.copy.index) != CabStatus::Ok)
    return kExitUnhandledCabinet;
  return kExitOk;
}

// The change of the setup file in a cabinet held whole in memory.
std::uint32_t changeCabinet(const Command& command, platform::Handle* file,
                            const unsigned char* image, std::uint32_t size,
                            const platform::FileIdentity& identity) {
  const CabinetSource source = {image, size, nullptr, nullptr, false};
  Cabinet cabinet;
  ChangePass pass;
  std::memset(&pass, 0, sizeof pass);
  CabStatus status = readCabinet(source, &cabinet);
  if (status == CabStatus::Ok && cabinet.setupXmlCount > 1) {
    reportError("Cabinet not handled: several _setup.xml members");
    status = CabStatus::Unhandled;
  }
  // One pass checks every block, finds the setup file, the setup XML and
  // the programs' families and makes the new blocks the change needs.
  if (status == CabStatus::Ok)
    status = passCabinet(source, &cabinet, command.changes, &pass);
  const SetupMember& member = pass.member;
  const ChangeRequest& changes = command.changes;
  std::uint32_t result = kExitOk;
  RebuildResult rebuilt = {};
  unsigned char newHeader[SetupHeader::kSize];
  const RebuildRequest request = {&member, newHeader, &changes,
                                  command.unsign};
  if (status != CabStatus::Ok) {
    result = exitCodeFor(status);
    goto done;
  }
  if (member.bytes != nullptr) {
    if (!validateHeader(member.bytes, member.size)) {
      result = kExitBadHeader;
      goto done;
    }
    if ((changesSetupXml(changes) || changes.clearPlatforms) &&
        checkSetupFileAlone(cabinet, member) != CabStatus::Ok) {
      result = kExitUnhandledCabinet;
      goto done;
    }
  } else if (changes.clearPlatforms) {
    // The setup XML has no list of unsupported platforms.
    reportError("Invalid option for a cabinet with only a setup XML");
    result = kExitCommandLine;
    goto done;
  }
  if (changesSetupXml(changes) && cabinet.setupXmlCount != 0) {
    result = checkSetupXmlChange(cabinet, pass.xml);
    if (result != kExitOk) goto done;
  }
  if (cabinet.isSigned && !command.unsign) {
    reportError("Cabinet is signed: a change would break its signature "
                "(add -unsign to remove it)");
    result = kExitSignedCabinet;
    goto done;
  }

  if (member.bytes != nullptr) {
    std::memcpy(newHeader, member.bytes, sizeof newHeader);
    applyChanges(newHeader, changes);
  } else {
    printChanges(changes);
  }
  if (command.unsign)
    printMessage(cabinet.isSigned ? "Signature removed"
                                  : "No signature to remove");
  if (changes.archGiven) warnOtherFamilies(pass.programs, changes.arch);
  // Only a range the command touched is judged: the setup file's new one,
  // or with only a setup XML, the two versions given.
  if (member.bytes != nullptr &&
      (changes.minVersionGiven || changes.maxVersionGiven)) {
    VersionTriple min, max;
    headerRange(newHeader, &min, &max);
    warnEmptyRange(min, max);
  } else if (changes.minVersionGiven && changes.maxVersionGiven) {
    warnEmptyRange(changes.minVersion, changes.maxVersion);
  }
  if (pass.xml.plan.count != 0) printMessage("Setup XML updated");

  status = rebuildCabinet(source, &cabinet, request, pass, &rebuilt);
  if (status != CabStatus::Ok) {
    result = exitCodeFor(status);
  } else if (rebuilt.unchanged) {
    result = kExitOk;  // the cabinet already says what was asked
  } else if (!verifyRebuild(source, &cabinet, request, pass, rebuilt)) {
    result = kExitReplaceFailed;
  } else {
    result = replaceCabinet(command, file, size, identity, rebuilt.image,
                            rebuilt.size);
  }

done:
  freeBlock(rebuilt.image);
  releaseChangePass(&pass);
  return result;
}

// For a change: refuses unknown bytes behind the cabinet as soon as its
// header shows them, before the whole file is read. Returns the exit code.
std::uint32_t checkCabinetEnd(platform::Handle file, std::uint32_t size) {
  const CabinetSource source = {nullptr, size, readCabinetRange, &file,
                                 false};
  Cabinet cabinet;
  CabStatus status = readCabinetHeader(source, &cabinet);
  if (status == CabStatus::Ok) status = checkNothingBehind(source, cabinet);
  return exitCodeFor(status);
}

}  // namespace

bool readCabinetRange(void* context, std::uint32_t offset, void* buffer,
                      std::uint32_t size) {
  const platform::Handle file = *static_cast<platform::Handle*>(context);
  if (platform::readAt(file, offset, buffer, size)) return true;
  reportSystemError("Cannot read file (%s)");
  return false;
}

std::uint32_t processCabinet(const Command& command, platform::Handle* file,
                             std::uint32_t size) {
  if (command.action == Action::Display) return showCabinet(*file, size);

  platform::FileIdentity identity;
  if (!platform::fileIdentity(*file, &identity)) {
    reportSystemError("Cannot read file (%s)");
    return kExitReadFailed;
  }
  const std::uint32_t early = checkCabinetEnd(*file, size);
  if (early != kExitOk) return early;
  auto* image = static_cast<unsigned char*>(allocZeroed(size));
  if (image == nullptr) {
    reportError("Cannot allocate %u bytes for file buffer", size);
    return kExitNoMemory;
  }
  std::uint32_t result;
  if (!platform::readAt(*file, 0, image, size)) {
    reportSystemError("Cannot read file (%s)");
    result = kExitReadFailed;
  } else {
    result = changeCabinet(command, file, image, size, identity);
  }
  freeBlock(image);
  return result;
}
