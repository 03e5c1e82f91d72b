// ListRow.h - one setup file of the list action: the record of its fields,
// filled once from its validated header, and the record's two forms, the
// tab-separated row and the JSON object (with the object of a path that
// could not be listed), composed in a line buffer.
#ifndef SETUPHDR_APP_LISTROW_H
#define SETUPHDR_APP_LISTROW_H

#include <cstddef>
#include <cstdint>

#include "cabinet/Programs.h"
#include "header/HeaderReport.h"  // VersionTriple
#include "header/SetupXml.h"
#include "header/SetupXmlReport.h"

/// The first line of the tab-separated form, CR LF included.
constexpr char kListHeaderRow[] =
    "path\tmember\tarch\tarch name\tmin version\tmax version\t"
    "unsupported platforms\tsigned\tprograms\tapp name\tprovider\t"
    "xml arch\txml min\txml max\r\n";

/// A text of a setup file: length bytes, without its NUL.
struct ListText {
  const unsigned char* bytes;
  std::uint32_t length;
};

/// What a cabinet's setup XML asks of the device: each part only where the
/// XML gives it as a number (a version's build only with its BuildNumber
/// parm), and the three fields of the row as the XML's lines write them.
struct ListXml {
  bool hasArch;
  std::uint32_t arch;
  bool hasMin;
  bool hasMinBuild;
  VersionTriple min;
  bool hasMax;
  bool hasMaxBuild;
  VersionTriple max;
  char archField[kSetupXmlListFieldSize];
  char minField[kSetupXmlListFieldSize];
  char maxField[kSetupXmlListFieldSize];
};

/// The list's part of a setup XML as read (readable or not: an unreadable
/// one gives no part, and empty fields).
ListXml makeListXml(const SetupXml& xml);

/// The fields of one listed setup file. The texts point into the setup
/// file's bytes and the names into the caller's: all must outlive it.
struct ListRecord {
  const char* path;    // the path walked to the file
  const char* member;  // the cabinet member's name; null: a setup file
  bool hasSetup;       // false: a cabinet with only a setup XML, whose
                       // setup-file fields are empty; member names the XML
  std::uint32_t arch;
  VersionTriple min;
  VersionTriple max;
  const unsigned char* file;  // the setup file's bytes held, for the
  std::uint32_t held;         // names of the unsupported platforms,
  std::uint32_t platformsStart;  // whose block runs from start to end
  std::uint32_t platformsEnd;
  bool isSigned;                    // a cabinet's: with a member only
  const ProgramFamilies* programs;  // a cabinet's; null for a setup file
  ListText app;        // the setup XML's AppName (UTF-8) without hasSetup
  ListText provider;
  const ListXml* xml;  // null: no setup XML
};

/// The record of a setup file at path whose first held bytes are file and
/// which passed validateHeader: member is the cabinet member's name, or
/// null for a setup file on its own; isSigned and programs are the
/// cabinet's (ignored without a member). Reads no byte outside file.
ListRecord makeListRecord(const char* path, const unsigned char* file,
                          std::uint32_t held, const char* member,
                          bool isSigned, const ProgramFamilies* programs);

/// The record of a cabinet at path that carries only a setup XML (member
/// its name, xml as read and as makeListXml made it, both outliving the
/// record): the setup-file fields empty, the app name the XML's.
ListRecord makeSetupXmlRecord(const char* path, const char* member,
                              bool isSigned, const ProgramFamilies* programs,
                              const SetupXml& xml, const ListXml* part);

/// One line being composed, in a block that grows as needed and is kept
/// for the next line. Start it zeroed; release it with freeListLine.
struct ListLine {
  char* text;
  std::size_t used;
  std::size_t room;
  bool full;  // memory ran out: the line is incomplete, not to be printed
};

/// Empties line for the next line, keeping its block.
void clearListLine(ListLine* line);

/// Releases line's block.
void freeListLine(ListLine* line);

/// Appends the record's tab-separated row and CR LF: path, member, arch,
/// arch name, min and max as major.minor.build, the platforms joined with
/// ",", signed (yes/no), the programs joined with ",", app, provider, and
/// the setup XML's arch, min and max (major.minor.build, or major.minor
/// without a BuildNumber parm; empty without a setup XML or a parm). Every
/// byte 0x00 to 0x1F and 0x7F is written as '?', so no name can break the
/// row; others as they are.
void appendListRow(ListLine* line, const ListRecord& record);

/// Appends the record's JSON object and CR LF, its members in this order:
/// path, member, arch, archName, min, max, platforms, signed, programs,
/// app, provider, xml; ": " after a name, ", " between members and items.
/// Strings are written in ASCII: each byte of 0x80 and above as the
/// character of the same number (\u0080 to \u00ff), control bytes escaped;
/// but the setup XML's app name, which is Unicode, as its characters. A
/// record without a setup file has null for arch, archName, min, max and
/// provider. xml is null without a setup XML, else {"arch", "min", "max"},
/// each null where the XML does not give it as a number (a version's build
/// null without its BuildNumber parm).
void appendListObject(ListLine* line, const ListRecord& record);

/// Appends the JSON object of a path that could not be listed, and CR LF:
/// {"path": path, "error": message, "exit": exitCode}, strings as above.
void appendListError(ListLine* line, const char* path, const char* message,
                     std::uint32_t exitCode);

#endif
