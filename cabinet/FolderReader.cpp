// FolderReader.cpp - streaming a folder's uncompressed bytes block by
// block: each block's header read again where the one before ends, its
// checksum checked, its data decoded (cabinet/Mszip.h) as far as wanted.
#include "cabinet/FolderReader.h"

#include <cstring>

#include "cabinet/CabinetFormat.h"
#include "cabinet/Checksum.h"
#include "runtime/Runtime.h"

using namespace CabFormat;

CabStatus checkWholeCabinet(const CabinetSource& source, Cabinet* cabinet,
                            bool decode) {
  FolderReader reader;
  initFolderReader(&reader, source, cabinet);
  reader.decode = decode;
  CabStatus status = CabStatus::Ok;
  for (std::uint16_t i = 0; i < cabinet->folderCount; ++i) {
    status = startFolder(&reader, i);
    while (status == CabStatus::Ok &&
           reader.nextBlock < cabinet->folders[i].blockCount)
      status = readFolderBlock(&reader);
    if (status != CabStatus::Ok) break;
  }
  closeFolder(&reader);
  if (status != CabStatus::Ok) return status;
  return checkCabinetLayout(source, *cabinet);
}

void initFolderReader(FolderReader* reader, const CabinetSource& source,
                      Cabinet* cabinet) {
  std::memset(reader, 0, sizeof *reader);
  reader->source = &source;
  reader->cabinet = cabinet;
  reader->decode = true;
}

CabStatus startFolder(FolderReader* reader, std::uint16_t folder) {
  const CabinetSource& source = *reader->source;
  const CabFolder& entry = reader->cabinet->folders[folder];
  reader->folder = folder;
  reader->nextBlock = 0;
  reader->nextOffset = entry.dataOffset;
  reader->dataStart = 0;
  reader->dataSize = 0;
  reader->blockSize = 0;
  if (source.image == nullptr && reader->scratch == nullptr) {
    reader->scratch = static_cast<unsigned char*>(
        allocCabinetTable(source, reader->cabinet->largestRecord, 1));
    if (reader->scratch == nullptr) return CabStatus::NoMemory;
  }
  if (entry.compression != kCompressionMszip || !reader->decode)
    return CabStatus::Ok;
  if (reader->decoder == nullptr) {
    reader->decoder = createMszipDecoder();
    if (reader->decoder == nullptr) {
      reportCabinet(source, "Cannot allocate %u bytes for cabinet data",
                    static_cast<std::uint32_t>(4 * kMszipWindow));
      return CabStatus::NoMemory;
    }
  }
  resetMszipHistory(reader->decoder);
  return CabStatus::Ok;
}

CabStatus extendFolderBlock(FolderReader* reader, std::uint32_t wanted) {
  if (!reader->decode) return CabStatus::Ok;
  if (wanted > reader->blockSize) wanted = reader->blockSize;
  if (wanted <= reader->dataSize) return CabStatus::Ok;
  const CabinetSource& source = *reader->source;
  const std::uint32_t index = reader->nextBlock - 1;
  if (!produceMszipBlock(reader->decoder, wanted)) {
    reportCabinet(source,
                  "Damaged cabinet: block %u of folder %u does not decode",
                  index, static_cast<unsigned>(reader->folder));
    return CabStatus::Damaged;
  }
  reader->dataSize = wanted;
  const char* difference = wanted == reader->blockSize && reader->checkReadings
                               ? mszipDifference(reader->decoder)
                               : nullptr;
  if (difference != nullptr) {
    reportCabinet(source, "Cabinet not handled: block %u of folder %u decodes "
                  "differently in other readers (%s)", index,
                  static_cast<unsigned>(reader->folder), difference);
    return CabStatus::ReadersDiffer;
  }
  return CabStatus::Ok;
}

CabStatus readFolderBlock(FolderReader* reader, std::uint32_t wanted) {
  // The block before is the history of this one.
  CabStatus status = extendFolderBlock(reader, kWholeBlock);
  if (status != CabStatus::Ok) return status;

  const CabinetSource& source = *reader->source;
  const Cabinet& cabinet = *reader->cabinet;
  const CabFolder& folder = cabinet.folders[reader->folder];
  const std::uint32_t index = reader->nextBlock;
  CabBlock& block = reader->block;
  // Read again: a file read in ranges may have changed since readCabinet.
  status = readBlockHeader(source, cabinet, reader->folder, index,
                           reader->nextOffset, &block);
  if (status != CabStatus::Ok) return status;
  const std::uint32_t reserve = cabinet.dataReserveSize;
  const std::uint32_t size = kBlockHeaderSize + reserve + block.dataSize;
  if (size > cabinet.largestRecord) {
    reportCabinet(source,
                  "Damaged cabinet: block %u of folder %u has a bad size",
                  index, static_cast<unsigned>(reader->folder));
    return CabStatus::Damaged;
  }
  const unsigned char* record =
      fetchCabinetBytes(source, block.offset, size, reader->scratch);
  if (record == nullptr) return CabStatus::ReadFailed;
  if (!checkBlockSum(record, cabinet.dataReserveSize, &block)) {
    reportCabinet(source,
                  "Damaged cabinet: checksum mismatch in block %u of folder "
                  "%u",
                  index, static_cast<unsigned>(reader->folder));
    return CabStatus::Damaged;
  }
  block.uncompressedStart = reader->dataStart + reader->blockSize;
  const unsigned char* payload = record + kBlockHeaderSize + reserve;
  ++reader->nextBlock;
  reader->nextOffset += size;
  reader->record = record;
  reader->dataStart = block.uncompressedStart;
  reader->blockSize = block.uncompressedSize;
  reader->dataSize = 0;
  if (!reader->decode) return CabStatus::Ok;
  if (folder.compression == kCompressionStored) {
    reader->data = payload;
    reader->dataSize = block.uncompressedSize;
    return CabStatus::Ok;
  }
  if (!beginMszipBlock(reader->decoder, payload, block.dataSize,
                       block.uncompressedSize, reader->checkReadings)) {
    reportCabinet(source,
                  "Damaged cabinet: block %u of folder %u does not decode",
                  index, static_cast<unsigned>(reader->folder));
    return CabStatus::Damaged;
  }
  reader->data = mszipBlockOutput(reader->decoder);
  return extendFolderBlock(reader, wanted);
}

void closeFolder(FolderReader* reader) {
  destroyMszipDecoder(reader->decoder);
  freeBlock(reader->scratch);
  reader->decoder = nullptr;
  reader->scratch = nullptr;
}
