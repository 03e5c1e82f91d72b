// FolderRelayout.h - a folder laid out anew from one of its blocks to its
// end, when a member in it changes size: the folder's stream from that
// block on, with the member's new bytes in place of its old ones, cut into
// blocks of 32 KiB (the last one shorter), stored or MSZIP.
//
// The pass of a change feeds the folder's decoded blocks in order. From the
// block that holds the member's first byte, their bytes are held until the
// member is whole and its new bytes are known; then the held bytes and
// every later block go to the new blocks. An MSZIP block made here has the
// block before it as its dictionary when that holds 32 KiB, and none
// otherwise: every one but the last holds 32 KiB, so each means the same
// in the sliding and in the frame reading (Mszip.h). Each block made is
// decoded back at once and must hold its bytes.
#ifndef SETUPHDR_CABINET_FOLDERRELAYOUT_H
#define SETUPHDR_CABINET_FOLDERRELAYOUT_H

#include <cstdint>

#include "cabinet/Cabinet.h"
#include "cabinet/CabinetFormat.h"
#include "cabinet/FolderReader.h"

struct MszipEncoder;

/// The new bytes of a member of another size.
struct MemberReplacement {
  std::uint32_t index;    // member index
  std::uint32_t start;    // in its folder's stream
  std::uint32_t oldSize;
  std::uint32_t newSize;
  /// Writes count bytes of the new member, from its offset from, to out.
  void (*write)(const void* context, std::uint32_t from, std::uint32_t count,
                unsigned char* out);
  const void* context;
};

/// Changes the old bytes of the folder's stream before they go into a new
/// block (the setup file's header, when it lies in the same folder): size
/// bytes from stream position start, in place.
struct StreamPatch {
  void (*apply)(void* context, std::uint32_t start, std::uint32_t size,
                unsigned char* bytes);
  void* context;
};

/// The state of one folder's new layout; zero it, then set folder and
/// patch. Its fields are the relayout's own.
struct FolderRelayout {
  std::uint16_t folder;
  StreamPatch patch;          // apply may be null
  bool holding;               // old bytes are held from streamStart
  bool writing;               // new blocks are being made
  bool finished;              // the folder's last block is in
  std::uint32_t first;        // the first block replaced
  std::uint32_t oldOffset;    // of its record
  std::uint32_t oldSize;      // of the records from there to the folder's end
  std::uint32_t streamStart;  // of block first, in old and new stream alike
  std::uint32_t newStreamEnd;  // behind the last byte put into new blocks
  std::int64_t shift;         // new member size less old
  CabBlock like;              // block first: its checksum kind
  unsigned char prefix[CabFormat::kBlockHeaderSize + 255];  // its header
  std::uint32_t prefixSize;   // and reserve, copied into every new block
  unsigned char* held;        // old bytes from streamStart
  std::uint32_t heldSize;
  std::uint32_t heldRoom;
  unsigned char* window;      // pending bytes, dictionary, decode check
  std::uint32_t pendingSize;  // new bytes not yet in a block
  bool hasDictionary;         // the block before the next one held 32 KiB
  MszipEncoder* encoder;      // the caller's; null for a stored folder
  unsigned char* records;     // header, reserve and data of each new block
  std::uint32_t size;
  std::uint32_t capacity;
  std::uint32_t count;        // new blocks
  CabStatus status;           // NoMemory, or Unhandled after its line
  const char* problem;        // why a block made does not hold its bytes
};

/// Starts holding the folder's bytes from the current block of reader (of
/// the relayout's folder, decoded whole): the block that holds the first
/// byte of the member that will change size. Keeps the block before it as
/// the first new block's dictionary when it held 32 KiB. An MSZIP folder's
/// blocks are encoded with encoder, which the caller owns.
void startRelayoutHold(FolderRelayout* relayout, const FolderReader& reader,
                       MszipEncoder* encoder);

/// Holds the current block of reader, decoded whole.
void holdRelayoutBlock(FolderRelayout* relayout, const FolderReader& reader);

/// The member's new bytes are known: makes new blocks of the held bytes,
/// with the member's new bytes in place of its old ones (which must lie
/// inside the held bytes), and releases them.
void startRelayoutWrite(FolderRelayout* relayout,
                        const MemberReplacement& member);

/// Puts the current block of reader, decoded whole, into new blocks.
void writeRelayoutBlock(FolderRelayout* relayout, const FolderReader& reader);

/// The folder's last block is in: makes the last new block of what is
/// pending. Refuses (Unhandled, after its line) a folder that would need
/// more than 65,535 blocks.
void finishRelayout(FolderRelayout* relayout, const Cabinet& cabinet);

/// Gives up the held bytes: the member keeps its size after all.
void dropRelayout(FolderRelayout* relayout);

/// Releases what only the making of the blocks needs (held bytes, the
/// window), keeping the new blocks; safe at any point.
void releaseRelayoutWork(FolderRelayout* relayout);

/// Releases everything the relayout holds; safe at any point.
void releaseRelayout(FolderRelayout* relayout);

#endif
