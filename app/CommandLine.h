// CommandLine.h - from the process's command line to the argument text.
#ifndef SETUPHDR_APP_COMMANDLINE_H
#define SETUPHDR_APP_COMMANDLINE_H

/// The arguments behind the program name of a whole command line, blanks
/// skipped. A quoted program name runs to the next double quote, an unquoted
/// one to the first space. Without that character the result is empty.
const char* argumentText(const char* commandLine);

/// Joins argv[1..argc-1] with single spaces into one command-line text that
/// reads back to the same words: an argument that is empty or holds a
/// space, a tab or a double quote is put in double quotes, with each double
/// quote inside it doubled. The text is allocated with allocZeroed (release
/// it with freeBlock); null when memory is short.
char* joinArguments(int argc, const char* const* argv);

#endif
