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
#include "header/HeaderReport.h"
#include "header/SetupHeader.h"
#include "runtime/Console.h"
#include "runtime/Runtime.h"

namespace {

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

// The setup file's report, then what the cabinet adds to it.
std::uint32_t showCabinet(platform::Handle file, std::uint32_t size) {
  const CabinetSource source = {nullptr, size, readCabinetRange, &file,
                                 false};
  Cabinet cabinet;
  CabStatus status = readCabinet(source, &cabinet);
  SetupMember member = {};
  ProgramFamilies programs = {};
  if (status == CabStatus::Ok)
    status = findSetupFile(source, &cabinet, &member, &programs);
  if (status != CabStatus::Ok) return exitCodeFor(status);

  std::uint32_t result = kExitOk;
  // The checks know the member's size; the report reads no further than
  // the bytes held.
  char name[CabFormat::kMaxNameSize];
  if (!validateHeader(member.bytes, member.size)) {
    result = kExitBadHeader;
  } else if (nameForError(cabinet, member.index, name) == nullptr) {
    result = kExitReadFailed;  // the report is not started without it
  } else {
    showHeader(member.bytes, member.held);
    const CabMember& entry = cabinet.members[member.index];
    printMessage("Cabinet member: %s", name);
    printMessage("Cabinet folder: %u (%s)", static_cast<unsigned>(entry.folder),
                 compressionName(cabinet.folders[entry.folder].compression));
    printMessage("Cabinet signed: %s", cabinet.isSigned ? "yes" : "no");
    char families[kFamilyListSize];
    printMessage("Cabinet programs: %s",
                 formatProgramFamilies(programs, ", ", families));
    // A report that did not reach its reader is no result.
    if (outputFailed(nullptr)) result = kExitOutputFailed;
  }
  freeBlock(member.bytes);
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

// The change of the setup file in a cabinet held whole in memory.
std::uint32_t changeCabinet(const Command& command, platform::Handle* file,
                            const unsigned char* image, std::uint32_t size,
                            const platform::FileIdentity& identity) {
  const CabinetSource source = {image, size, nullptr, nullptr, false};
  Cabinet cabinet;
  ChangePass pass;
  std::memset(&pass, 0, sizeof pass);
  CabStatus status = readCabinet(source, &cabinet);
  // One pass checks every block, finds the setup file and the programs'
  // families and makes the new blocks the change needs.
  if (status == CabStatus::Ok)
    status = passCabinet(source, &cabinet, command.changes, &pass);
  const SetupMember& member = pass.member;
  std::uint32_t result = kExitOk;
  RebuildResult rebuilt = {};
  unsigned char newHeader[SetupHeader::kSize];
  const RebuildRequest request = {&member, newHeader, &command.changes,
                                  command.unsign};
  if (status != CabStatus::Ok) {
    result = exitCodeFor(status);
    goto done;
  }
  if (!validateHeader(member.bytes, member.size)) {
    result = kExitBadHeader;
    goto done;
  }
  {
    const ChangeRequest& changes = command.changes;
    if ((changes.archGiven || changes.minVersionGiven ||
         changes.maxVersionGiven || changes.clearPlatforms) &&
        checkSetupFileAlone(cabinet, member) != CabStatus::Ok) {
      result = kExitUnhandledCabinet;
      goto done;
    }
  }
  if (cabinet.isSigned && !command.unsign) {
    reportError("Cabinet is signed: a change would break its signature "
                "(add -unsign to remove it)");
    result = kExitSignedCabinet;
    goto done;
  }

  std::memcpy(newHeader, member.bytes, sizeof newHeader);
  applyChanges(newHeader, command.changes);
  if (command.unsign)
    printMessage(cabinet.isSigned ? "Signature removed"
                                  : "No signature to remove");
  if (command.changes.archGiven)
    warnOtherFamilies(pass.programs, command.changes.arch);

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
