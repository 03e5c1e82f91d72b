// Platform.h - the operating-system services setuphdr rests on.
//
// Everything else in the tool is platform-free and reaches the system only
// through these plain functions. Exactly one implementation is linked:
// PlatformWin32.cpp on Windows, PlatformPosix.cpp elsewhere (the unit tests
// link an in-memory fake instead).
#ifndef SETUPHDR_RUNTIME_PLATFORM_H
#define SETUPHDR_RUNTIME_PLATFORM_H

#include <cstdarg>  // va_list for formatTextV
#include <cstddef>
#include <cstdint>

namespace platform {

/// An open stream or file. 0 means "not held"; the value is otherwise opaque
/// (a HANDLE on Windows, a file descriptor plus one elsewhere).
using Handle = std::intptr_t;
constexpr Handle kNoHandle = 0;

/// The process command line including the program name, when the system
/// keeps one (Windows), or null when the process only gets argv.
const char* processCommandLine();

/// Ends the process with the given exit code; never returns.
[[noreturn]] void exitProcess(std::uint32_t code);

/// Prepares the process for its one run; called first of all. On POSIX a
/// write beyond the file-size limit then fails with EFBIG instead of
/// killing the process (SIGXFSZ is ignored). Nothing to do on Windows.
void startProcess();

/// Fetches the standard input, output and error handles and checks each is
/// usable. Returns false, storing nothing, when any of the three is not.
/// Each out-parameter may be null.
bool acquireStdHandles(Handle* input, Handle* output, Handle* error);

/// Closes a stream or file handle; kNoHandle is ignored.
void closeHandle(Handle handle);

/// True when handle is a terminal (POSIX) or a console (Windows), where
/// control bytes in the output would act on the screen.
bool isTerminal(Handle handle);

/// Formats into buffer (capacity bytes including the NUL, capacity >= 1).
/// Longer text is cut; the result is always NUL-terminated. Only "%s",
/// "%u", "%c" and "%5u" are used by the tool. Returns the text length.
std::size_t formatTextV(char* buffer, std::size_t capacity, const char* format,
                        va_list args);

/// Writes the error-code prefix "%s%u/%u - " into buffer (at least 32
/// bytes) and returns its length.
std::size_t formatErrorPrefix(char* buffer, const char* customer,
                              std::uint32_t facility, std::uint32_t number);

/// Writes the system's one-line text for an error code into buffer, which
/// has room for room characters including the NUL. Returns the text's
/// length, or 0 when the system has no text (or it does not fit).
std::size_t systemErrorText(std::uint32_t code, char* buffer, std::size_t room);

/// The calling thread's last-error value (GetLastError, errno) and its setter.
std::uint32_t lastError();
void setLastError(std::uint32_t code);

/// True when the running system is one the tool supports.
bool versionSupported();

/// A zero-filled heap block, or null when memory is short; and its release
/// (a null block is ignored).
void* allocZeroed(std::size_t size);
void freeBlock(void* block);

/// Compares two texts of the given lengths (no NUL needed inside them),
/// under the user's locale on Windows, ASCII-folded elsewhere.
bool equalTexts(const char* a, std::size_t lengthA, const char* b,
                std::size_t lengthB, bool ignoreCase);

/// Opens an existing regular file for reading, or for reading and writing,
/// sharing it with readers only. Returns kNoHandle on failure, with the
/// reason in lastError().
Handle openFile(const char* path, bool forWriting);

/// Outcome of fileSize.
enum class SizeResult { Ok, Failed, TooLarge };

/// The size of an open file. TooLarge when it is 4 GiB or more; Failed,
/// with the reason in lastError(), when the system cannot tell.
SizeResult fileSize(Handle file, std::uint32_t* size);

/// Reads size bytes at offset into buffer; the current position afterwards
/// is unspecified. False, with the reason in lastError(), on an error or
/// when the file ends first.
bool readAt(Handle file, std::uint32_t offset, void* buffer,
            std::uint32_t size);

/// Moves the file position to the start of the file.
bool seekToStart(Handle file);

/// True when the process may write a file up to byte offset end. On POSIX
/// a file-size limit (RLIMIT_FSIZE) below end gives false, with EFBIG in
/// lastError(); Windows has no such limit.
bool writeLimitAllows(std::uint64_t end);

/// Writes size bytes at the current position to a file or stream. Stores
/// the number of bytes written; returns false when the system reports an
/// error.
bool writeBytes(Handle handle, const void* bytes, std::uint32_t size,
                std::uint32_t* written);

/// Who an open file is, and which version of it. volume and index tell it
/// apart from any file that may later take its name (device and inode on
/// POSIX, volume serial number and file index on Windows); written and
/// changed move with every write to it (last-write time and, on POSIX,
/// status-change time; changed is 0 on Windows), in the system's own unit.
struct FileIdentity {
  std::uint64_t volume;
  std::uint64_t index;
  std::uint64_t written;
  std::uint64_t changed;
};

/// The identity of an open file. False, with the reason in lastError(),
/// when the system cannot tell.
bool fileIdentity(Handle file, FileIdentity* identity);

/// True when path itself (not a link to it) names a regular file with the
/// volume and index of identity.
bool pathHasIdentity(const char* path, const FileIdentity& identity);

/// Room for a path that links lead to, or for a temporary file's path,
/// NUL included.
constexpr std::size_t kTempPathSize = 1024;

/// The name under which to replace the file open as file, which was opened
/// by path, so that a new file put there leaves any link in place: on
/// POSIX path itself, or where its last component's symbolic links lead;
/// on Windows the system's own name for the open file, wherever reparse
/// points led (path itself when the system has no such name and path is
/// no reparse point). Stores it in target (kTempPathSize bytes). False,
/// with the reason in lastError(), when a link cannot be followed or the
/// name found is itself a reparse point.
bool resolveLinks(const char* path, Handle file, char* target);

/// Creates a new, empty file in the directory of path, exclusively (never
/// an existing one), for writing, with the permission bits (and, where the
/// system allows, the owner and group) of the open file original. Stores
/// its path in tempPath (kTempPathSize bytes). Until replaceFile or
/// removeFile, the file is removed when the process is interrupted or
/// terminated by a signal (Ctrl-C, Ctrl-Break or closing the console on
/// Windows). Returns kNoHandle on failure, with the reason in lastError().
Handle createTempBeside(const char* path, Handle original, char* tempPath);

/// Flushes a file's written bytes to the disk.
bool flushFile(Handle file);

/// Puts the file at tempPath in place of path in one step: the name shows
/// the old file or the new one, never neither or a mix. *original (the open
/// old file) is closed and set to kNoHandle where the system needs it: on
/// Windows before the move, which cannot replace an open file; on POSIX
/// after the rename, whose directory is then flushed to the disk too. On
/// Windows the new file takes the old one's attributes, read-only
/// included. False, with the reason in lastError(), when the file could not
/// be put in place; the old file is then untouched.
bool replaceFile(const char* tempPath, const char* path, Handle* original);

/// Removes a file; for a temporary file that is not to be put in place.
void removeFile(const char* path);

/// What a path, or a name in a directory, denotes.
enum class PathKind {
  File,       // a regular file, or a link to one
  Directory,  // a directory itself, not a link to one
  Other,      // a link to a directory, a device, a pipe; or nothing there
};

/// What path denotes, following links: a link to a directory given by the
/// user is that directory.
PathKind pathKind(const char* path);

/// The character that joins a directory and a name in a path.
char pathSeparator();

/// True where the shell leaves wildcards to the program (Windows): the
/// tool then expands a "*" or "?" in a path's last part itself.
bool expandsWildcards();

/// Starts reading the entries of directory (an empty text is the current
/// directory). With a pattern (only where expandsWildcards()), only the
/// entries whose names match it (none is no failure). Returns kNoHandle on
/// failure, with the reason in lastError().
Handle openDirectory(const char* directory, const char* pattern);

/// Reads the next entry other than "." and "..": its name (NUL-terminated,
/// room bytes at most, longer names are passed over) and its kind, where a
/// link is followed only to a file. False at the end (lastError() 0) or on
/// an error (its reason in lastError()).
bool readDirectory(Handle directory, char* name, std::size_t room,
                   PathKind* kind);

/// Ends the reading of a directory; kNoHandle is ignored.
void closeDirectory(Handle directory);

}  // namespace platform

#endif
