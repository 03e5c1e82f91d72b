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

/// The process-wide output and error stream handles (kNoHandle when not
/// held), whether the output is a terminal, and the first failed write to
/// it: once that has happened, printMessage writes nothing more.
struct ConsoleStreams {
  platform::Handle output;
  platform::Handle error;
  bool outputIsTerminal;
  bool outputFailed;
  std::uint32_t outputError;  // system error code of the failed write
  const char* errorPrefix;    // put with ": " before every error line, or null
};

extern ConsoleStreams gConsole;

/// Room for one formatted message: 1021 characters, CR LF and the NUL.
constexpr std::size_t kMessageBufferSize = 1024;
constexpr std::size_t kMessageTextLimit = 1022;  // characters, NUL included

/// Room every caller gives describeError.
constexpr std::size_t kErrorTextSize = 256;

/// Formats one message to handle, appending CR LF when lineEnd is set.
/// Returns true when the whole line was written; otherwise the reason is
/// in platform::lastError().
bool writeLine(platform::Handle handle, const char* format, va_list args,
               bool lineEnd);

/// One line to the output stream. The first line that cannot be written is
/// remembered with its error code, and every later call writes nothing.
void printMessage(const char* format, ...);

/// True when a write to the output stream has failed in this run; stores
/// its system error code in *error (when error is not null).
bool outputFailed(std::uint32_t* error);

/// Writes size bytes to the output stream as they are, in one write, with
/// the bookkeeping of printMessage: after a failed write nothing more goes.
void printBytes(const char* bytes, std::size_t size);

/// One line to the error stream. Its failure has nowhere to be reported.
void reportError(const char* format, ...);

/// Puts prefix and ": " before every later error line, until it is set to
/// null: the list action names the file a failure belongs to. While a
/// prefix is set, each error line is masked whole (maskControlBytes), so a
/// name can never break it in two. The text must outlive its use.
void setErrorPrefix(const char* prefix);

/// The message of the last line written to the error stream in this
/// process, as it was written but without the prefix and the line end
/// (masked, then, when a prefix was set); empty before the first line.
/// The list action repeats it in its JSON output.
const char* lastErrorMessage();

/// Replaces every control byte of text (0x01 to 0x1F and 0x7F) with '?',
/// so that text from a file cannot move the cursor, retitle or clear a
/// terminal. Bytes from 0x80 up are left alone: code-page characters.
void maskControlBytes(char* text);

/// Writes "[u]facility/number - system text" for a system error code into
/// buffer and returns buffer. Without system text only "[u]facility/number"
/// remains. Leaves the thread's last-error value as it found it.
char* describeError(char* buffer, std::size_t capacity, std::uint32_t code);

/// Reports the thread's last system error on the error stream with format,
/// whose one "%s" takes describeError's text ("Cannot read file (%s)").
void reportSystemError(const char* format);

#endif
