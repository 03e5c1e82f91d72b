// Programs.h - the processor families of a cabinet's programs, and of the
// architecture codes a setup file names.
//
// A member is a program when it is a PE file: "MZ" at 0, and "PE\0\0" at
// the offset stored at 0x3C. Its family comes from the machine field of the
// PE file header; a PE file with a CLI header (data directory 14) holds
// .NET code, whatever its machine. Only the first kProgramHeadSize bytes of
// a member are looked at: a PE header beyond them counts as no program.
//
// A relabel of the setup file's architecture works within a family (the
// ARM cores all run ARM code) and not across families.
#ifndef SETUPHDR_CABINET_PROGRAMS_H
#define SETUPHDR_CABINET_PROGRAMS_H

#include <cstdint>

/// The bytes of a member's start that are looked at.
constexpr std::uint32_t kProgramHeadSize = 4096;
/// A smaller member has no room for the PE header's offset at 0x3C.
constexpr std::uint32_t kSmallestProgram = 0x40;

/// A processor family: one of the named values below, or kFamilyMachine
/// plus a PE machine value that has no family name.
using ProgramFamily = std::uint32_t;
constexpr ProgramFamily kNoFamily = 0;
constexpr ProgramFamily kFamilyArm = 1;
constexpr ProgramFamily kFamilyMips = 2;
constexpr ProgramFamily kFamilySh3 = 3;
constexpr ProgramFamily kFamilySh4 = 4;
constexpr ProgramFamily kFamilyX86 = 5;
constexpr ProgramFamily kFamilyPowerPc = 6;
constexpr ProgramFamily kFamilyAlpha = 7;
constexpr ProgramFamily kFamilyDotNet = 8;
constexpr ProgramFamily kFamilyMachine = 0x10000;

/// Room for a family's name, NUL included ("PowerPC", "0x0EBC").
constexpr std::uint32_t kFamilyNameSize = 8;

/// The family of the program whose first size bytes are head (size at most
/// kProgramHeadSize, less when the member is shorter), or kNoFamily when
/// they are not a PE file.
ProgramFamily classifyProgram(const unsigned char* head, std::uint32_t size);

/// The family whose code an architecture code of the setup file runs, or
/// kNoFamily for 0 (Any) and for codes outside the architecture table.
ProgramFamily archFamily(std::uint32_t code);

/// The name of a family ("ARM", ".NET", or "0x" and four hex digits) in
/// buffer (kFamilyNameSize bytes). Returns buffer.
const char* familyName(ProgramFamily family, char* buffer);

/// At most this many families are kept: those of the first members.
constexpr std::uint32_t kMaxProgramFamilies = 16;

/// The families of a cabinet's programs, each once, in the order of the
/// first member (by member index) of each.
struct ProgramFamilies {
  std::uint32_t count;
  ProgramFamily families[kMaxProgramFamilies];
  std::uint32_t firstMember[kMaxProgramFamilies];  // member index
};

/// Notes that member (a member index) is a program of family. Members may
/// come in any order; the list stays in the order of their indices.
void addProgramFamily(ProgramFamilies* list, ProgramFamily family,
                      std::uint32_t member);

/// Notes the family of member (a member index) whose first size bytes are
/// head (see classifyProgram), when it is a program.
void noteProgramHead(ProgramFamilies* list, const unsigned char* head,
                     std::uint32_t size, std::uint32_t member);

/// The families of list other than family and .NET, in list's order: the
/// programs a relabel to family would not make run.
ProgramFamilies otherFamilies(const ProgramFamilies& list,
                              ProgramFamily family);

/// Room for a joined list: every family's name and a two-character
/// separator.
constexpr std::uint32_t kFamilyListSize =
    kMaxProgramFamilies * (kFamilyNameSize + 1);

/// Joins the names of list with separator (", " for the display, "," for
/// a column) into text (kFamilyListSize bytes), or "none" when list is
/// empty. The separator has at most two characters. Returns text.
const char* formatProgramFamilies(const ProgramFamilies& list,
                                  const char* separator, char* text);

#endif
