// Options.h - the command behind the action letter: options, values and the
// file path.
#ifndef SETUPHDR_APP_OPTIONS_H
#define SETUPHDR_APP_OPTIONS_H

#include <cstdint>

#include "header/HeaderReport.h"

enum class Action { Display = 1, Change = 2, List = 3 };

/// Room of the file path, NUL included.
constexpr std::uint32_t kPathSize = 260;
/// Room of an -arch word, NUL included.
constexpr std::uint32_t kArchWordSize = 20;

struct Command {
  Action action;
  char path[kPathSize];
  ChangeRequest changes;
  bool unsign;  // -unsign: remove a cabinet's signature
  bool json;    // -json: the list as JSON Lines instead of rows
  // The list action: the command line from its first path on; path holds
  // that first path.
  const char* paths;
};

/// Reads the options and the one file path in text (the command line behind
/// the action letter) into command; for the list action, one or more paths
/// and no option but -json, before the first path. On a command-line error
/// writes one line on the error stream and returns false.
bool readOptions(Action action, const char* text, Command* command);

/// Reads an -arch value at text: a name of the architecture table in any
/// case, or a decimal code. Returns the position behind the value, or null
/// after an error line.
const char* readArchValue(const char* text, std::uint32_t* code);

/// Reads a version value major[.minor[.build]] at text; missing parts are 0.
/// Returns the position behind the value, or null after an error line.
const char* readVersionValue(const char* text, VersionTriple* version);

/// Reads the path word at text into path (kPathSize bytes). Returns the
/// position behind it, or null when it is unterminated, empty or too long
/// for the buffer (a cut path could name another file).
const char* readPathWord(const char* text, char* path);

#endif
