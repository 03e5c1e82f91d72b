// Mszip.h - MSZIP, the deflate-based compression of cabinet folders, on
// zlib.
//
// An MSZIP block is "CK" and a complete raw deflate stream whose
// back-references may reach up to 32 KiB into the output of the folder's
// earlier blocks. A decoder therefore keeps that history from block to
// block; an encoder is handed it.
#ifndef SETUPHDR_CABINET_MSZIP_H
#define SETUPHDR_CABINET_MSZIP_H

#include <cstdint>

/// The decoding state of one folder: zlib's inflate and the last 32 KiB of
/// output.
struct MszipDecoder;

/// A decoder with an empty history, or null when memory is short.
MszipDecoder* createMszipDecoder();

/// Releases a decoder; null is ignored.
void destroyMszipDecoder(MszipDecoder* decoder);

/// Forgets the history: the next block starts a new folder.
void resetMszipHistory(MszipDecoder* decoder);

/// Starts decoding one block (its data, "CK" included, which must stay in
/// place until the block is done) into out, which takes its outSize bytes,
/// with the history of the blocks before it. Nothing is produced yet.
/// False when the block does not start as an MSZIP block.
bool beginMszipBlock(MszipDecoder* decoder, const unsigned char* data,
                     std::uint32_t size, unsigned char* out,
                     std::uint32_t outSize);

/// Decodes the block begun last until upTo bytes of it are out (upTo at
/// most its outSize; bytes already out stay). At outSize the deflate stream
/// must end there, and the block's output joins the history; bytes behind
/// the end of the stream are accepted. False when the block does not
/// decode that far, or not to exactly outSize bytes.
bool produceMszipBlock(MszipDecoder* decoder, std::uint32_t upTo);

/// Outcome of encodeMszipBlock.
enum class MszipEncode { Ok, NoMemory };

/// Encodes size bytes (at most 32 KiB) as one MSZIP block into out, which
/// has room for CabFormat::kMaxWrittenMszipData bytes, with the historySize
/// bytes before them (at most 32 KiB are used) as the history. Where
/// deflate would not fit, the block holds the bytes as a stored deflate
/// block. Stores the block's size in *written.
MszipEncode encodeMszipBlock(const unsigned char* history,
                             std::uint32_t historySize,
                             const unsigned char* data, std::uint32_t size,
                             unsigned char* out, std::uint32_t* written);

#endif
