// Mszip.cpp - MSZIP blocks decoded and encoded with zlib's raw deflate.
//
// zlib results are read strictly: a block is whole only when inflate
// reaches the end of its stream (Z_STREAM_END) having produced exactly the
// block's size, and a part of it only when inflate filled the room given.
// Z_NEED_DICT and Z_BUF_ERROR count as bad data here, since every call has
// the whole block as its input.
#include "cabinet/Mszip.h"

#include <cstring>

#include <zlib.h>

#include "cabinet/CabinetFormat.h"
#include "runtime/Runtime.h"

namespace {

constexpr std::uint32_t kWindow = CabFormat::kMszipWindow;
// Raw deflate (no zlib header or trailer) with a 32 KiB window.
constexpr int kRawWindowBits = -15;
// "CK" in front of every block's deflate stream.
constexpr unsigned char kBlockMagic[2] = {0x43, 0x4B};

// Appends size bytes to a history of *historySize bytes, keeping the last
// kWindow bytes.
void addHistory(unsigned char* history, std::uint32_t* historySize,
                const unsigned char* bytes, std::uint32_t size) {
  if (size >= kWindow) {
    std::memcpy(history, bytes + size - kWindow, kWindow);
    *historySize = kWindow;
    return;
  }
  std::uint32_t keep = *historySize;
  if (keep + size > kWindow) {
    keep = kWindow - size;
    std::memmove(history, history + *historySize - keep, keep);
  }
  std::memcpy(history + keep, bytes, size);
  *historySize = keep + size;
}

}  // namespace

struct MszipDecoder {
  z_stream stream;
  unsigned char* out;         // the block being decoded
  std::uint32_t outSize;
  std::uint32_t historySize;
  unsigned char history[kWindow];
};

MszipDecoder* createMszipDecoder() {
  auto* decoder = static_cast<MszipDecoder*>(allocZeroed(sizeof(MszipDecoder)));
  if (decoder == nullptr) return nullptr;
  if (inflateInit2(&decoder->stream, kRawWindowBits) != Z_OK) {
    freeBlock(decoder);
    return nullptr;
  }
  return decoder;
}

void destroyMszipDecoder(MszipDecoder* decoder) {
  if (decoder == nullptr) return;
  inflateEnd(&decoder->stream);
  freeBlock(decoder);
}

void resetMszipHistory(MszipDecoder* decoder) { decoder->historySize = 0; }

bool beginMszipBlock(MszipDecoder* decoder, const unsigned char* data,
                     std::uint32_t size, unsigned char* out,
                     std::uint32_t outSize) {
  if (size < 2 || data[0] != kBlockMagic[0] || data[1] != kBlockMagic[1])
    return false;
  z_stream& stream = decoder->stream;
  if (inflateReset(&stream) != Z_OK) return false;
  // The block may refer back into what the folder's earlier blocks gave.
  if (decoder->historySize != 0 &&
      inflateSetDictionary(&stream, decoder->history,
                           decoder->historySize) != Z_OK)
    return false;
  stream.next_in = const_cast<unsigned char*>(data + 2);
  stream.avail_in = size - 2;
  stream.next_out = out;
  stream.avail_out = 0;
  decoder->out = out;
  decoder->outSize = outSize;
  return true;
}

bool produceMszipBlock(MszipDecoder* decoder, std::uint32_t upTo) {
  z_stream& stream = decoder->stream;
  const std::uint32_t done =
      static_cast<std::uint32_t>(stream.next_out - decoder->out);
  if (upTo <= done) return true;
  stream.avail_out = upTo - done;
  if (upTo < decoder->outSize) {
    // Part of the block: it must not end before upTo.
    return inflate(&stream, Z_NO_FLUSH) == Z_OK && stream.avail_out == 0;
  }
  if (inflate(&stream, Z_FINISH) != Z_STREAM_END || stream.avail_out != 0)
    return false;
  addHistory(decoder->history, &decoder->historySize, decoder->out,
             decoder->outSize);
  return true;
}

MszipEncode encodeMszipBlock(const unsigned char* history,
                             std::uint32_t historySize,
                             const unsigned char* data, std::uint32_t size,
                             unsigned char* out, std::uint32_t* written) {
  out[0] = kBlockMagic[0];
  out[1] = kBlockMagic[1];
  const std::uint32_t room = CabFormat::kMaxWrittenMszipData - 2;
  if (historySize > kWindow) {
    history += historySize - kWindow;
    historySize = kWindow;
  }

  z_stream stream = {};
  if (deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED,
                   kRawWindowBits, 8, Z_DEFAULT_STRATEGY) != Z_OK)
    return MszipEncode::NoMemory;
  int result = Z_OK;
  if (historySize != 0)
    result = deflateSetDictionary(&stream, history, historySize);
  if (result == Z_OK) {
    stream.next_in = const_cast<unsigned char*>(data);
    stream.avail_in = size;
    stream.next_out = out + 2;
    stream.avail_out = room;
    result = deflate(&stream, Z_FINISH);
  }
  const std::uint32_t produced = room - stream.avail_out;
  deflateEnd(&stream);
  if (result == Z_STREAM_END) {
    *written = 2 + produced;
    return MszipEncode::Ok;
  }
  if (result == Z_MEM_ERROR) return MszipEncode::NoMemory;

  // Deflate did not fit (incompressible bytes): one stored deflate block,
  // final, with its length and the length's complement.
  unsigned char* stored = out + 2;
  stored[0] = 0x01;
  stored[1] = static_cast<unsigned char>(size);
  stored[2] = static_cast<unsigned char>(size >> 8);
  stored[3] = static_cast<unsigned char>(~size);
  stored[4] = static_cast<unsigned char>(~size >> 8);
  std::memcpy(stored + 5, data, size);
  *written = 2 + 5 + size;
  return MszipEncode::Ok;
}
