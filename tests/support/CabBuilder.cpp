// CabBuilder.cpp - cabinets for tests, built and read with zlib directly.
#include "CabBuilder.h"
#include "DeflateWriter.h"

#include <zlib.h>

#include <algorithm>  // std::max, std::min

namespace cabtest {

std::uint32_t get(const std::string& bytes, std::size_t offset, int size) {
  std::uint32_t value = 0;
  for (int i = size - 1; i >= 0; --i)
    value = (value << 8) | static_cast<unsigned char>(bytes.at(offset + i));
  return value;
}

void put(std::string& bytes, std::size_t offset, std::uint32_t value,
         int size) {
  if (bytes.size() < offset + size) bytes.resize(offset + size, '\0');
  for (int i = 0; i < size; ++i)
    bytes[offset + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
}

std::uint32_t checksum(const std::string& bytes, std::uint32_t seed) {
  std::size_t i = 0;
  for (; i + 4 <= bytes.size(); i += 4) seed ^= get(bytes, i, 4);
  std::uint32_t tail = 0;
  for (; i < bytes.size(); ++i)
    tail = (tail << 8) | static_cast<unsigned char>(bytes[i]);
  return seed ^ tail;
}

namespace {

std::string number(std::uint32_t value, int size) {
  std::string bytes;
  put(bytes, 0, value, size);
  return bytes;
}

// "CK" and a raw deflate stream of data with the last 32 KiB of history
// as its dictionary, at a level the tool does not use, so a block it
// encodes anew differs.
std::string mszip(const std::string& history, const std::string& data) {
  const std::size_t keep = std::min<std::size_t>(history.size(), 32768);
  return "CK" + zlibDeflate(data, 1, history.substr(history.size() - keep));
}

}  // namespace

std::string build(const Recipe& recipe) {
  std::string headerReserve = recipe.headerReserve;
  if (!recipe.signature.empty()) headerReserve = std::string(20, '\0');
  const bool reserves = !headerReserve.empty() || recipe.folderReserveSize ||
                        recipe.dataReserveSize;
  const std::size_t entrySize = 8 + recipe.folderReserveSize;
  const std::size_t tableStart =
      36 + (reserves ? 4 + headerReserve.size() : 0);

  std::string files;
  std::vector<std::string> streams(recipe.folders.size());
  for (const Member& member : recipe.members) {
    files += number(static_cast<std::uint32_t>(member.bytes.size()), 4) +
             number(static_cast<std::uint32_t>(
                        streams[member.folder].size()), 4) +
             number(member.folder, 2) + number(0x2E21, 2) +
             number(0x5A00, 2) + number(0x20, 2) + member.name +
             std::string(1, '\0');
    streams[member.folder] += member.bytes;
  }
  const std::size_t filesOffset = tableStart + entrySize * recipe.folders.size();

  std::string folders, data;
  std::size_t position = filesOffset + files.size();
  for (std::size_t f = 0; f < recipe.folders.size(); ++f) {
    const Folder& folder = recipe.folders[f];
    const std::string& stream = streams[f];
    std::string blocks;
    std::uint32_t count = 0;
    std::string frame(32768, '\0');
    for (std::size_t at = 0, size = 0; at < stream.size(); at += size) {
      size = count < folder.sizes.size() ? folder.sizes[count]
                                         : folder.blockSize;
      const std::string raw = stream.substr(at, size);
      std::string history;
      if (folder.history == History::Sliding) history = stream.substr(0, at);
      if (folder.history == History::Frame && count != 0) history = frame;
      const auto given = folder.packed.find(count);
      const std::string packed =
          folder.compression != 1           ? raw
          : given != folder.packed.end() ? given->second
                                         : mszip(history, raw);
      frame.replace(0, raw.size(), raw);
      std::string reserve(recipe.dataReserveSize, '\0');
      for (std::size_t i = 0; i < reserve.size(); ++i)
        reserve[i] = static_cast<char>(0xA5 + i + count);
      const std::string sizes =
          number(static_cast<std::uint32_t>(packed.size()), 2) +
          number(static_cast<std::uint32_t>(raw.size()), 2);
      const std::uint32_t sum = checksum(
          sizes, checksum(recipe.sumReserve ? reserve + packed : packed, 0));
      blocks += number(recipe.checksums ? sum : 0, 4) + sizes + reserve + packed;
      ++count;
    }
    std::string reserve = folder.reserve;
    reserve.resize(recipe.folderReserveSize, '\0');
    folders += number(static_cast<std::uint32_t>(position + data.size()), 4) +
               number(count, 2) + number(folder.compression, 2) + reserve;
    data += blocks;
  }

  std::string cabinet = "MSCF" + std::string(32, '\0');
  const std::uint32_t size =
      static_cast<std::uint32_t>(filesOffset + files.size() + data.size());
  put(cabinet, 8, size, 4);
  put(cabinet, 16, static_cast<std::uint32_t>(filesOffset), 4);
  cabinet[24] = 3;  // version 1.3
  cabinet[25] = 1;
  put(cabinet, 26, static_cast<std::uint32_t>(recipe.folders.size()), 2);
  put(cabinet, 28, static_cast<std::uint32_t>(recipe.members.size()), 2);
  put(cabinet, 30, reserves ? 4 : 0, 2);
  put(cabinet, 32, 0x1234, 2);
  if (reserves) {
    if (!recipe.signature.empty()) {
      put(headerReserve, 0, 0x00100000, 4);
      put(headerReserve, 4, size, 4);
      put(headerReserve, 8, static_cast<std::uint32_t>(recipe.signature.size()),
          4);
    }
    cabinet += number(static_cast<std::uint32_t>(headerReserve.size()), 2) +
               static_cast<char>(recipe.folderReserveSize) +
               static_cast<char>(recipe.dataReserveSize) + headerReserve;
  }
  return cabinet + folders + files + data + recipe.signature;
}

std::string setupFile(std::uint32_t arch, const std::string& app,
                      const std::string& provider, std::uint32_t size) {
  std::string file(100, '\0');
  file.replace(0, 4, "MSCE");
  put(file, 8, size, 4);
  put(file, 16, 1, 4);
  put(file, 20, arch, 4);
  put(file, 24, 4, 4);   // min 4.0
  put(file, 32, 5, 4);   // max 5.99
  put(file, 36, 99, 4);
  put(file, 48, 3, 2);   // strings
  put(file, 84, 100, 2);
  put(file, 86, static_cast<std::uint32_t>(app.size() + 1), 2);
  put(file, 88, static_cast<std::uint32_t>(101 + app.size()), 2);
  put(file, 90, static_cast<std::uint32_t>(provider.size() + 1), 2);
  file += app + std::string(1, '\0') + provider + std::string(1, '\0');
  for (std::size_t i = file.size(); i < size; ++i)
    file += static_cast<char>("setup body "[i % 11]);
  return file;
}

std::string peFile(const PeFile& pe) {
  const std::uint32_t directories = pe.plus ? 112 : 96;  // in the optional
  const std::uint32_t optionalSize =
      pe.optionalSize != 0 ? pe.optionalSize : directories + 16 * 8;
  const std::uint32_t optional = pe.offset + 4 + 20;
  std::string file = "MZ";
  file.resize(std::max<std::size_t>(pe.size, optional + optionalSize), 'p');
  put(file, 0x3C, pe.offset, 4);
  file.replace(pe.offset, 4, std::string("PE\0\0", 4));
  put(file, pe.offset + 4, pe.machine, 2);
  put(file, pe.offset + 4 + 16, optionalSize, 2);
  put(file, optional, pe.plus ? 0x20B : 0x10B, 2);
  put(file, optional + directories - 4, pe.directories, 4);
  // The CLI header's address and size; zero when absent.
  put(file, optional + directories + 14 * 8, pe.cli ? 0x2008 : 0, 4);
  put(file, optional + directories + 14 * 8 + 4, pe.cli ? 0x48 : 0, 4);
  return file;
}

std::string archCopy(std::uint32_t arch, const std::string& app,
                     const std::string& provider) {
  std::string texts = app + std::string(4 - app.size() % 4, '\0');
  const std::uint32_t providerOffset =
      static_cast<std::uint32_t>(28 + texts.size());
  std::string padded = provider + std::string(4 - provider.size() % 4, '\0');
  return number(arch, 4) + number(28, 4) +
         number(static_cast<std::uint32_t>(texts.size()), 4) +
         number(providerOffset, 4) +
         number(static_cast<std::uint32_t>(padded.size()), 4) + texts + padded;
}

std::map<std::string, std::string> extract(const std::string& cabinet,
                                           History reading, char fill) {
  std::map<std::string, std::string> members;
  const std::uint32_t flags = get(cabinet, 30, 2);
  std::size_t position = 36;
  std::uint32_t folderReserve = 0, dataReserve = 0;
  if (flags & 4) {
    folderReserve = static_cast<unsigned char>(cabinet[38]);
    dataReserve = static_cast<unsigned char>(cabinet[39]);
    position += 4 + get(cabinet, 36, 2);
  }
  std::vector<std::string> streams;
  for (std::uint32_t f = 0; f < get(cabinet, 26, 2); ++f) {
    std::size_t block = get(cabinet, position, 4);
    const std::uint32_t count = get(cabinet, position + 4, 2);
    // The low four bits name the compression; the others are parameters.
    const std::uint32_t type = get(cabinet, position + 6, 2) & 0x000F;
    position += 8 + folderReserve;
    std::string stream;
    std::string frame(32768, fill);
    for (std::uint32_t k = 0; k < count; ++k) {
      const std::uint32_t packed = get(cabinet, block + 4, 2);
      const std::uint32_t raw = get(cabinet, block + 6, 2);
      const std::string data =
          cabinet.substr(block + 8 + dataReserve, packed);
      block += 8 + dataReserve + packed;
      if (type == 0) {
        stream += data;
        continue;
      }
      z_stream z = {};
      inflateInit2(&z, -15);
      std::string history;
      if (reading == History::Sliding)
        history = stream.substr(stream.size() > 32768 ? stream.size() - 32768
                                                      : 0);
      if (reading == History::Frame && k != 0) history = frame;
      if (!history.empty())
        inflateSetDictionary(&z,
                             reinterpret_cast<const Bytef*>(history.data()),
                             static_cast<uInt>(history.size()));
      std::string out(raw, '\0');
      z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data() + 2));
      z.avail_in = static_cast<uInt>(data.size() - 2);
      z.next_out = reinterpret_cast<Bytef*>(&out[0]);
      z.avail_out = raw;
      const int result = inflate(&z, Z_FINISH);
      inflateEnd(&z);
      if (result != Z_STREAM_END || z.avail_out != 0) return {};
      stream += out;
      frame.replace(0, out.size(), out);
    }
    streams.push_back(stream);
  }
  position = get(cabinet, 16, 4);
  for (std::uint32_t i = 0; i < get(cabinet, 28, 2); ++i) {
    const std::uint32_t size = get(cabinet, position, 4);
    const std::uint32_t offset = get(cabinet, position + 4, 4);
    const std::uint32_t folder = get(cabinet, position + 8, 2);
    const std::size_t nameEnd = cabinet.find('\0', position + 16);
    members[cabinet.substr(position + 16, nameEnd - position - 16)] =
        streams.at(folder).substr(offset, size);
    position = nameEnd + 1;
  }
  return members;
}

}  // namespace cabtest
