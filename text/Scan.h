// Scan.h - character-level readers for the command line.
//
// All readers work in place on a NUL-terminated text and return positions
// inside it; none allocates. Blanks are the space and the tab only.
#ifndef SETUPHDR_TEXT_SCAN_H
#define SETUPHDR_TEXT_SCAN_H

#include <cstddef>
#include <cstdint>

/// True for a space or a tab.
bool isBlank(char c);

/// The first position at or after text that is not a blank.
const char* skipBlanks(const char* text);

/// Reads one word at text. A word that begins with a double quote runs to
/// the next lone double quote (blanks included) and the position behind that
/// quote is returned; any other word ends at a character of delimiters
/// (" \t" when null), where the returned position stays. In both, a doubled
/// double quote stands for one double quote. The word is stored in
/// destination (when not null) cut to capacity - 1 characters and
/// NUL-terminated; wordLength (when not null) receives its full length.
/// Returns null at the end of the text or for a quoted word without its
/// closing quote.
const char* readToken(const char* text, char* destination,
                      std::size_t capacity, const char* delimiters,
                      std::size_t* wordLength = nullptr);

/// Parses digits of radix (2 to 36) at text and stores the first character
/// not consumed in *end. Stops before the value would pass 0xFFFFFFFF: the
/// digit that carries it over is not consumed, but the returned value
/// includes it, so a result above 0xFFFFFFFF means overflow. Without digits
/// the result is 0 and *end is text.
std::uint64_t parseUnsigned(const char* text, unsigned radix,
                            const char** end);

/// Compares a and b: whole texts when count is -1, otherwise their first
/// count characters, where a text shorter than count is unequal to one that
/// has count characters. Case is ignored when ignoreCase is set. Never reads
/// past either text's NUL.
bool compareText(const char* a, const char* b, int count, bool ignoreCase);

/// Writes value in decimal at text, without a NUL: at most 10 characters.
/// Returns how many it wrote.
std::size_t writeDecimal(std::uint32_t value, char* text);

#endif
