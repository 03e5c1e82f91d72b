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
  for (std::uint32_t i = 0; i < words; ++i) sum ^= readLE32(bytes + 4 * i);
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

