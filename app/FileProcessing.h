// FileProcessing.h - carrying out one command on its setup file.
#ifndef SETUPHDR_APP_FILEPROCESSING_H
#define SETUPHDR_APP_FILEPROCESSING_H

#include <cstdint>

#include "app/Options.h"

/// Opens the command's file, reads it whole, checks its header and shows it
/// or changes it, writing back only the 100 header bytes, all or none of
/// them. Returns the exit code: 0, 100 to 105 after one error line, or 110
/// when the report could not be written. The file and its buffer are
/// released on every path.
std::uint32_t processFile(const Command& command);

#endif
