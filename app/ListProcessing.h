// ListProcessing.h - the list action: one row (or JSON object) per setup
// file found in the files and folders of a command line.
#ifndef SETUPHDR_APP_LISTPROCESSING_H
#define SETUPHDR_APP_LISTPROCESSING_H

#include <cstdint>

#include "app/Options.h"

/// Lists every path of the command (a setup file, a cabinet or a folder,
/// walked in name order; on Windows a "*" or "?" in a path's last part is
/// expanded here). Prints a header row, then one tab-separated row per
/// setup file; with -json, one JSON object per setup file and no header
/// row. A path or file that cannot be listed gets one error line, "PATH: "
/// and the message the display would give, and with -json an object with
/// that message and the exit code the display would give (111 for a path
/// the walk cannot follow); the listing goes on. Returns 0 when every file
/// was listed, 111 when any could not be, and 110 (at once) when the output
/// cannot be written.
std::uint32_t listFiles(const Command& command);

#endif
