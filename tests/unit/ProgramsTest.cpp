// ProgramsTest.cpp - the processor family of a program from PE headers
// built here, the family of each architecture code, and the list of a
// cabinet's families.
#include <gtest/gtest.h>

#include <string>

#include "../support/CabBuilder.h"
#include "cabinet/Programs.h"
#include "header/ArchTable.h"

namespace {

// The family of bytes, by name ("" for no program).
std::string familyOf(const std::string& bytes) {
  char name[kFamilyNameSize];
  const ProgramFamily family = classifyProgram(
      reinterpret_cast<const unsigned char*>(bytes.data()),
      static_cast<std::uint32_t>(bytes.size()));
  return family == kNoFamily ? "" : familyName(family, name);
}

TEST(ProgramsTest, FamilyOfEveryMachineAndOfPeHeadersThatDoNotCount) {
  using cabtest::PeFile;
  struct Case {
    const char* name;
    std::string bytes;
    const char* family;
  };
  PeFile cli32, cli64, noDirectory, shortOptional, far;
  cli32.cli = cli64.cli = noDirectory.cli = shortOptional.cli = true;
  cli64.plus = true;
  noDirectory.directories = 14;  // the slot of the CLI header is not one
  shortOptional.optionalSize = 96 + 14 * 8;
  far.offset = 4096 - 24;  // the file header ends on the 4 KiB bound
  const std::string arm = cabtest::peFile({});
  std::string notPe = arm;
  notPe[0x80 + 1] = 'X';
  const Case cases[] = {
      {"ARM", arm, "ARM"},
      {"Thumb", cabtest::peFile({0x01C2}), "ARM"},
      {"ARMv7", cabtest::peFile({0x01C4}), "ARM"},
      {"R4000", cabtest::peFile({0x0166}), "MIPS"},
      {"WCE MIPS v2", cabtest::peFile({0x0169}), "MIPS"},
      {"MIPS16", cabtest::peFile({0x0266}), "MIPS"},
      {"MIPS FPU", cabtest::peFile({0x0366}), "MIPS"},
      {"MIPS16 FPU", cabtest::peFile({0x0466}), "MIPS"},
      {"SH3", cabtest::peFile({0x01A2}), "SH3"},
      {"SH3 DSP", cabtest::peFile({0x01A3}), "SH3"},
      {"SH3E", cabtest::peFile({0x01A4}), "SH3"},
      {"SH4", cabtest::peFile({0x01A6}), "SH4"},
      {"i386", cabtest::peFile({0x014C}), "x86"},
      {"PowerPC", cabtest::peFile({0x01F0}), "PowerPC"},
      {"PowerPC FPU", cabtest::peFile({0x01F1}), "PowerPC"},
      {"Alpha", cabtest::peFile({0x0184}), "Alpha"},
      {"no family", cabtest::peFile({0x0EBC}), "0x0EBC"},
      {"CLI header, PE32", cabtest::peFile(cli32), ".NET"},
      {"CLI header, PE32+", cabtest::peFile(cli64), ".NET"},
      {"14 directories", cabtest::peFile(noDirectory), "ARM"},
      {"optional header without it", cabtest::peFile(shortOptional), "ARM"},
      {"file header ends at 4 KiB", cabtest::peFile(far), "ARM"},
      {"file header past 4 KiB", cabtest::peFile({0x01C0, 4096 - 23}), ""},
      {"cut inside the file header", arm.substr(0, 0x80 + 23), ""},
      {"cut before the PE offset", arm.substr(0, 0x3F), ""},
      {"no PE signature", notPe, ""},
      {"no MZ", "ZM" + arm.substr(2), ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(familyOf(c.bytes), c.family);
  }
}

TEST(ProgramsTest, EveryArchitectureButAnyHasAFamily) {
  for (const ArchEntry& entry : kArchTable)
    EXPECT_EQ(archFamily(entry.code) == kNoFamily, entry.code == 0)
        << entry.name;
  EXPECT_EQ(archFamily(70001), kFamilyArm);
  EXPECT_EQ(archFamily(10004), kFamilySh3);
  EXPECT_EQ(archFamily(821), kFamilyPowerPc);
}

TEST(ProgramsTest, FamiliesInTheOrderOfTheirFirstMembers) {
  ProgramFamilies list = {};
  char text[kFamilyListSize];
  EXPECT_STREQ(formatProgramFamilies(list, ", ", text), "none");
  addProgramFamily(&list, kFamilyDotNet, 7);
  addProgramFamily(&list, kFamilyMips, 9);
  addProgramFamily(&list, kFamilyArm, 3);
  addProgramFamily(&list, kFamilyMips, 2);  // an earlier member moves it
  addProgramFamily(&list, kFamilyArm, 8);
  EXPECT_STREQ(formatProgramFamilies(list, ", ", text), "MIPS, ARM, .NET");
  EXPECT_STREQ(formatProgramFamilies(list, ",", text), "MIPS,ARM,.NET");
  EXPECT_STREQ(formatProgramFamilies(otherFamilies(list, kFamilyArm), ", ",
                                     text),
               "MIPS");

  // A full list keeps the families of the first members.
  for (std::uint32_t i = 0; i < 20; ++i)
    addProgramFamily(&list, kFamilyMachine + 0x100 + i, 100 - i);
  ASSERT_EQ(list.count, kMaxProgramFamilies);
  EXPECT_EQ(list.families[kMaxProgramFamilies - 1],
            kFamilyMachine + 0x100 + 7);
}

}  // namespace
