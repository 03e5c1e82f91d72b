// Run.h - the tool's entry and the one run every invocation performs.
#ifndef SETUPHDR_APP_RUN_H
#define SETUPHDR_APP_RUN_H

#include <cstdint>

/// Runs the tool on the argument text (the command line behind the program
/// name) and returns the process exit code. A null text (no memory to build
/// it) fails like a runtime that cannot start.
std::uint32_t runCommand(const char* arguments);

/// The process entry: takes the argument text from the system's command
/// line (or argv, where the system keeps none), runs it and ends the process
/// with the result.
[[noreturn]] void startTool(int argc, const char* const* argv);

#endif
