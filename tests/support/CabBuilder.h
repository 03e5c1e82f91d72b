// CabBuilder.h - cabinets built in code for the tests and the fuzz seeds,
// and an independent reader of their members.
//
// The builder and the reader share nothing with the tool's cabinet code:
// their own checksum, their own walk, zlib called directly.
#ifndef SETUPHDR_TESTS_SUPPORT_CABBUILDER_H
#define SETUPHDR_TESTS_SUPPORT_CABBUILDER_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace cabtest {

struct Member {
  std::string name{};
  std::string bytes{};
  std::uint16_t folder = 0;
};

/// What an MSZIP block is encoded against: the last 32 KiB of the folder
/// (the sliding reading), nothing, or the 32 KiB frame earlier blocks
/// left (the frame reading; positions no block wrote hold zeros).
enum class History { Sliding, None, Frame };

struct Folder {
  std::uint16_t compression = 0;  // 0 stored, 1 MSZIP
  std::uint32_t blockSize = 32768;  // uncompressed bytes per block
  std::string reserve{};           // cut or padded to the folder reserve size
  std::vector<std::uint32_t> sizes{};  // the first blocks' sizes, if others
  History history = History::Sliding;
  // MSZIP blocks given as they are ("CK" and a deflate stream), by index;
  // each must decode to its block's bytes.
  std::map<std::uint32_t, std::string> packed{};
};

struct Recipe {
  std::vector<Folder> folders;
  std::vector<Member> members;  // in table order; each folder's stream
                                // holds its members in that order
  std::string headerReserve{};
  std::uint8_t folderReserveSize = 0;
  std::uint8_t dataReserveSize = 0;  // filled with a pattern
  bool sumReserve = false;           // block checksums cover the reserve
  bool checksums = true;             // false: every csum is 0
  std::string signature{};           // appended, with its header reserve
};

/// The cabinet file for recipe.
std::string build(const Recipe& recipe);

/// A setup file: a valid header with the given fields, its texts and
/// filler up to size bytes.
std::string setupFile(std::uint32_t arch, const std::string& app = "App",
                      const std::string& provider = "Provider",
                      std::uint32_t size = 300);

/// folder 0's reserve with a copy of a setup file's header data, as some
/// cabinet writers keep it: architecture, app name and provider.
std::string archCopy(std::uint32_t arch, const std::string& app,
                     const std::string& provider);

/// A program's PE file: the DOS header, "PE\0\0" at offset, the file
/// header with machine, and a PE32 (or PE32+) optional header with that
/// many data directories, the CLI header's non-empty when cli is set.
struct PeFile {
  std::uint16_t machine = 0x01C0;  // ARM
  std::uint32_t offset = 0x80;
  std::uint32_t size = 1024;       // more when the headers need it
  bool cli = false;
  bool plus = false;
  std::uint32_t directories = 16;
  std::uint32_t optionalSize = 0;  // 0: all the directories
};

/// The bytes of a PE file, filler behind its headers.
std::string peFile(const PeFile& pe);

/// The members of a cabinet by name, decoded with zlib in the sliding or
/// the frame reading (History::None is no reading); empty when the
/// cabinet does not read. fill stands for frame positions no block wrote.
std::map<std::string, std::string> extract(
    const std::string& cabinet, History reading = History::Sliding,
    char fill = 0);

/// The cabinet checksum over bytes with a seed.
std::uint32_t checksum(const std::string& bytes, std::uint32_t seed);

/// Little-endian numbers in a byte string.
std::uint32_t get(const std::string& bytes, std::size_t offset, int size);
void put(std::string& bytes, std::size_t offset, std::uint32_t value,
         int size);

}  // namespace cabtest

#endif
