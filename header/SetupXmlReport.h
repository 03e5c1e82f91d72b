// SetupXmlReport.h - the setup XML's lines in the display, its comparison
// with the setup file's header, and its fields in a list row.
#ifndef SETUPHDR_HEADER_SETUPXMLREPORT_H
#define SETUPHDR_HEADER_SETUPXMLREPORT_H

#include <cstddef>
#include <cstdint>

#include "header/SetupXml.h"

/// Prints the setup XML's block of the display on the output stream. For a
/// readable document, five lines:
///   Setup XML: NAME
///   XML app name: NSB Runtime
///   XML architecture: 2336 (ARM_920)
///   XML WinCE version min: 4.0
///   XML WinCE version max: 100.0 build 3758096384
/// The architecture is named as the setup file's Architecture line names
/// it, "(unknown)" included; a version line adds " build N" (N unsigned)
/// when the matching BuildNumber parm is present, whether or not the
/// OSVersion parm is. An absent parm shows as "not set"; a value that does
/// not parse shows in double quotes followed by " (not a number)", cut at
/// 400 bytes. Every value is decoded text, so its control bytes are shown
/// as '?' on every stream, and a cut never splits a UTF-8 character. For an
/// unreadable document the one line
///   Setup XML: NAME cannot be read (line 12: mismatched tag)
/// and for one that ran out of memory "... cannot be read (not enough
/// memory)". name is the member's name, masked by the caller.
void showSetupXml(const SetupXml& xml, const char* name);

/// Bits of what a readable setup XML and a setup file's header disagree on.
enum SetupXmlDisagreement : std::uint32_t {
  kXmlDisagreesOnArch = 1,
  kXmlDisagreesOnMinVersion = 2,
  kXmlDisagreesOnMaxVersion = 4
};

/// What the present parms of xml say otherwise than the 100 header bytes
/// of a validated setup file: ProcessorType against the architecture,
/// OSVersionMin/Max against the version's major and minor parts,
/// BuildNumberMin/Max against its build. An absent parm agrees with
/// anything (the device does not check it); a present value that does not
/// parse disagrees (it cannot name the header's number). 0 for a document
/// that is not readable.
std::uint32_t findSetupXmlDisagreement(const SetupXml& xml,
                                       const unsigned char* header);

/// Prints, when they disagree, the one line
///   Warning: the setup XML and the setup file disagree on architecture,
///   version min, version max
/// naming only what differs, in that order; nothing otherwise.
void showSetupXmlDisagreement(const SetupXml& xml,
                              const unsigned char* header);

/// The setup-XML fields at the end of a list row.
enum class SetupXmlListField { Arch, MinVersion, MaxVersion };

/// Room that holds every field of numbers, NUL included.
constexpr std::size_t kSetupXmlListFieldSize = 40;

/// Writes one list field of xml into buffer (capacity bytes, at least 1,
/// NUL-terminated) and returns its length:
///   Arch: the ProcessorType code in decimal ("2336");
///   MinVersion/MaxVersion: "major.minor.build", or "major.minor" without a
///   BuildNumber parm.
/// Empty when xml is null or not readable, or for an absent ProcessorType or
/// OSVersion parm. A value that does not parse is written in double quotes
/// in its place ("4.0.\"x\""), cut to fit; the caller masks control bytes.
std::size_t formatSetupXmlListField(const SetupXml* xml,
                                    SetupXmlListField field, char* buffer,
                                    std::size_t capacity);

#endif
