// ListProcessing.cpp - the list action: a catalogue of the setup files in
// many files and folders, one tab-separated row or one JSON object each
// (ListRow.h), and for the JSON form one object for each path or file that
// cannot be listed.
//
// Each file is read the way the display reads it: a setup file whole, a
// cabinet only as far as its tables and the first bytes of its members.
// One file is open and one line is held at a time, so memory does not grow
// with the number of files; a folder's names are held while it is walked.
// The walk over folders and patterns is PathWalk.cpp's.
#include "app/ListProcessing.h"

#include "app/CabinetProcessing.h"
#include "app/ExitCodes.h"
#include "app/ListRow.h"
#include "app/PathWalk.h"
#include "cabinet/Cabinet.h"
#include "cabinet/CabinetFormat.h"
#include "cabinet/FileTable.h"
#include "cabinet/Programs.h"
#include "cabinet/SetupSearch.h"
#include "header/Endian.h"
#include "header/SetupHeader.h"
#include "header/SetupXml.h"
#include "runtime/Console.h"
#include "runtime/Platform.h"
#include "runtime/Runtime.h"
#include "text/Scan.h"

namespace {

// The state of one listing: the form asked for, and the line buffer kept
// from line to line.
struct Listing {
  bool json;
  ListLine line;
};

// Prints the line composed in the listing's buffer; false when memory ran
// out while composing it.
bool printLine(Listing* listing) {
  if (listing->line.full) return false;
  printBytes(listing->line.text, listing->line.used);
  return true;
}

// Notes that path could not be listed, just after its error line: in the
// JSON form, an object with the line's message and exitCode (lost with the
// line when memory runs out even for it). Returns false, for the caller.
bool listFailed(Listing* listing, const char* path, std::uint32_t exitCode) {
  if (listing->json) {
    clearListLine(&listing->line);
    appendListError(&listing->line, path, lastErrorMessage(), exitCode);
    printLine(listing);
  }
  return false;
}

// Prints the row or the object of one validated setup file (see
// makeListRecord). False after an error line.
bool printRecord(Listing* listing, const ListRecord& record) {
  clearListLine(&listing->line);
  if (listing->json) {
    appendListObject(&listing->line, record);
  } else {
    appendListRow(&listing->line, record);
  }
  if (printLine(listing)) return true;
  reportError("Cannot allocate memory for a row");
  return listFailed(listing, record.path, kExitNoMemory);
}

// ---------------------------------------------------------------------------
// Files

// The row of a cabinet's setup file, once it passes the check, with the
// cabinet's setup XML part (null without one). False after an error line.
bool listMember(Listing* listing, const char* path, const Cabinet& cabinet,
                const SetupMember& member, const ProgramFamilies& programs,
                const ListXml* xml) {
  // The checks know the member's size; the row reads no further than the
  // bytes held.
  if (!validateHeader(member.bytes, member.size))
    return listFailed(listing, path, kExitBadHeader);
  char buffer[CabFormat::kMaxNameSize];
  const char* name = cabFileName(cabinet, member.index, buffer);
  if (name == nullptr) return listFailed(listing, path, kExitReadFailed);
  ListRecord record = makeListRecord(path, member.bytes, member.held, name,
                                     cabinet.isSigned, &programs);
  record.xml = xml;
  return printRecord(listing, record);
}

// The cabinet's setup XML as read, and its part of the rows.
struct CabinetXml {
  SetupMember copy;
  SetupXml read;
  ListXml part;
};

// Reads the setup XML copied into xml->copy (the cabinet has one).
void readCabinetXml(CabinetXml* xml) {
  readSetupXml(xml->copy.bytes, xml->copy.size, &xml->read);
  xml->part = makeListXml(xml->read);
}

void releaseCabinetXml(CabinetXml* xml) {
  releaseSetupXml(&xml->read);
  freeBlock(xml->copy.bytes);
  xml->copy.bytes = nullptr;
}

// The row of a cabinet with only a setup XML. False after an error line.
bool listSetupXmlOnly(Listing* listing, const char* path,
                      const Cabinet& cabinet, const CabinetXml& xml,
                      const ProgramFamilies& programs) {
  char buffer[CabFormat::kMaxNameSize];
  const char* name = cabFileName(cabinet, xml.copy.index, buffer);
  if (name == nullptr) return listFailed(listing, path, kExitReadFailed);
  return printRecord(listing,
                     makeSetupXmlRecord(path, name, cabinet.isSigned,
                                        &programs, xml.read, &xml.part));
}

// The rows of a cabinet: one for each setup file, or one for its setup XML
// when that is all it carries. named: the user gave it, so a cabinet with
// neither is an error; found in a folder, it is passed over. False after an
// error line.
bool listCabinet(Listing* listing, const char* path, platform::Handle file,
                 std::uint32_t size, bool named) {
  const CabinetSource source = {nullptr, size, readCabinetRange, &file,
                                 false};
  Cabinet cabinet;
  CabStatus status = readCabinet(source, &cabinet);
  if (status != CabStatus::Ok)
    return listFailed(listing, path, exitCodeFor(status));

  // The usual cabinet, with one setup file: the display's own pass, which
  // copies it on the way. Quiet, since several setup files are no failure
  // here; a read error has had its line from the reader.
  CabinetSource quiet = source;
  quiet.quiet = true;
  SetupMember member = {};
  ProgramFamilies programs = {};
  CabinetXml xml = {};
  const bool hasXml = cabinet.setupXmlCount != 0;
  status = findSetupFile(quiet, &cabinet, &member, &programs, &xml.copy);
  if (status == CabStatus::Ok) {
    readCabinetXml(&xml);
    const bool listed =
        member.bytes != nullptr
            ? listMember(listing, path, cabinet, member, programs,
                         hasXml ? &xml.part : nullptr)
            : listSetupXmlOnly(listing, path, cabinet, xml, programs);
    freeBlock(member.bytes);
    releaseCabinetXml(&xml);
    return listed;
  }
  if (status == CabStatus::ReadFailed)
    return listFailed(listing, path, kExitReadFailed);

  // None or several: the pass again, saying what is wrong, or listing
  // each setup file, copied one at a time.
  CabinetScan scan;
  status = scanCabinet(source, &cabinet, &scan);
  if (status == CabStatus::Ok && hasXml && scan.setupCount != 0)
    status = copySetupXml(source, &cabinet, &xml.copy);
  if (status != CabStatus::Ok) {
    freeBlock(scan.setupIndices);
    return listFailed(listing, path, exitCodeFor(status));
  }
  if (hasXml) readCabinetXml(&xml);
  bool listed = scan.setupCount != 0;
  if (!listed && named) {
    reportError("No setup file in the cabinet");
    listFailed(listing, path, kExitBadHeader);
  } else if (!listed) {
    listed = true;  // neither setup file nor setup XML: not ours
  }
  for (std::uint32_t i = 0; i < scan.setupCount && !outputFailed(nullptr);
       ++i) {
    status = copySetupFile(source, &cabinet, scan.setupIndices[i], &member);
    if (status != CabStatus::Ok) {
      listed = listFailed(listing, path, exitCodeFor(status));
      continue;
    }
    if (!listMember(listing, path, cabinet, member, scan.programs,
                    hasXml ? &xml.part : nullptr))
      listed = false;
    freeBlock(member.bytes);
  }
  freeBlock(scan.setupIndices);
  releaseCabinetXml(&xml);
  return listed;
}

// The row of a setup file on its own, read whole as the display reads it.
bool listSetupFile(Listing* listing, const char* path, platform::Handle file,
                   std::uint32_t size) {
  auto* buffer = static_cast<unsigned char*>(allocZeroed(size));
  if (buffer == nullptr) {
    reportError("Cannot allocate %u bytes for file buffer", size);
    return listFailed(listing, path, kExitNoMemory);
  }
  bool listed = false;
  if (!platform::readAt(file, 0, buffer, size)) {
    reportSystemError("Cannot read file (%s)");
    listFailed(listing, path, kExitReadFailed);
  } else if (!validateHeader(buffer, size)) {
    listFailed(listing, path, kExitBadHeader);
  } else {
    listed = printRecord(listing, makeListRecord(path, buffer, size, nullptr,
                                                 false, nullptr));
  }
  freeBlock(buffer);
  return listed;
}

// Lists the file at path (the walk's VisitFile, context the Listing).
// named: the user gave it, so a file that is not a setup file or a cabinet
// is an error; found in a folder, it is passed over. False after an error
// line; each error gets its exit code, the one the display would give.
bool listFile(void* context, const char* path, bool named) {
  auto* listing = static_cast<Listing*>(context);
  platform::Handle file = platform::openFile(path, false);
  if (file == platform::kNoHandle) {
    char errorText[kErrorTextSize];
    reportError("Cannot open \"%s\" (%s)", path,
                describeError(errorText, sizeof errorText,
                              platform::lastError()));
    return listFailed(listing, path, kExitOpenFailed);
  }
  std::uint32_t size = 0;
  unsigned char magic[4] = {};
  const platform::SizeResult sized = platform::fileSize(file, &size);
  bool listed = true;
  if (sized == platform::SizeResult::Failed) size = 0;
  const bool hasMagic = sized == platform::SizeResult::TooLarge ||
                        size >= sizeof magic;
  if (hasMagic && !platform::readAt(file, 0, magic, sizeof magic)) {
    reportSystemError("Cannot read file (%s)");
    listed = listFailed(listing, path, kExitReadFailed);
  } else if (!named && !isCabinetSignature(magic, sizeof magic) &&
             readLE32(magic) != SetupHeader::kSignatureValue) {
    // Not ours: passed over.
  } else if (sized == platform::SizeResult::TooLarge) {
    if (isCabinetSignature(magic, sizeof magic)) {
      reportError("Cabinet \"%s\" is too large (4 GiB or more)", path);
      listed = listFailed(listing, path, kExitUnhandledCabinet);
    } else {
      reportError("File \"%s\" is too large (4 GiB or more)", path);
      listed = listFailed(listing, path, kExitOpenFailed);
    }
  } else if (size == 0 && sized == platform::SizeResult::Ok) {
    // The display's "Cannot get file size" would hide what is wrong.
    reportError("File is empty");
    listed = listFailed(listing, path, kExitOpenFailed);
  } else if (size == 0) {
    reportSystemError("Cannot get file size (%s)");
    listed = listFailed(listing, path, kExitOpenFailed);
  } else if (isCabinetSignature(magic, sizeof magic)) {
    listed = listCabinet(listing, path, file, size, named);
  } else {
    listed = listSetupFile(listing, path, file, size);
  }
  platform::closeHandle(file);
  return listed;
}

// The walk's own failures (WalkFailed): a folder or a pattern that cannot
// be walked, or a path too long, has no file whose display to follow, and
// gives the list's own code.
void walkFailed(void* context, const char* path) {
  listFailed(static_cast<Listing*>(context), path, kExitListFailed);
}

}  // namespace

std::uint32_t listFiles(const Command& command) {
  if (!command.json) printBytes(kListHeaderRow, sizeof kListHeaderRow - 1);
  auto* walk = static_cast<PathWalk*>(allocZeroed(sizeof(PathWalk)));
  if (walk == nullptr) {
    reportError("Cannot allocate %u bytes for file buffer",
                static_cast<std::uint32_t>(sizeof(PathWalk)));
    return kExitNoMemory;
  }
  Listing listing = {command.json, ListLine{nullptr, 0, 0, false}};
  walk->visit = listFile;
  walk->failedHook = walkFailed;
  walk->context = &listing;
  // The paths were checked when the command line was read.
  const char* position = command.paths;
  bool going = !outputFailed(nullptr);
  while (going && *position != '\0') {
    char word[kPathSize];
    position = skipBlanks(readPathWord(position, word));
    going = walkPath(walk, word);
  }
  setErrorPrefix(nullptr);
  const bool failed = walk->failed;
  freeListLine(&listing.line);
  freeBlock(walk);
  if (outputFailed(nullptr)) return kExitOutputFailed;
  return failed ? kExitListFailed : kExitOk;
}
