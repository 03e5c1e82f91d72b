// Console.h - the two output streams and the message lines written to them.
//
// Every line the tool prints goes through writeLine: one formatted message,
// cut to 1021 characters, followed by CR LF, written with a single write so
// that output and error lines keep their order on a shared pipe.
#ifndef SETUPHDR_RUNTIME_CONSOLE_H
#define SETUPHDR_RUNTIME_CONSOLE_H

#include <cstdarg>
#include <cstddef>
#include <cstdint>

#include "runtime/Platform.h"

/// The process-wide output and error stream handles; kNoHandle when not held.
struct ConsoleStreams {
  platform::Handle output;
  platform::Handle error;
};

extern ConsoleStreams gConsole;

/// Room for one formatted message: 1021 characters, CR LF and the NUL.
constexpr std::size_t kMessageBufferSize = 1024;
constexpr std::size_t kMessageTextLimit = 1022;  // characters, NUL included

/// Room every caller gives describeError.
constexpr std::size_t kErrorTextSize = 256;

/// Formats one message to handle, appending CR LF when lineEnd is set.
/// The result of the write is not examined.
void writeLine(platform::Handle handle, const char* format, va_list args,
               bool lineEnd);

/// One line to the output stream.
void printMessage(const char* format, ...);

/// One line to the error stream.
void reportError(const char* format, ...);

/// Writes "[u]facility/number - system text" for a system error code into
/// buffer and returns buffer. Without system text only "[u]facility/number"
/// remains. Leaves the thread's last-error value as it found it.
char* describeError(char* buffer, std::size_t capacity, std::uint32_t code);

#endif
