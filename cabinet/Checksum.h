// Checksum.h - the checksum of a cabinet's data blocks, and the check of a
// block record against the sum it carries.
#ifndef SETUPHDR_CABINET_CHECKSUM_H
#define SETUPHDR_CABINET_CHECKSUM_H

#include <cstdint>

#include "cabinet/Cabinet.h"

/// XORs seed with every little-endian 32-bit word of bytes, then with the
/// 1 to 3 bytes left over, packed first byte highest.
std::uint32_t cabChecksum(const unsigned char* bytes, std::uint32_t size,
                          std::uint32_t seed);

/// The checksum stored in a data block: the sum of its payload (the data,
/// or the block reserve and the data as one run), chained over the four
/// size bytes (cbData, cbUncomp) of its header.
std::uint32_t blockChecksum(const unsigned char* sizeBytes,
                            const unsigned char* payload,
                            std::uint32_t payloadSize);

/// Verifies a block record's checksum, trying the sum without and with the
/// block reserve, and records in block which one holds. False on a
/// mismatch.
bool checkBlockSum(const unsigned char* record, std::uint8_t reserveSize,
                   CabBlock* block);

/// The checksum of a block record (header, reserve, data) as block's
/// original was summed: 0 when it had none.
std::uint32_t sumBlockLike(const unsigned char* record,
                           std::uint8_t reserveSize, const CabBlock& block);

#endif
