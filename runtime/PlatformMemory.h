// PlatformMemory.h - the store of files and the stream sinks of the
// in-memory platform layer (PlatformMemory.cpp), which the web page links
// instead of a system's.
//
// The host puts files into the store under the paths it gives the command
// line, runs the tool, and then reads what the run wrote to its two streams
// and, after a change, the new bytes of the file. There are no folders: a
// path names a stored file or nothing.
#ifndef SETUPHDR_RUNTIME_PLATFORMMEMORY_H
#define SETUPHDR_RUNTIME_PLATFORMMEMORY_H

#include <cstddef>
#include <cstdint>

namespace memoryplatform {

/// Puts a file into the store under path, in place of any file stored
/// there. The store takes over bytes, a block from std::malloc of size
/// bytes (null for an empty file), and frees it when the file is dropped
/// or replaced. False when memory is short; bytes is freed then too.
bool putFile(const char* path, unsigned char* bytes, std::uint32_t size);

/// True when a file is stored under path.
bool hasFile(const char* path);

/// The bytes of the file stored under path, with their count in *size, or
/// null (and 0) when there is none. Valid until the store next changes.
const unsigned char* fileBytes(const char* path, std::uint32_t* size);

/// Drops the file stored under path; nothing when there is none.
void dropFile(const char* path);

/// Drops every stored file.
void dropAllFiles();

/// The streams a run writes to: the output, the error stream, and both in
/// the order of their writes.
enum class Stream { Output, Error, Both };

/// The bytes written to stream since the last run began (a run begins when
/// it acquires the standard handles), with their count in *size. Valid
/// until the next run begins.
const char* streamBytes(Stream stream, std::size_t* size);

}  // namespace memoryplatform

#endif
