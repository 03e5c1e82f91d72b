// Checksum.cpp - the cabinet data-block checksum, and the check of a
// block record against it.
#include "cabinet/Checksum.h"

#include "cabinet/CabinetFormat.h"
#include "header/Endian.h"

using namespace CabFormat;

std::uint32_t cabChecksum(const unsigned char* bytes, std::uint32_t size,
                          std::uint32_t seed) {
  std::uint32_t sum = seed;
  const std::uint32_t words = size / 4;
  // Eight words a round into four sums, which XOR alike in any order: the
  // check of every block of a change is a pass over the whole cabinet.
  std::uint32_t sums[4] = {0, 0, 0, 0};
  std::uint32_t i = 0;
  for (; i + 8 <= words; i += 8) {
    for (std::uint32_t k = 0; k < 4; ++k)
      sums[k] ^= readLE32(bytes + 4 * (i + k)) ^
                 readLE32(bytes + 4 * (i + k + 4));
  }
  for (; i < words; ++i) sum ^= readLE32(bytes + 4 * i);
  sum ^= sums[0] ^ sums[1] ^ sums[2] ^ sums[3];
  const unsigned char* tail = bytes + 4 * words;
  std::uint32_t last = 0;
  switch (size & 3) {
    case 3:
      last = (static_cast<std::uint32_t>(tail[0]) << 16) |
             (static_cast<std::uint32_t>(tail[1]) << 8) | tail[2];
      break;
    case 2:
      last = (static_cast<std::uint32_t>(tail[0]) << 8) | tail[1];
      break;
    case 1:
      last = tail[0];
      break;
    default:
      break;
  }
  return sum ^ last;
}

std::uint32_t blockChecksum(const unsigned char* sizeBytes,
                            const unsigned char* payload,
                            std::uint32_t payloadSize) {
  return cabChecksum(sizeBytes, 4, cabChecksum(payload, payloadSize, 0));
}

bool checkBlockSum(const unsigned char* record, std::uint8_t reserveSize,
                   CabBlock* block) {
  block->reserveSummed = false;
  if (block->checksum == 0) return true;  // written without a checksum
  const unsigned char* sizes = record + kBlockDataSize;
  if (blockChecksum(sizes, record + kBlockHeaderSize + reserveSize,
                    block->dataSize) == block->checksum)
    return true;
  // Some writers may sum the block reserve along with the data.
  if (reserveSize != 0 &&
      blockChecksum(sizes, record + kBlockHeaderSize,
                    reserveSize + std::uint32_t{block->dataSize}) ==
          block->checksum) {
    block->reserveSummed = true;
    return true;
  }
  return false;
}

std::uint32_t sumBlockLike(const unsigned char* record,
                           std::uint8_t reserveSize, const CabBlock& block) {
  if (block.checksum == 0) return 0;
  const std::uint32_t dataSize = readLE16(record + kBlockDataSize);
  if (block.reserveSummed)
    return blockChecksum(record + kBlockDataSize, record + kBlockHeaderSize,
                         reserveSize + dataSize);
  return blockChecksum(record + kBlockDataSize,
                       record + kBlockHeaderSize + reserveSize, dataSize);
}

