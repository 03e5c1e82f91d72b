// ExitCodes.h - the process exit codes, each tied to the failures that give it.
#ifndef SETUPHDR_APP_EXITCODES_H
#define SETUPHDR_APP_EXITCODES_H

#include <cstdint>

enum ExitCode : std::uint32_t {
  kExitOk = 0,                // the action completed
  kExitUsage = 1,             // no arguments: usage text and listing shown
  kExitCommandLine = 2,       // command-line error
  kExitNoMemory = 100,        // the file buffer could not be allocated
  kExitOpenFailed = 101,      // open failed, size 0 or too large
  kExitReadFailed = 102,      // reading failed, or the file changed since
  kExitBadHeader = 103,       // short file, bad signature or text outside;
                              // a cabinet without a setup file
  kExitSeekFailed = 104,      // setting the file position failed
  kExitWriteFailed = 105,     // writing the header failed
  kExitDamagedCabinet = 106,  // a cabinet that breaks its own format
  kExitUnhandledCabinet = 107,  // a cabinet form the tool does not handle
  kExitSignedCabinet = 108,   // a signed cabinet to change without -unsign
  kExitReplaceFailed = 109,   // the new cabinet could not be written or put
                              // in place; the original is untouched
  kExitOutputFailed = 110,    // the report could not be written
  kExitListFailed = 111,      // the list action could not list every file
  kExitNoStdHandles = 1000,   // no usable standard handles
  kExitRuntimeFailed = 1001,  // the runtime start failed
};

#endif
