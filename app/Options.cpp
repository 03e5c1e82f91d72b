// Options.cpp - reading the options and the file path of a command line.
//
// The first error found ends the reading with one line on the error stream;
// later words are not looked at.
#include "app/Options.h"

#include <cstring>

#include "header/ArchTable.h"
#include "runtime/Console.h"
#include "text/Scan.h"

const char* readArchValue(const char* text, std::uint32_t* code) {
  char word[kArchWordSize];
  std::size_t wordLength = 0;
  const char* next = readToken(text, word, sizeof word, nullptr, &wordLength);
  if (next == nullptr) {
    reportError("No arch value");
    return nullptr;
  }
  // A longer word would be read cut, and a cut number can be another code.
  if (wordLength >= sizeof word) {
    reportError("Invalid arch value \"%s\"", word);
    return nullptr;
  }
  for (const ArchEntry& entry : kArchTable) {
    if (compareText(word, entry.name, -1, true)) {
      *code = entry.code;
      return next;
    }
  }
  const char* end = nullptr;
  const std::uint64_t value = parseUnsigned(word, 10, &end);
  if (*end != '\0') {
    reportError("Invalid arch value \"%s\"", word);
    return nullptr;
  }
  *code = static_cast<std::uint32_t>(value);
  return next;
}

const char* readVersionValue(const char* text, VersionTriple* version) {
  std::uint32_t* const parts[3] = {&version->major, &version->minor,
                                   &version->build};
  for (int i = 0; i < 3; ++i) {
    const char* end = nullptr;
    const std::uint64_t value = parseUnsigned(text, 10, &end);
    // Keeping the low 32 bits of a longer number would store another version.
    if (value > 0xFFFFFFFFu) {
      reportError("Invalid number \"%s\"", text);
      return nullptr;
    }
    *parts[i] = static_cast<std::uint32_t>(value);
    text = end;
    if (i < 2 && *text == '.') ++text;
  }
  if (*text != '\0' && !isBlank(*text)) {
    reportError("Point, space or EOL expected: \"%s\"", text);
    return nullptr;
  }
  return text;
}

namespace {

enum class Option { Arch, MinVersion, MaxVersion, Unsign, AllPlatforms, Json };

struct OptionKeyword {
  const char* keyword;
  int length;
  Option option;
  Action action;         // the one action that takes it
  const char* repeated;  // the error for a second use
};

// Tested in this order; a name that begins with a keyword is that keyword.
// No keyword begins with another, so the order decides nothing and every
// keyword keeps its own words.
const OptionKeyword kKeywords[] = {
    {"arch", 4, Option::Arch, Action::Change, "Arch already specified"},
    {"vermin", 6, Option::MinVersion, Action::Change,
     "Minimal version already specified"},
    {"vermax", 6, Option::MaxVersion, Action::Change,
     "Maximal version already specified"},
    {"unsign", 6, Option::Unsign, Action::Change, "Unsign already specified"},
    {"allplatforms", 12, Option::AllPlatforms, Action::Change,
     "Allplatforms already specified"},
    {"json", 4, Option::Json, Action::List, "Json already specified"},
};

// Reads the option whose name starts at name; returns the position behind
// its value, or null after an error line.
const char* readOption(const char* name, Command* command) {
  std::size_t nameLength = 0;
  while (name[nameLength] != '\0' && !isBlank(name[nameLength])) ++nameLength;
  if (nameLength == 0) {
    reportError("No option name");
    return nullptr;
  }
  const char* value = skipBlanks(name + nameLength);

  const OptionKeyword* match = nullptr;
  for (const OptionKeyword& keyword : kKeywords) {
    // The list's option is no option to the other actions: they refuse
    // it as an unknown name, as they did before the list had it.
    if (keyword.action == Action::List && command->action != Action::List)
      continue;
    if (compareText(name, keyword.keyword, keyword.length, false)) {
      match = &keyword;
      break;
    }
  }
  if (match == nullptr) {
    reportError("Invalid option %s", name);
    return nullptr;
  }
  if (command->action != match->action) {
    reportError("Invalid option for the action");
    return nullptr;
  }

  ChangeRequest& changes = command->changes;
  switch (match->option) {
    case Option::Arch:
      if (changes.archGiven) break;
      value = readArchValue(value, &changes.arch);
      changes.archGiven = value != nullptr;
      return value;
    case Option::MinVersion:
      if (changes.minVersionGiven) break;
      value = readVersionValue(value, &changes.minVersion);
      changes.minVersionGiven = value != nullptr;
      return value;
    case Option::MaxVersion:
      if (changes.maxVersionGiven) break;
      value = readVersionValue(value, &changes.maxVersion);
      changes.maxVersionGiven = value != nullptr;
      return value;
    case Option::Unsign:
      // A switch without a value: the next word is read as usual.
      if (command->unsign) break;
      command->unsign = true;
      return name + nameLength;
    case Option::AllPlatforms:
      if (changes.clearPlatforms) break;
      changes.clearPlatforms = true;
      return name + nameLength;
    case Option::Json:
      if (command->json) break;
      // The list reads every word from its first path on as a path.
      if (command->path[0] != '\0') {
        reportError("Option json must come before the paths");
        return nullptr;
      }
      command->json = true;
      return name + nameLength;
  }
  reportError("%s", match->repeated);
  return nullptr;
}

}  // namespace

const char* readPathWord(const char* text, char* path) {
  // A path cut to fit could name another, existing file.
  std::size_t pathLength = 0;
  const char* next = readToken(text, path, kPathSize, nullptr, &pathLength);
  if (next == nullptr || pathLength == 0 || pathLength >= kPathSize) {
    path[0] = '\0';
    return nullptr;
  }
  return next;
}

bool readOptions(Action action, const char* text, Command* command) {
  std::memset(command, 0, sizeof *command);
  command->action = action;

  const char* position = skipBlanks(text);
  while (*position != '\0') {
    if (*position == '-') {
      position = readOption(position + 1, command);
      if (position == nullptr) return false;
    } else {
      // Only the list action takes several paths; it reads them again
      // one by one as it lists them.
      if (command->path[0] != '\0' && action != Action::List) {
        reportError("File path already specified");
        return false;
      }
      const bool first = command->path[0] == '\0';
      char path[kPathSize];
      const char* next = readPathWord(position, first ? command->path : path);
      if (next == nullptr) {
        command->path[0] = '\0';
        reportError("Error in file path");
        return false;
      }
      if (first) command->paths = position;
      position = next;
    }
    position = skipBlanks(position);
  }

  if (command->path[0] == '\0') {
    reportError("No file specified");
    return false;
  }
  const ChangeRequest& changes = command->changes;
  if (action == Action::Change && !changes.archGiven &&
      !changes.minVersionGiven && !changes.maxVersionGiven &&
      !changes.clearPlatforms && !command->unsign) {
    reportError("No fields to change");
    return false;
  }
  return true;
}
