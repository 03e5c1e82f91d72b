// Run.cpp - start-up, the run sequence, the usage text and the exit codes.
#include "app/Run.h"

#include "app/CommandLine.h"
#include "app/ExitCodes.h"
#include "app/FileProcessing.h"
#include "app/ListProcessing.h"
#include "app/Options.h"
#include "app/Version.h"  // generated: the project's version
#include "header/ArchTable.h"
#include "runtime/Console.h"
#include "runtime/Platform.h"
#include "runtime/Runtime.h"
#include "text/Scan.h"

namespace {

// The tool's version, 1.0.0.210, from the project() call of CMakeLists.txt.
constexpr unsigned kVersion[4] = {SETUPHDR_VERSION_MAJOR,
                                  SETUPHDR_VERSION_MINOR,
                                  SETUPHDR_VERSION_PATCH,
                                  SETUPHDR_VERSION_TWEAK};

void printUsage() {
  printMessage(
      "\n"
      "setuphdr %u.%u.%u.%u " SETUPHDR_COPYRIGHT "\n"
      "\n"
      "Command line: <action> [<options>] <MSCE file>\n"
      "\n"
      "Actions:\n"
      "\n"
      "d - display MSCE file header\n"
      "c - change header fields\n"
      "l - list the setup files in files and folders, one row each\n"
      "\n"
      "Options:\n"
      "\n"
      "-arch <code>|<name> - architecture\n"
      "-vermin <major>[.<minor>[.<build>]] - minimal CE version\n"
      "-vermax <major>[.<minor>[.<build>]] - maximal CE version\n"
      "-unsign - remove the signature of a signed cabinet (.cab)\n"
      "-allplatforms - clear the unsupported platforms list\n"
      "-json - list as JSON Lines, one object per setup file\n",
      kVersion[0], kVersion[1], kVersion[2], kVersion[3]);
  printMessage("Architecture codes and names:\n");
  for (const ArchEntry& entry : kArchTable)
    printMessage("%5u %s", entry.code, entry.name);
}

// Reads the action letter and everything behind it, then carries out the
// command. Returns the exit code.
std::uint32_t runArguments(const char* arguments) {
  const char* text = skipBlanks(arguments);
  if (*text == '\0') {
    printUsage();
    return kExitUsage;
  }

  const char letter = text[0];
  if (text[1] != '\0' && !isBlank(text[1])) {
    reportError("Invalid action specifier");
    return kExitCommandLine;
  }
  Action action;
  if (letter == 'd') {
    action = Action::Display;
  } else if (letter == 'c') {
    action = Action::Change;
  } else if (letter == 'l') {
    action = Action::List;
  } else {
    reportError("Unknown action \"%c\"", letter);
    return kExitCommandLine;
  }

  Command command;
  if (!readOptions(action, text + 1, &command)) return kExitCommandLine;
  if (action == Action::List) return listFiles(command);
  return processFile(command);
}

}  // namespace

std::uint32_t runCommand(const char* arguments) {
  // A fresh console for the run: no stream held, no failed write.
  gConsole = ConsoleStreams{platform::kNoHandle, platform::kNoHandle, false,
                            false, 0, nullptr};
  if (!platform::acquireStdHandles(nullptr, &gConsole.output,
                                   &gConsole.error)) {
    // Nothing to write to: end quietly.
    gConsole.output = platform::kNoHandle;
    gConsole.error = platform::kNoHandle;
    appStop();
    return kExitNoStdHandles;
  }

  // Asked once: texts from the file are masked on a terminal.
  gConsole.outputIsTerminal = platform::isTerminal(gConsole.output);

  std::uint32_t result;
  // No argument text means memory ran out before the run could start.
  if (!appStart() || arguments == nullptr) {
    reportError("Cannot initialize application");
    result = kExitRuntimeFailed;
  } else {
    result = runArguments(arguments);
  }

  // Output that did not arrive is said once, whatever the exit code (a
  // display that lost its report has already turned it into a failure).
  std::uint32_t outputError = 0;
  if (outputFailed(&outputError)) {
    char errorText[kErrorTextSize];
    reportError("Cannot write output (%s)",
                describeError(errorText, sizeof errorText, outputError));
  }

  platform::closeHandle(gConsole.output);
  gConsole.output = platform::kNoHandle;
  platform::closeHandle(gConsole.error);
  gConsole.error = platform::kNoHandle;
  appStop();
  return result;
}

void startTool(int argc, const char* const* argv) {
  platform::startProcess();
  std::uint32_t result;
  if (const char* commandLine = platform::processCommandLine()) {
    result = runCommand(argumentText(commandLine));
  } else {
    // Only argv: join it back into one text for the same reader.
    char* joined = joinArguments(argc, argv);
    result = runCommand(joined);
    freeBlock(joined);
  }
  platform::exitProcess(result);
}
