// Console.cpp - message lines on the output and error streams, and the text
// of system error codes.
#include "runtime/Console.h"

#include <cstring>

ConsoleStreams gConsole = {platform::kNoHandle, platform::kNoHandle, false,
                           false, 0, nullptr};

namespace {

// Room the prefix may take of a line, so that a long path leaves the
// message its say.
constexpr std::size_t kPrefixLimit = 512;

// The message of the last error line, as lastErrorMessage gives it.
char gLastErrorMessage[kMessageBufferSize];

// Formats "prefix: message" into buffer (kMessageTextLimit bytes) and
// masks it; returns its length and stores where the message starts in
// *messageStart.
std::size_t formatPrefixed(char* buffer, const char* format, va_list args,
                           std::size_t* messageStart) {
  const std::size_t prefixLength = std::strlen(gConsole.errorPrefix);
  std::size_t length =
      prefixLength < kPrefixLimit ? prefixLength : kPrefixLimit;
  std::memcpy(buffer, gConsole.errorPrefix, length);
  buffer[length++] = ':';
  buffer[length++] = ' ';
  *messageStart = length;
  length += platform::formatTextV(buffer + length, kMessageTextLimit - length,
                                  format, args);
  buffer[length] = '\0';
  maskControlBytes(buffer);
  return length;
}

}  // namespace

bool writeLine(platform::Handle handle, const char* format, va_list args,
               bool lineEnd) {
  char buffer[kMessageBufferSize];
  std::size_t messageStart = 0;
  std::size_t length =
      handle == gConsole.error && gConsole.errorPrefix != nullptr
          ? formatPrefixed(buffer, format, args, &messageStart)
          : platform::formatTextV(buffer, kMessageTextLimit, format, args);
  // Kept whether or not the line gets through: the list repeats it.
  if (handle == gConsole.error) {
    std::memcpy(gLastErrorMessage, buffer + messageStart,
                length - messageStart);
    gLastErrorMessage[length - messageStart] = '\0';
  }
  if (lineEnd) {
    buffer[length++] = '\r';
    buffer[length++] = '\n';
  }
  std::uint32_t written = 0;
  return platform::writeBytes(handle, buffer,
                              static_cast<std::uint32_t>(length), &written) &&
         written == length;
}

void printMessage(const char* format, ...) {
  // After a failed line the rest of the output would be a torn report.
  if (gConsole.outputFailed) return;
  va_list args;
  va_start(args, format);
  if (!writeLine(gConsole.output, format, args, true)) {
    gConsole.outputFailed = true;
    gConsole.outputError = platform::lastError();
  }
  va_end(args);
}

void printBytes(const char* bytes, std::size_t size) {
  if (gConsole.outputFailed) return;
  std::uint32_t written = 0;
  if (!platform::writeBytes(gConsole.output, bytes,
                            static_cast<std::uint32_t>(size), &written) ||
      written != size) {
    gConsole.outputFailed = true;
    gConsole.outputError = platform::lastError();
  }
}

bool outputFailed(std::uint32_t* error) {
  if (gConsole.outputFailed && error != nullptr) *error = gConsole.outputError;
  return gConsole.outputFailed;
}

void reportError(const char* format, ...) {
  va_list args;
  va_start(args, format);
  writeLine(gConsole.error, format, args, true);
  va_end(args);
}

void setErrorPrefix(const char* prefix) { gConsole.errorPrefix = prefix; }

const char* lastErrorMessage() { return gLastErrorMessage; }

void maskControlBytes(char* text) {
  for (; *text != '\0'; ++text) {
    const auto byte = static_cast<unsigned char>(*text);
    if (byte < 0x20 || byte == 0x7F) *text = '?';
  }
}

char* describeError(char* buffer, std::size_t capacity, std::uint32_t code) {
  // Whatever the formatting calls do to it, the caller's last error survives.
  const std::uint32_t saved = platform::lastError();

  // "u" marks customer codes (bit 29); then the facility and the number.
  const char* customer = (code & 0x20000000u) != 0 ? "u" : "";
  char prefix[32];
  std::size_t prefixLength = platform::formatErrorPrefix(
      prefix, customer, (code >> 16) & 0x1FFFu, code & 0xFFFFu);
  if (prefixLength >= capacity) prefixLength = capacity - 1;
  std::memcpy(buffer, prefix, prefixLength);
  buffer[prefixLength] = '\0';

  std::size_t textLength = 0;
  if (capacity > prefixLength + 1) {
    textLength = platform::systemErrorText(code, buffer + prefixLength,
                                           capacity - prefixLength - 1);
  }
  if (textLength > 0) {
    // System texts often end in the blank that replaced their line break.
    if (buffer[prefixLength + textLength - 1] == ' ')
      buffer[prefixLength + textLength - 1] = '\0';
  } else {
    // No text: drop the " - " and keep "facility/number".
    buffer[prefixLength >= 3 ? prefixLength - 3 : 0] = '\0';
  }

  platform::setLastError(saved);
  return buffer;
}

void reportSystemError(const char* format) {
  char errorText[kErrorTextSize];
  reportError(format, describeError(errorText, sizeof errorText,
                                    platform::lastError()));
}
