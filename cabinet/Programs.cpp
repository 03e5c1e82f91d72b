// Programs.cpp - telling a program's processor family from its PE header,
// and an architecture code's family from the architecture table's codes.
//
// The PE layout (Microsoft's PE/COFF description): the DOS header holds at
// 0x3C the offset of the signature "PE\0\0"; the 20-byte file header
// follows, with the machine at +0 and the optional header's size at +16;
// the optional header follows that, starting with its magic, 0x10B (PE32)
// or 0x20B (PE32+), which decides where its data directories lie.
#include "cabinet/Programs.h"

#include <cstring>

#include "header/Endian.h"

namespace {

constexpr std::uint32_t kPeOffset = 0x3C;       // in the DOS header
constexpr std::uint32_t kFileHeaderSize = 20;   // behind the signature
constexpr std::uint32_t kMachine = 0;           // in the file header
constexpr std::uint32_t kOptionalSize = 16;     // in the file header
constexpr std::uint16_t kPe32Magic = 0x10B;
constexpr std::uint16_t kPe32PlusMagic = 0x20B;
// In the optional header: the directory count and the first directory,
// for PE32 and for PE32+.
constexpr std::uint32_t kPe32Directories = 96;
constexpr std::uint32_t kPe32PlusDirectories = 112;
constexpr std::uint32_t kDirectorySize = 8;     // address, size
constexpr std::uint32_t kCliDirectory = 14;     // the CLI (.NET) header

struct MachineRow {
  std::uint16_t machine;
  ProgramFamily family;
};

// The PE machine values of the families.
constexpr MachineRow kMachines[] = {
    {0x01C0, kFamilyArm},     // ARM
    {0x01C2, kFamilyArm},     // Thumb
    {0x01C4, kFamilyArm},     // ARMv7 Thumb-2
    {0x0166, kFamilyMips},    // R4000
    {0x0169, kFamilyMips},    // WCE MIPS v2
    {0x0266, kFamilyMips},    // MIPS16
    {0x0366, kFamilyMips},    // MIPS with FPU
    {0x0466, kFamilyMips},    // MIPS16 with FPU
    {0x01A2, kFamilySh3},     // SH3
    {0x01A3, kFamilySh3},     // SH3 DSP
    {0x01A4, kFamilySh3},     // SH3E
    {0x01A6, kFamilySh4},     // SH4
    {0x014C, kFamilyX86},     // i386
    {0x01F0, kFamilyPowerPc}, // PowerPC
    {0x01F1, kFamilyPowerPc}, // PowerPC with FPU
    {0x0184, kFamilyAlpha},   // Alpha AXP
};

struct ArchRow {
  std::uint32_t code;
  ProgramFamily family;
};

// Every code of the architecture table but 0 (Any).
constexpr ArchRow kArchFamilies[] = {
    {1824, kFamilyArm},      {2080, kFamilyArm},      {2336, kFamilyArm},
    {2577, kFamilyArm},      {70001, kFamilyArm},     {4000, kFamilyMips},
    {103, kFamilySh3},       {10003, kFamilySh3},     {10004, kFamilySh3},
    {104, kFamilySh4},       {10005, kFamilySh4},     {386, kFamilyX86},
    {486, kFamilyX86},       {586, kFamilyX86},       {601, kFamilyPowerPc},
    {603, kFamilyPowerPc},   {604, kFamilyPowerPc},   {620, kFamilyPowerPc},
    {821, kFamilyPowerPc},   {21064, kFamilyAlpha},
};

const char* const kFamilyNames[] = {"", "ARM", "MIPS", "SH3", "SH4",
                                    "x86", "PowerPC", "Alpha", ".NET"};

// True when the optional header at optional (optionalSize bytes by the
// file header, of which the head may hold fewer) has a non-empty CLI
// directory. Every read lies inside the size bytes of head.
bool hasCliHeader(const unsigned char* head, std::uint32_t size,
                  std::uint32_t optional, std::uint32_t optionalSize) {
  if (size - optional < 2) return false;
  const std::uint16_t magic = readLE16(head + optional);
  std::uint32_t directories;
  if (magic == kPe32Magic) {
    directories = kPe32Directories;
  } else if (magic == kPe32PlusMagic) {
    directories = kPe32PlusDirectories;
  } else {
    return false;
  }
  // The directory count sits right before the directories.
  const std::uint32_t entry = directories + kCliDirectory * kDirectorySize;
  if (optionalSize < entry + kDirectorySize ||
      size - optional < entry + kDirectorySize)
    return false;
  const unsigned char* base = head + optional;
  return readLE32(base + directories - 4) > kCliDirectory &&
         readLE32(base + entry + 4) != 0;
}

}  // namespace

ProgramFamily classifyProgram(const unsigned char* head, std::uint32_t size) {
  if (size > kProgramHeadSize) size = kProgramHeadSize;
  if (size < kSmallestProgram || head[0] != 'M' || head[1] != 'Z')
    return kNoFamily;
  // The signature and the file header must lie in the bytes looked at.
  const std::uint32_t pe = readLE32(head + kPeOffset);
  if (pe > size || size - pe < 4 + kFileHeaderSize ||
      std::memcmp(head + pe, "PE\0\0", 4) != 0)
    return kNoFamily;
  const unsigned char* fileHeader = head + pe + 4;
  if (hasCliHeader(head, size, pe + 4 + kFileHeaderSize,
                   readLE16(fileHeader + kOptionalSize)))
    return kFamilyDotNet;
  const std::uint16_t machine = readLE16(fileHeader + kMachine);
  for (const MachineRow& row : kMachines) {
    if (row.machine == machine) return row.family;
  }
  return kFamilyMachine + machine;
}

ProgramFamily archFamily(std::uint32_t code) {
  for (const ArchRow& row : kArchFamilies) {
    if (row.code == code) return row.family;
  }
  return kNoFamily;
}

const char* familyName(ProgramFamily family, char* buffer) {
  if (family < kFamilyMachine) {
    const char* name = family < sizeof kFamilyNames / sizeof kFamilyNames[0]
                           ? kFamilyNames[family]
                           : "";
    std::strcpy(buffer, name);
    return buffer;
  }
  // "0x" and the machine value in four upper-case hex digits.
  const char* const digits = "0123456789ABCDEF";
  const std::uint32_t machine = family - kFamilyMachine;
  buffer[0] = '0';
  buffer[1] = 'x';
  for (int i = 0; i < 4; ++i)
    buffer[2 + i] = digits[(machine >> (12 - 4 * i)) & 0xF];
  buffer[6] = '\0';
  return buffer;
}

void addProgramFamily(ProgramFamilies* list, ProgramFamily family,
                      std::uint32_t member) {
  // Known already: it may now have an earlier first member.
  std::uint32_t at = list->count;
  for (std::uint32_t i = 0; i < list->count; ++i) {
    if (list->families[i] != family) continue;
    if (member >= list->firstMember[i]) return;
    at = i;
    break;
  }
  if (at == list->count) {
    // New: a full list keeps the families of its first members.
    if (list->count == kMaxProgramFamilies) {
      at = kMaxProgramFamilies - 1;
      if (member >= list->firstMember[at]) return;
    } else {
      ++list->count;
    }
  }
  // Move it forward to its place by first member.
  while (at > 0 && list->firstMember[at - 1] > member) {
    list->families[at] = list->families[at - 1];
    list->firstMember[at] = list->firstMember[at - 1];
    --at;
  }
  list->families[at] = family;
  list->firstMember[at] = member;
}

void noteProgramHead(ProgramFamilies* list, const unsigned char* head,
                     std::uint32_t size, std::uint32_t member) {
  const ProgramFamily family = classifyProgram(head, size);
  if (family != kNoFamily) addProgramFamily(list, family, member);
}

ProgramFamilies otherFamilies(const ProgramFamilies& list,
                              ProgramFamily family) {
  ProgramFamilies others = {};
  for (std::uint32_t i = 0; i < list.count; ++i) {
    if (list.families[i] == family || list.families[i] == kFamilyDotNet)
      continue;
    others.families[others.count] = list.families[i];
    others.firstMember[others.count] = list.firstMember[i];
    ++others.count;
  }
  return others;
}

const char* formatProgramFamilies(const ProgramFamilies& list,
                                  const char* separator, char* text) {
  if (list.count == 0) {
    std::strcpy(text, "none");
    return text;
  }
  text[0] = '\0';
  char name[kFamilyNameSize];
  for (std::uint32_t i = 0; i < list.count; ++i) {
    if (i != 0) std::strcat(text, separator);
    std::strcat(text, familyName(list.families[i], name));
  }
  return text;
}
