// CommandLine.cpp - the program-name split and the re-joining of argv.
#include "app/CommandLine.h"

#include <cstddef>
#include <cstring>

#include "runtime/Runtime.h"
#include "text/Scan.h"

const char* argumentText(const char* commandLine) {
  const char* end;
  if (*commandLine == '"') {
    end = std::strchr(commandLine + 1, '"');
  } else {
    end = std::strchr(commandLine, ' ');  // a tab does not end the name
  }
  if (end == nullptr) return "";
  return skipBlanks(end + 1);
}

namespace {

bool needsQuotes(const char* argument) {
  if (*argument == '\0') return true;
  for (; *argument != '\0'; ++argument) {
    if (*argument == ' ' || *argument == '\t' || *argument == '"') return true;
  }
  return false;
}

}  // namespace

char* joinArguments(int argc, const char* const* argv) {
  // Worst case per argument: every character doubled, two quotes, a space.
  std::size_t size = 1;
  for (int i = 1; i < argc; ++i) size += 2 * std::strlen(argv[i]) + 3;
  char* text = static_cast<char*>(allocZeroed(size));
  if (text == nullptr) return nullptr;

  char* out = text;
  for (int i = 1; i < argc; ++i) {
    if (i > 1) *out++ = ' ';
    const char* argument = argv[i];
    if (!needsQuotes(argument)) {
      const std::size_t length = std::strlen(argument);
      std::memcpy(out, argument, length);
      out += length;
      continue;
    }
    *out++ = '"';
    for (; *argument != '\0'; ++argument) {
      if (*argument == '"') *out++ = '"';
      *out++ = *argument;
    }
    *out++ = '"';
  }
  *out = '\0';
  return text;
}
