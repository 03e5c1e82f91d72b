// PathWalk.h - the walk over the paths of the list action: files, folders
// with their subfolders in name order, and (where the shell leaves them to
// the program) wildcard patterns.
#ifndef SETUPHDR_APP_PATHWALK_H
#define SETUPHDR_APP_PATHWALK_H

#include <cstddef>
#include <cstdint>

/// Room of a path built by walking folders, NUL included.
constexpr std::size_t kWalkPathSize = 1024;

/// What the walk does with a file at path; named tells whether the user
/// named it or it was found in a folder; context is the walk's. False after
/// an error line.
using VisitFile = bool (*)(void* context, const char* path, bool named);

/// Told of each error line of the walk's own (a folder that cannot be read,
/// a path too long, no match), just after it; path is the one the line
/// names.
using WalkFailed = void (*)(void* context, const char* path);

/// The state of one walk: the path in hand, and whether any path or file
/// could not be listed. Allocate it zeroed and set visit, failedHook (or
/// leave it null) and their context.
struct PathWalk {
  char path[kWalkPathSize];
  bool failed;
  VisitFile visit;
  WalkFailed failedHook;
  void* context;
};

/// Walks word, a path of the command line: a file is visited; a folder is
/// read, its names sorted byte for byte, and each visited in that order (a
/// folder in it walked the same way, a link to a folder passed over); a
/// path whose last part holds "*" or "?" where the system leaves wildcards
/// to the program is expanded to the names that match, in name order. Each
/// error line (a folder that cannot be read, a path too long, no match)
/// carries the path as its prefix, and sets failed. Returns false when the
/// output can no longer be written, which ends the listing.
bool walkPath(PathWalk* walk, const char* word);

#endif
