// Checksum.cpp - the cabinet data-block checksum.
#include "cabinet/Checksum.h"

#include "header/Endian.h"

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
