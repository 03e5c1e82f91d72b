# Expat.cmake - the XML parser that reads a cabinet's setup XML, linked
# statically so the Linux binary stays static and the .exe imports only
# system DLLs. Defines the target setuphdr_expat.
#
# Without SETUPHDR_EXPAT_SOURCE, Debian's libexpat1-dev provides libexpat.a.
# With it (an unpacked Debian expat source package, the folder
# scripts/deps.sh's need_source prints), the library is compiled here from
# that source: the Windows and other cross builds. Only the library's three
# C files are compiled (no tools, examples, tests or documents), with the
# features of Debian's own build of the package that a parser without
# namespace processing uses (its expat_config.h: DTD support, 1024 context
# bytes), so that every build reports the same errors at the same places;
# namespace support, which the reader never asks for, is left out. (expat's own CMake project cannot
# serve: the Debian patches test "#if XML_DTD == 1", which its generated
# configuration header, defining XML_DTD empty, breaks.)

set(SETUPHDR_EXPAT_SOURCE "" CACHE PATH
  "Unpacked Debian expat source package to build expat from (cross builds)")

if(SETUPHDR_EXPAT_SOURCE)
  set(_setuphdr_expat_lib "${SETUPHDR_EXPAT_SOURCE}/expat/lib")
  if(NOT EXISTS "${_setuphdr_expat_lib}/xmlparse.c")
    message(FATAL_ERROR
      "SETUPHDR_EXPAT_SOURCE: no expat/lib/xmlparse.c in ${SETUPHDR_EXPAT_SOURCE}")
  endif()
  enable_language(C)

  # The configuration header. Entropy for expat's hash salt: rand_s on
  # Windows (expat's own choice there), /dev/urandom elsewhere.
  if(CMAKE_C_BYTE_ORDER STREQUAL "BIG_ENDIAN")
    set(_setuphdr_expat_byteorder 4321)
  else()
    set(_setuphdr_expat_byteorder 1234)
  endif()
  set(_setuphdr_expat_entropy "")
  if(EMSCRIPTEN)
    # The web page's core has no file system to read /dev/urandom from:
    # expat salts its hashes with the time there. What it reads is one
    # document of at most 1 MiB, without a DTD, in the user's own page.
    set(_setuphdr_expat_entropy "#define XML_POOR_ENTROPY 1")
  elseif(NOT WIN32)
    set(_setuphdr_expat_entropy "#define XML_DEV_URANDOM 1")
  endif()
  file(CONFIGURE OUTPUT "${PROJECT_BINARY_DIR}/expat/expat_config.h" CONTENT
"/* expat_config.h - written by setuphdr's cmake/Expat.cmake */
#ifndef EXPAT_CONFIG_H
#define EXPAT_CONFIG_H 1
#define BYTEORDER ${_setuphdr_expat_byteorder}
#define XML_CONTEXT_BYTES 1024
#define XML_DTD 1
${_setuphdr_expat_entropy}
#endif
")

  add_library(setuphdr_expat STATIC
    "${_setuphdr_expat_lib}/xmlparse.c"
    "${_setuphdr_expat_lib}/xmlrole.c"
    "${_setuphdr_expat_lib}/xmltok.c")
  target_include_directories(setuphdr_expat
    PRIVATE "${PROJECT_BINARY_DIR}/expat"
    SYSTEM INTERFACE "${_setuphdr_expat_lib}")
  # A static library: expat.h then declares no DLL imports.
  target_compile_definitions(setuphdr_expat PUBLIC XML_STATIC)
  # As expat's own build: no strict aliasing. In a release build, small
  # code whose unused functions the linker drops, as for the tool's own
  # code (cmake/ReleaseFlags.cmake), and optimized for size: the parser
  # reads one small document a run.
  target_compile_options(setuphdr_expat PRIVATE -fno-strict-aliasing
    "$<$<CONFIG:Release>:-Os;-ffunction-sections;-fdata-sections>")
  unset(_setuphdr_expat_lib)
  unset(_setuphdr_expat_byteorder)
  unset(_setuphdr_expat_entropy)
else()
  find_path(SETUPHDR_EXPAT_INCLUDE_DIR expat.h)
  find_library(SETUPHDR_EXPAT_LIBRARY NAMES libexpat.a)
  if(NOT SETUPHDR_EXPAT_INCLUDE_DIR OR NOT SETUPHDR_EXPAT_LIBRARY)
    message(FATAL_ERROR "No static expat found: install libexpat1-dev, or "
      "set SETUPHDR_EXPAT_SOURCE to an unpacked Debian expat source "
      "(scripts/deps.sh: need_source expat DIR)")
  endif()
  add_library(setuphdr_expat STATIC IMPORTED)
  set_target_properties(setuphdr_expat PROPERTIES
    IMPORTED_LOCATION "${SETUPHDR_EXPAT_LIBRARY}"
    INTERFACE_INCLUDE_DIRECTORIES "${SETUPHDR_EXPAT_INCLUDE_DIR}")
endif()
