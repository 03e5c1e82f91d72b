// ArchTable.cpp - the architecture codes known to the tool.
#include "header/ArchTable.h"

const ArchEntry kArchTable[kArchTableSize] = {
    {0, "Any"},
    {103, "SHx_SH3"},
    {104, "SHx_SH4"},
    {386, "i386"},
    {486, "i486"},
    {586, "Pentium"},
    {601, "PowerPC_601"},
    {603, "PowerPC_603"},
    {604, "PowerPC_604"},
    {620, "PowerPC_620"},
    {821, "Motorola_821"},
    {1824, "ARM_720"},
    {2080, "ARM_820"},
    {2336, "ARM_920"},
    {2577, "StrongARM"},
    {4000, "MIPS_R4000"},
    {10003, "Hitachi_SH3"},
    {10004, "Hitachi_SH3E"},
    {10005, "Hitachi_SH4"},
    {21064, "Alpha_21064"},
    {70001, "ARM_7TDMI"},
};

const char* lookupArchName(std::uint32_t code, const char* fallback) {
  for (const ArchEntry& entry : kArchTable) {
    if (entry.code == code) return entry.name;
  }
  return fallback;
}
