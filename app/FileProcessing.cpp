// FileProcessing.cpp - open, read whole, check, show or change, write back.
//
// Nothing is written to the file unless every check has passed, and then
// only the 100 header bytes at offset 0: the file keeps its length and all
// bytes behind the header.
#include "app/FileProcessing.h"

#include "app/ExitCodes.h"
#include "header/HeaderReport.h"
#include "header/SetupHeader.h"
#include "runtime/Console.h"
#include "runtime/Platform.h"
#include "runtime/Runtime.h"

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
  switch (platform::fileSize(file, &size)) {
    case platform::SizeResult::Ok:
      break;
    case platform::SizeResult::TooLarge:
      // The size would not fit the 32-bit size the rest of the tool uses.
      reportError("File \"%s\" is too large (4 GiB or more)", command.path);
      result = kExitOpenFailed;
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

  buffer = static_cast<unsigned char*>(allocZeroed(size));
  if (buffer == nullptr) {
    reportError("Cannot allocate %u bytes for file buffer", size);
    result = kExitNoMemory;
    goto done;
  }

  if (!platform::readExact(file, buffer, size)) {
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

  applyChanges(buffer, command.changes);
  if (!platform::seekToStart(file)) {
    reportError("Cannot set file position (%s)",
                describeError(errorText, sizeof errorText,
                              platform::lastError()));
    result = kExitSeekFailed;
    goto done;
  }
  {
    std::uint32_t written = 0;
    if (!platform::writeBytes(file, buffer, SetupHeader::kSize, &written) ||
        written != SetupHeader::kSize) {
      reportError("Cannot write file (%s)",
                  describeError(errorText, sizeof errorText,
                                platform::lastError()));
      result = kExitWriteFailed;
    }
  }

done:
  freeBlock(buffer);
  platform::closeHandle(file);
  return result;
}
