// HeaderReport.h - the report of a validated header and the changes that
// retarget it.
#ifndef SETUPHDR_HEADER_HEADERREPORT_H
#define SETUPHDR_HEADER_HEADERREPORT_H

#include <cstdint>

/// A CE version: major.minor build.
struct VersionTriple {
  std::uint32_t major;
  std::uint32_t minor;
  std::uint32_t build;
};

/// The changes asked for, each with its own given-flag.
struct ChangeRequest {
  bool archGiven;
  bool minVersionGiven;
  bool maxVersionGiven;
  std::uint32_t arch;
  VersionTriple minVersion;
  VersionTriple maxVersion;
  bool clearPlatforms;  // the unsupported-platforms list is lifted
};

/// Room of the joined unsupported-platforms list, NUL included.
constexpr std::uint32_t kPlatformListSize = 128;
constexpr std::uint32_t kPlatformListLimit = 127;  // bound of every append

/// Prints the report of the file's header on the output stream, 12 lines,
/// or 13 with a non-empty unsupported-platforms list. The file (size bytes)
/// must have passed validateHeader; no byte outside it is read. When the
/// output stream is a terminal, control bytes of the file's texts are
/// printed as '?'.
void showHeader(const unsigned char* file, std::uint32_t size);

/// Joins the unsupported-platforms names found at offset (length bytes) of
/// the file with ", " into list (kPlatformListSize bytes), cut at 126
/// characters. Names end at their NUL, or at the end of the file.
void joinPlatformList(const unsigned char* file, std::uint32_t size,
                      std::uint32_t offset, std::uint32_t length, char* list);

/// Stores the requested fields in the 100 header bytes and prints one line
/// per changed field. Lifting the unsupported-platforms list sets its length
/// to 0 and keeps its offset, as builders write a file without a list; the
/// names stay in the file, where nothing refers to them. No other byte
/// changes.
void applyChanges(unsigned char* header, const ChangeRequest& request);

/// Stores the requested fields as applyChanges does, printing nothing.
void storeChanges(unsigned char* header, const ChangeRequest& request);

/// Prints the lines of applyChanges for a request, storing nothing: the
/// change lines of a cabinet whose only install checks are its setup XML.
void printChanges(const ChangeRequest& request);

#endif
