// Mszip.h - MSZIP, the deflate-based compression of cabinet folders, on
// zlib.
//
// An MSZIP block is "CK" and a complete raw deflate stream whose
// back-references may reach up to 32 KiB behind the block's start. Readers
// disagree on what lies there when the block before held less than 32 KiB:
//   - the sliding reading (zlib's, and this tool's): the last 32 KiB of the
//     folder's output;
//   - the frame reading (libmspack's, so cabextract's): every block is
//     decoded into the start of one 32 KiB frame, and a reference behind
//     the block's start reads what earlier blocks left in the frame there.
// Before a block, the frame in order acts as a 32 KiB dictionary, as the
// last 32 KiB do for the sliding reading; after a block of 32 KiB both are
// that block. A decoder keeps both; an encoder is handed its dictionary.
//
// libmspack also reads some blocks zlib decodes in other ways, whatever
// lies before them: it looks for "CK" in the bytes behind a block's deflate
// stream and decodes on from there; it refuses a block of more than 38,912
// (32 KiB + 6 KiB) bytes; and it builds its code tables by other rules
// (DeflateHeader.h). A decoder asked to check a block's form finds these.
#ifndef SETUPHDR_CABINET_MSZIP_H
#define SETUPHDR_CABINET_MSZIP_H

#include <cstdint>

/// The decoding state of one folder: zlib's inflate, the current block and
/// the one before it, and what each reading keeps of the earlier blocks.
struct MszipDecoder;

/// A decoder with an empty history, or null when memory is short.
MszipDecoder* createMszipDecoder();

/// Releases a decoder; null is ignored.
void destroyMszipDecoder(MszipDecoder* decoder);

/// Forgets the history: the next block starts a new folder.
void resetMszipHistory(MszipDecoder* decoder);

/// Starts decoding one block (its data, "CK" included, which must stay in
/// place until the block is done) of outSize bytes (at most 32 KiB), with
/// the sliding reading's history of the blocks before it. With checkForm,
/// the decode notes where libmspack would read the block's bytes otherwise
/// (see mszipDifference). Nothing is produced yet. False when the block
/// does not start as an MSZIP block.
bool beginMszipBlock(MszipDecoder* decoder, const unsigned char* data,
                     std::uint32_t size, std::uint32_t outSize,
                     bool checkForm);

/// Decodes the block begun last until upTo bytes of it are out (upTo at
/// most its outSize; bytes already out stay). At outSize the deflate stream
/// must end there; bytes behind the end of the stream are accepted. False
/// when the block does not decode that far, or not to exactly outSize
/// bytes.
bool produceMszipBlock(MszipDecoder* decoder, std::uint32_t upTo);

/// The output of the block begun last; valid until the next block begins.
const unsigned char* mszipBlockOutput(const MszipDecoder* decoder);

/// The block before the one begun last when it held 32 KiB (then it is the
/// whole history of both readings), else null.
const unsigned char* mszipFullPrevious(const MszipDecoder* decoder);

/// True when the block begun last is known to refer back to nothing: it is
/// the folder's first, or it was begun with checkForm behind a block of
/// less than 32 KiB and decodes with no history at all. Its bytes are then
/// the same whatever lies before it, in every reading.
bool mszipStandsAlone(const MszipDecoder* decoder);

/// For a block decoded whole, begun with checkForm: why libmspack reads
/// it otherwise, as a short clause for an error line, or null when every
/// reader gives the same bytes. First its form: its size, its deflate
/// headers, the bytes behind its stream. Then the frame reading: only a
/// block behind a shorter block can differ; it is decoded again with the
/// frame as its dictionary, where frame positions no block has written yet
/// hold bytes that differ from the sliding reading's, so a reference to
/// them counts as a difference (as does memory too short for that decode).
const char* mszipDifference(MszipDecoder* decoder);

/// Decodes one block (data, "CK" included) on its own into out (outSize
/// bytes), with dictionary (32 KiB) as all it may refer back to, or nothing
/// when dictionary is null. False when it does not decode to exactly
/// outSize bytes or memory is short. With difference, also checks the
/// block's form as mszipDifference does, and stores why libmspack reads it
/// otherwise in *difference, or null.
bool decodeMszipAlone(const unsigned char* data, std::uint32_t size,
                      const unsigned char* dictionary, unsigned char* out,
                      std::uint32_t outSize,
                      const char** difference = nullptr);

/// The encoding state kept from block to block.
struct MszipEncoder;

/// An encoder, or null when memory is short.
MszipEncoder* createMszipEncoder();

/// Releases an encoder; null is ignored.
void destroyMszipEncoder(MszipEncoder* encoder);

/// Room a block of size bytes takes at most when encoded: "CK" and one
/// stored deflate block.
constexpr std::uint32_t mszipBound(std::uint32_t size) { return 2 + 5 + size; }

/// Outcome of encodeMszipBlock.
enum class MszipEncode { Ok, NoMemory };

/// Encodes size bytes (at most 32 KiB) as one MSZIP block into out, which
/// has room for mszipBound(size) bytes, with dictionary (32 KiB) as what it
/// may refer back to, or nothing when dictionary is null. Where deflate
/// would not be smaller, the block holds the bytes as a stored deflate
/// block. Stores the block's size in *written.
MszipEncode encodeMszipBlock(MszipEncoder* encoder,
                             const unsigned char* dictionary,
                             const unsigned char* data, std::uint32_t size,
                             unsigned char* out, std::uint32_t* written);

/// Writes size bytes (at most 32 KiB) as one MSZIP block holding a single
/// stored deflate block into out (room for mszipBound(size) bytes), which
/// every reader reads alike; stores the block's size in *written.
void storeMszipBlock(const unsigned char* data, std::uint32_t size,
                     unsigned char* out, std::uint32_t* written);

/// Outcome of writeMszipBlock.
enum class MszipWrite { Ok, NoMemory, DoesNotDecode };

/// A block as the tool writes it: encodeMszipBlock, then decoded back at
/// once on its own into check (size bytes) against the same dictionary,
/// checking its form (decodeMszipAlone); where libmspack would read it
/// otherwise (which zlib's deflate does not write), it is written stored
/// instead. The caller compares check with data. DoesNotDecode when the
/// block written does not decode to size bytes.
MszipWrite writeMszipBlock(MszipEncoder* encoder,
                           const unsigned char* dictionary,
                           const unsigned char* data, std::uint32_t size,
                           unsigned char* out, std::uint32_t* written,
                           unsigned char* check);

#endif
