// CabinetProcessing.h - carrying out one command on a cabinet (.cab) that
// holds a setup file.
#ifndef SETUPHDR_APP_CABINETPROCESSING_H
#define SETUPHDR_APP_CABINETPROCESSING_H

#include <cstdint>

#include "app/Options.h"
#include "cabinet/Cabinet.h"
#include "runtime/Platform.h"

/// The exit code of a failure of the cabinet code: what d and c end with,
/// and what the list's JSON output gives for it. kExitOk for Ok.
std::uint32_t exitCodeFor(CabStatus status);

/// The cabinet reader's source function for a range of an open file:
/// context points at its platform::Handle. A failed read gets its one error
/// line ("Cannot read file (...)") here.
bool readCabinetRange(void* context, std::uint32_t offset, void* buffer,
                      std::uint32_t size);

/// Shows or changes the setup file inside the cabinet open as *file (size
/// bytes, positioned anywhere). A display reads only what it needs. A
/// change builds and checks a new image, writes it to a temporary file
/// beside the cabinet and puts it in place of the original, which is never
/// written itself; *file may be closed (and set to kNoHandle) on the way.
/// Returns the exit code, after one error line on failure.
std::uint32_t processCabinet(const Command& command, platform::Handle* file,
                             std::uint32_t size);

#endif
