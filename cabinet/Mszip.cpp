// Mszip.cpp - MSZIP blocks decoded and encoded with zlib's raw deflate.
//
// zlib results are read strictly: a block is whole only when inflate
// reaches the end of its stream (Z_STREAM_END) having produced exactly the
// block's size, and a part of it only when inflate filled the room given.
// Z_NEED_DICT and Z_BUF_ERROR count as bad data here, since every call has
// the whole block as its input.
//
// The sliding reading's history is zlib's own window: within a folder the
// stream is reset with inflateResetKeep, which keeps the window, so the
// last 32 KiB of output carry over from block to block. The decoder
// alternates between two output buffers, so the block before the current
// one stays in place; after a block of 32 KiB, which is the usual case, it
// is the frame as well and nothing is copied. Only a shorter block makes
// the decoder keep the frame apart. A block behind it that is checked is
// first decoded on a second stream with no history: most short blocks
// (and every block of a few bytes) refer back to nothing, and then both
// readings give what that decode gave. Only for one that does refer back
// does the decoder copy out the last 32 KiB before it, to decode it again
// against the frame.
//
// A block's form is checked as zlib decodes it: inflate with Z_BLOCK stops
// at every boundary between deflate blocks, before it reads the next
// header, which DeflateHeader.h then walks from that bit (zlib's data_type
// tells how many bits of the last byte taken are still unread); the end of
// the stream tells where the bytes behind it start.
#include "cabinet/Mszip.h"

#include <cstring>

#include <zlib.h>

#include "cabinet/CabinetFormat.h"
#include "cabinet/DeflateHeader.h"
#include "runtime/Runtime.h"

namespace {

constexpr std::uint32_t kWindow = CabFormat::kMszipWindow;
// Raw deflate (no zlib header or trailer) with a 32 KiB window.
constexpr int kRawWindowBits = -15;
// zlib's level for blocks encoded anew. A change re-encodes one or two
// blocks but decodes the whole cabinet once; at the default level (6) the
// two blocks cost a quarter of that decode, at 4 (still with lazy
// matching) half as much, for blocks 2 to 3% larger.
constexpr int kEncodeLevel = 4;
// "CK" in front of every block's deflate stream.
constexpr unsigned char kBlockMagic[2] = {0x43, 0x4B};
// The most bytes libmspack takes as one block (cab.h CAB_INPUTMAX).
constexpr std::uint32_t kFrameReaderInputMax = 32768 + 6144;
static_assert(mszipBound(CabFormat::kMaxBlockUncompressed) <=
                  kFrameReaderInputMax,
              "every block the tool writes fits libmspack's input");
// zlib's data_type after inflate: the unread bits of the last byte taken,
// the last block seen, stopped at a block boundary.
constexpr int kUnreadBits = 63;
constexpr int kLastBlock = 64;
constexpr int kAtBoundary = 128;

const char kTooLong[] = "it holds more than 38912 compressed bytes";
const char kMagicBehind[] = "it holds \"CK\" behind its deflate stream";
const char kAcrossShortBlock[] = "it refers back across a short block";

bool hasMagic(const unsigned char* data, std::uint32_t size) {
  return size >= 2 && data[0] == kBlockMagic[0] && data[1] == kBlockMagic[1];
}

// The checks of one block's form as inflate goes through its stream (the
// block's bytes behind "CK"): the first reason found, or null.
struct FormCheck {
  const unsigned char* stream;
  std::uint32_t size;
  const char* difference;
};

// Starts the check of a block (data, "CK" included): its size, and the
// header of its first deflate block.
void beginFormCheck(FormCheck* check, const unsigned char* data,
                    std::uint32_t size) {
  check->stream = data + 2;
  check->size = size - 2;
  check->difference = size > kFrameReaderInputMax
                          ? kTooLong
                          : deflateHeaderDifference(check->stream,
                                                    check->size, 0);
}

// Follows inflate, which has just returned (not at the stream's end): at a
// boundary before another deflate block, walks that block's header. True
// when inflate stopped at a boundary.
bool followBoundary(FormCheck* check, const z_stream& stream) {
  if ((stream.data_type & kAtBoundary) == 0) return false;
  if ((stream.data_type & kLastBlock) != 0 || check->difference != nullptr)
    return true;
  const std::uint64_t taken = std::uint64_t{8} *
      static_cast<std::uint64_t>(stream.next_in - check->stream);
  const unsigned unread = static_cast<unsigned>(stream.data_type & kUnreadBits);
  check->difference =
      unread > taken
          ? deflateHeaderDifference(check->stream, check->size, taken)
          : deflateHeaderDifference(check->stream, check->size,
                                    taken - unread);
  return true;
}

// At the stream's end: the bytes behind it must not hold "CK", which
// libmspack looks for there to decode on. (It skips other bytes, a "C"
// just before the next block's "CK" too.)
void endFormCheck(FormCheck* check, const z_stream& stream) {
  const unsigned char* end = check->stream + check->size;
  for (const unsigned char* p = stream.next_in;
       check->difference == nullptr && p + 1 < end; ++p) {
    if (p[0] == kBlockMagic[0] && p[1] == kBlockMagic[1])
      check->difference = kMagicBehind;
  }
}

// Runs inflate with Z_BLOCK over the rest of a block, checking its form,
// until out is full (upTo bytes short of outSize: part of the block) or
// the stream ends (whole: exactly there). Same results as one inflate
// with Z_NO_FLUSH, which stops where output or input runs out.
bool inflateChecked(z_stream* stream, FormCheck* check, bool whole) {
  for (;;) {
    const int result = inflate(stream, Z_BLOCK);
    if (result == Z_STREAM_END) {
      if (!whole || stream->avail_out != 0) return false;
      endFormCheck(check, *stream);
      return true;
    }
    if (result != Z_OK) return false;
    // Inside a deflate block: out is full, or the input ran out.
    if (!followBoundary(check, *stream))
      return !whole && stream->avail_out == 0;
    if (!whole && stream->avail_out == 0) return true;
  }
}

}  // namespace

struct MszipDecoder {
  z_stream stream;
  const unsigned char* input;  // the block begun last, "CK" included
  std::uint32_t inputSize;
  std::uint32_t outSize;
  std::uint32_t current;       // its buffer in block[]
  bool begun;                  // a block of this folder was begun
  std::uint32_t previousSize;  // of the block before it; 0 for none
  // The last historySize bytes of output before the current block, when
  // the block before it is short.
  std::uint32_t historySize;
  // The frame before the current block: the block before it when that
  // held 32 KiB, else frame, of which the first frameFilled bytes were
  // written by a block.
  std::uint32_t frameFilled;
  bool checkForm;              // of the block begun last
  FormCheck form;
  // The block begun last refers back to nothing: it is the folder's first,
  // or, checked behind a short block, it decodes on the stream alone,
  // which has no history.
  bool standsAlone;
  z_stream alone;
  unsigned char block[2][kWindow];
  unsigned char history[kWindow];
  unsigned char frame[kWindow];
};

namespace {

// Adds the finished current block to the frame, unless it held 32 KiB:
// then the block itself is the frame, in place.
void keepFinishedBlock(MszipDecoder* decoder) {
  const std::uint32_t size = decoder->outSize;
  if (size == kWindow) return;
  const unsigned char* out = decoder->block[decoder->current];
  if (decoder->previousSize == kWindow) {
    std::memcpy(decoder->frame + size,
                decoder->block[decoder->current ^ 1] + size, kWindow - size);
    decoder->frameFilled = kWindow;
  }
  std::memcpy(decoder->frame, out, size);
  if (size > decoder->frameFilled) decoder->frameFilled = size;
}

}  // namespace

MszipDecoder* createMszipDecoder() {
  auto* decoder = static_cast<MszipDecoder*>(allocZeroed(sizeof(MszipDecoder)));
  if (decoder == nullptr) return nullptr;
  if (inflateInit2(&decoder->stream, kRawWindowBits) != Z_OK) {
    freeBlock(decoder);
    return nullptr;
  }
  if (inflateInit2(&decoder->alone, kRawWindowBits) != Z_OK) {
    inflateEnd(&decoder->stream);
    freeBlock(decoder);
    return nullptr;
  }
  return decoder;
}

void destroyMszipDecoder(MszipDecoder* decoder) {
  if (decoder == nullptr) return;
  inflateEnd(&decoder->stream);
  inflateEnd(&decoder->alone);
  freeBlock(decoder);
}

void resetMszipHistory(MszipDecoder* decoder) {
  decoder->begun = false;
  decoder->previousSize = 0;
  decoder->historySize = 0;
  decoder->frameFilled = 0;
}

bool beginMszipBlock(MszipDecoder* decoder, const unsigned char* data,
                     std::uint32_t size, std::uint32_t outSize,
                     bool checkForm) {
  z_stream& stream = decoder->stream;
  // The block before is whole by now (the caller finished it); zlib's
  // window keeps its output, the frame takes it.
  const bool first = !decoder->begun;
  if (!first) {
    keepFinishedBlock(decoder);
    decoder->previousSize = decoder->outSize;
    decoder->current ^= 1;
  }
  decoder->begun = true;
  decoder->input = data;
  decoder->inputSize = size;
  decoder->outSize = outSize;
  decoder->checkForm = checkForm;
  if (!hasMagic(data, size)) return false;
  if (checkForm) beginFormCheck(&decoder->form, data, size);
  if ((first ? inflateReset(&stream) : inflateResetKeep(&stream)) != Z_OK)
    return false;
  // Behind a short block the readings may differ, unless the block refers
  // back to nothing: then it decodes on its own, with no history at all
  // (into the other buffer, free as the block before is short). Otherwise
  // keep the sliding reading's history for mszipDifference.
  decoder->historySize = 0;
  decoder->standsAlone = first;
  if (checkForm && decoder->previousSize != 0 &&
      decoder->previousSize != kWindow) {
    z_stream& alone = decoder->alone;
    alone.next_in = const_cast<unsigned char*>(data + 2);
    alone.avail_in = size - 2;
    alone.next_out = decoder->block[decoder->current ^ 1];
    alone.avail_out = outSize;
    decoder->standsAlone = inflateReset(&alone) == Z_OK &&
                           inflate(&alone, Z_FINISH) == Z_STREAM_END &&
                           alone.avail_out == 0;
    uInt length = 0;
    if (!decoder->standsAlone &&
        inflateGetDictionary(&stream, decoder->history, &length) != Z_OK)
      return false;
    decoder->historySize = length;
  }
  stream.next_in = const_cast<unsigned char*>(data + 2);
  stream.avail_in = size - 2;
  stream.next_out = decoder->block[decoder->current];
  stream.avail_out = 0;
  return true;
}

bool produceMszipBlock(MszipDecoder* decoder, std::uint32_t upTo) {
  z_stream& stream = decoder->stream;
  const std::uint32_t done = static_cast<std::uint32_t>(
      stream.next_out - decoder->block[decoder->current]);
  if (upTo <= done) return true;
  stream.avail_out = upTo - done;
  // Never Z_FINISH: zlib then keeps its window up to date on every call,
  // which the next block of the folder refers back into.
  if (decoder->checkForm)
    return inflateChecked(&stream, &decoder->form, upTo == decoder->outSize);
  const int result = inflate(&stream, Z_NO_FLUSH);
  if (upTo < decoder->outSize) {
    // Part of the block: it must not end before upTo.
    return result == Z_OK && stream.avail_out == 0;
  }
  return result == Z_STREAM_END && stream.avail_out == 0;
}

const unsigned char* mszipBlockOutput(const MszipDecoder* decoder) {
  return decoder->block[decoder->current];
}

bool mszipStandsAlone(const MszipDecoder* decoder) {
  return decoder->standsAlone;
}

const unsigned char* mszipFullPrevious(const MszipDecoder* decoder) {
  return decoder->previousSize == kWindow
             ? decoder->block[decoder->current ^ 1]
             : nullptr;
}

const char* mszipDifference(MszipDecoder* decoder) {
  if (decoder->checkForm && decoder->form.difference != nullptr)
    return decoder->form.difference;
  // The first block has no history in either reading; behind a block of
  // 32 KiB both readings have that block; a block that refers back to
  // nothing needs none.
  if (decoder->previousSize == 0 || decoder->previousSize == kWindow ||
      decoder->standsAlone)
    return nullptr;
  // Frame positions no block wrote: the sliding reading's byte there
  // (aligned to the end of its 32 KiB), every bit flipped.
  const std::uint32_t missing = kWindow - decoder->historySize;
  for (std::uint32_t i = decoder->frameFilled; i < kWindow; ++i) {
    const unsigned char sliding =
        i >= missing ? decoder->history[i - missing] : 0;
    decoder->frame[i] = static_cast<unsigned char>(~sliding);
  }
  // The block before is short, so its buffer is not needed any more: the
  // frame reading's output goes there.
  const bool same =
      decodeMszipAlone(decoder->input, decoder->inputSize, decoder->frame,
                       decoder->block[decoder->current ^ 1],
                       decoder->outSize) &&
      std::memcmp(decoder->block[decoder->current ^ 1],
                  decoder->block[decoder->current], decoder->outSize) == 0;
  return same ? nullptr : kAcrossShortBlock;
}

bool decodeMszipAlone(const unsigned char* data, std::uint32_t size,
                      const unsigned char* dictionary, unsigned char* out,
                      std::uint32_t outSize, const char** difference) {
  if (!hasMagic(data, size)) return false;
  z_stream stream = {};
  if (inflateInit2(&stream, kRawWindowBits) != Z_OK) return false;
  bool whole =
      dictionary == nullptr ||
      inflateSetDictionary(&stream, dictionary, kWindow) == Z_OK;
  if (whole) {
    stream.next_in = const_cast<unsigned char*>(data + 2);
    stream.avail_in = size - 2;
    stream.next_out = out;
    stream.avail_out = outSize;
    if (difference != nullptr) {
      FormCheck form;
      beginFormCheck(&form, data, size);
      whole = inflateChecked(&stream, &form, true);
      *difference = form.difference;
    } else {
      whole = inflate(&stream, Z_FINISH) == Z_STREAM_END &&
              stream.avail_out == 0;
    }
  }
  inflateEnd(&stream);
  return whole;
}

struct MszipEncoder {
  z_stream stream;
  bool used;  // a block was encoded since deflateInit2
};

MszipEncoder* createMszipEncoder() {
  auto* encoder = static_cast<MszipEncoder*>(allocZeroed(sizeof(MszipEncoder)));
  if (encoder == nullptr) return nullptr;
  if (deflateInit2(&encoder->stream, kEncodeLevel, Z_DEFLATED,
                   kRawWindowBits, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
    freeBlock(encoder);
    return nullptr;
  }
  return encoder;
}

void destroyMszipEncoder(MszipEncoder* encoder) {
  if (encoder == nullptr) return;
  deflateEnd(&encoder->stream);
  freeBlock(encoder);
}

MszipEncode encodeMszipBlock(MszipEncoder* encoder,
                             const unsigned char* dictionary,
                             const unsigned char* data, std::uint32_t size,
                             unsigned char* out, std::uint32_t* written) {
  out[0] = kBlockMagic[0];
  out[1] = kBlockMagic[1];
  // Deflate gets as much room as a stored block needs and no more: what
  // does not fit would not be smaller.
  const std::uint32_t room = mszipBound(size) - 2;
  z_stream& stream = encoder->stream;
  // deflateInit2 leaves the stream as deflateReset does (each clears the
  // 64 KiB hash table).
  int result = encoder->used ? deflateReset(&stream) : Z_OK;
  encoder->used = true;
  if (result == Z_OK && dictionary != nullptr)
    result = deflateSetDictionary(&stream, dictionary, kWindow);
  if (result == Z_OK) {
    stream.next_in = const_cast<unsigned char*>(data);
    stream.avail_in = size;
    stream.next_out = out + 2;
    stream.avail_out = room;
    result = deflate(&stream, Z_FINISH);
  }
  if (result == Z_STREAM_END) {
    *written = 2 + room - stream.avail_out;
    return MszipEncode::Ok;
  }
  if (result == Z_MEM_ERROR) return MszipEncode::NoMemory;
  storeMszipBlock(data, size, out, written);
  return MszipEncode::Ok;
}

void storeMszipBlock(const unsigned char* data, std::uint32_t size,
                     unsigned char* out, std::uint32_t* written) {
  out[0] = kBlockMagic[0];
  out[1] = kBlockMagic[1];
  // One stored deflate block, final, with its length and the length's
  // complement.
  unsigned char* stored = out + 2;
  stored[0] = 0x01;
  stored[1] = static_cast<unsigned char>(size);
  stored[2] = static_cast<unsigned char>(size >> 8);
  stored[3] = static_cast<unsigned char>(~size);
  stored[4] = static_cast<unsigned char>(~size >> 8);
  std::memcpy(stored + 5, data, size);
  *written = 2 + 5 + size;
}

MszipWrite writeMszipBlock(MszipEncoder* encoder,
                           const unsigned char* dictionary,
                           const unsigned char* data, std::uint32_t size,
                           unsigned char* out, std::uint32_t* written,
                           unsigned char* check) {
  if (encodeMszipBlock(encoder, dictionary, data, size, out, written) !=
      MszipEncode::Ok)
    return MszipWrite::NoMemory;
  const char* difference = nullptr;
  bool decoded =
      decodeMszipAlone(out, *written, dictionary, check, size, &difference);
  if (decoded && difference != nullptr) {
    storeMszipBlock(data, size, out, written);
    decoded =
        decodeMszipAlone(out, *written, dictionary, check, size, &difference);
  }
  return decoded && difference == nullptr ? MszipWrite::Ok
                                          : MszipWrite::DoesNotDecode;
}
