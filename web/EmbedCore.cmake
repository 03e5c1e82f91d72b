# EmbedCore.cmake - writes the core's module (loader and WebAssembly in one
# script) as one JavaScript string, setuphdrCoreText, for the page's worker.
#
#   cmake -DINPUT=setuphdr-core.js -DOUTPUT=core.js -P EmbedCore.cmake
#
# The page makes its worker from this text: a page opened from file:// may
# not start a worker from a file, but may from a blob of text it holds.

file(READ "${INPUT}" text)
# A JavaScript string: backslashes, quotes and line ends escaped.
string(REPLACE "\\" "\\\\" text "${text}")
string(REPLACE "\"" "\\\"" text "${text}")
string(REPLACE "\r" "\\r" text "${text}")
string(REPLACE "\n" "\\n" text "${text}")
file(WRITE "${OUTPUT}"
  "// core.js - setuphdr's core (WebAssembly and its loader) as the text of\n"
  "// a script, for the page's worker. Generated from setuphdr-core.js.\n"
  "var setuphdrCoreText = \"${text}\";\n"
  "if (typeof module === \"object\") module.exports = setuphdrCoreText;\n")
