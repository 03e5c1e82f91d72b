// FileProcessing.cpp - open, read whole, check, show or change, write back.
// A cabinet (.cab) that carries a setup file goes its own way from the
// first four bytes on (CabinetProcessing.cpp).
//
// Nothing is written to the file unless every check has passed, and then
// only the 100 header bytes at offset 0: the file keeps its length and all
// bytes behind the header. The header write is all or nothing: it is not
// begun when the system would cut it short, and a write that stops halfway
// is undone, so no header is left part new and part old.
#include "app/FileProcessing.h"

#include <cstring>  // memcpy: the original header

#include "app/CabinetProcessing.h"
#include "app/ExitCodes.h"
#include "cabinet/Cabinet.h"
#include "header/HeaderReport.h"
#include "header/SetupHeader.h"
#include "runtime/Console.h"
#include "runtime/Platform.h"
#include "runtime/Runtime.h"

namespace {

// Writes the changed header at the current position, offset 0. When the
// write stops short, the bytes it did write are put back from original.
// Returns the exit code, after one error line on failure.
std::uint32_t writeHeader(platform::Handle file, const unsigned char* header,
                          const unsigned char* original) {
  std::uint32_t written = 0;
  if (platform::writeBytes(file, header, SetupHeader::kSize, &written) &&
      written == SetupHeader::kSize)
    return kExitOk;
  const std::uint32_t error = platform::lastError();

  // Only the first written bytes can differ from the file as it was.
  bool restored = written == 0;
  if (!restored) {
    std::uint32_t rewritten = 0;
    restored = platform::seekToStart(file) &&
               platform::writeBytes(file, original, written, &rewritten) &&
               rewritten == written;
  }
  char errorText[kErrorTextSize];
  describeError(errorText, sizeof errorText, error);
  if (restored) {
    reportError("Cannot write file (%s); the file is unchanged", errorText);
  } else {
    reportError("Cannot write file (%s); the header could not be restored",
                errorText);
  }
  return kExitWriteFailed;
}

}  // namespace

std::uint32_t processFile(const Command& command) {
  char errorText[kErrorTextSize];
  const bool change = command.action == Action::Change;

  platform::Handle file = platform::openFile(command.path, change);
  if (file == platform::kNoHandle) {
    reportError("Cannot open \"%s\" (%s)", command.path,
                describeError(errorText, sizeof errorText,
                              platform::lastError()));
    return kExitOpenFailed;
  }

  std::uint32_t result = kExitOk;
  unsigned char* buffer = nullptr;
  std::uint32_t size = 0;
  std::uint32_t sizeNow = 0;
  unsigned char original[SetupHeader::kSize];
  unsigned char magic[4];
  switch (platform::fileSize(file, &size)) {
    case platform::SizeResult::Ok:
      break;
    case platform::SizeResult::TooLarge:
      // The size would not fit the 32-bit size the rest of the tool uses,
      // nor the 32-bit sizes inside a cabinet.
      if (platform::readAt(file, 0, magic, sizeof magic) &&
          isCabinetSignature(magic, sizeof magic)) {
        reportError("Cabinet \"%s\" is too large (4 GiB or more)",
                    command.path);
        result = kExitUnhandledCabinet;
      } else {
        reportError("File \"%s\" is too large (4 GiB or more)", command.path);
        result = kExitOpenFailed;
      }
      goto done;
    case platform::SizeResult::Failed:
      size = 0;
      break;
  }
  if (size == 0) {
    reportError("Cannot get file size (%s)",
                describeError(errorText, sizeof errorText,
                              platform::lastError()));
    result = kExitOpenFailed;
    goto done;
  }

  // The first four bytes tell a cabinet from a setup file.
  if (size >= sizeof magic) {
    if (!platform::readAt(file, 0, magic, sizeof magic)) {
      reportError("Cannot read file (%s)",
                  describeError(errorText, sizeof errorText,
                                platform::lastError()));
      result = kExitReadFailed;
      goto done;
    }
    if (isCabinetSignature(magic, sizeof magic)) {
      result = processCabinet(command, &file, size);
      goto done;
    }
  }
  // A setup file has no signature to remove.
  if (command.unsign) {
    reportError("Invalid option for a setup file");
    result = kExitCommandLine;
    goto done;
  }

  buffer = static_cast<unsigned char*>(allocZeroed(size));
  if (buffer == nullptr) {
    reportError("Cannot allocate %u bytes for file buffer", size);
    result = kExitNoMemory;
    goto done;
  }

  if (!platform::readAt(file, 0, buffer, size)) {
    reportError("Cannot read file (%s)",
                describeError(errorText, sizeof errorText,
                              platform::lastError()));
    result = kExitReadFailed;
    goto done;
  }

  if (!validateHeader(buffer, size)) {
    result = kExitBadHeader;
    goto done;
  }

  if (!change) {
    showHeader(buffer, size);
    // A report that did not reach its reader is no result.
    if (outputFailed(nullptr)) result = kExitOutputFailed;
    goto done;
  }

  std::memcpy(original, buffer, sizeof original);
  applyChanges(buffer, command.changes);

  // A process that ignores the lock may have cut or grown the file since
  // it was read; the header in the buffer is then not the file's.
  switch (platform::fileSize(file, &sizeNow)) {
    case platform::SizeResult::Ok:
      if (sizeNow == size) break;
      [[fallthrough]];
    case platform::SizeResult::TooLarge:
      reportError("File changed while it was read");
      result = kExitReadFailed;
      goto done;
    case platform::SizeResult::Failed:
      reportError("Cannot get file size (%s)",
                  describeError(errorText, sizeof errorText,
                                platform::lastError()));
      result = kExitReadFailed;
      goto done;
  }

  // A header the system would cut short is not begun.
  if (!platform::writeLimitAllows(SetupHeader::kSize)) {
    reportError("Cannot write file (%s); the file is unchanged",
                describeError(errorText, sizeof errorText,
                              platform::lastError()));
    result = kExitWriteFailed;
    goto done;
  }
  if (!platform::seekToStart(file)) {
    reportError("Cannot set file position (%s)",
                describeError(errorText, sizeof errorText,
                              platform::lastError()));
    result = kExitSeekFailed;
    goto done;
  }
  result = writeHeader(file, buffer, original);

done:
  freeBlock(buffer);
  platform::closeHandle(file);
  return result;
}
