// FileTable.h - the members of a cabinet: reading its file table, and the
// name of a member when a line needs it.
#ifndef SETUPHDR_CABINET_FILETABLE_H
#define SETUPHDR_CABINET_FILETABLE_H

#include <cstdint>

#include "cabinet/Cabinet.h"

/// Reads the file table into cabinet->members (the last step of
/// readCabinet): every entry inside the cabinet, every name ending within
/// 256 bytes and not empty, every member inside a folder that exists and
/// not continued from or into another cabinet. Keeps source in the cabinet,
/// for the names.
CabStatus readFileTable(const CabinetSource& source, Cabinet* cabinet);

/// The name of member index, NUL-terminated: inside the file table when
/// the cabinet is in memory, else read into buffer (CabFormat::kMaxNameSize
/// bytes). Null after a line when it cannot be read or is no longer the
/// name the table held (ReadFailed), never a different name.
const char* cabFileName(const Cabinet& cabinet, std::uint32_t index,
                        char* buffer);

/// The name of member index copied into buffer (CabFormat::kMaxNameSize
/// bytes) for a line of the tool's, an error line or the report: its
/// control bytes masked on every stream, terminal or not. Returns buffer,
/// or null after a line as cabFileName.
const char* nameForError(const Cabinet& cabinet, std::uint32_t index,
                         char* buffer);

#endif
