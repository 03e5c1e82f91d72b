# ReleaseFlags.cmake - compiler and linker flags of the Release build type.
#
# setuphdr runs once per file, often from scripts over many files, so a run
# costs little more than the start of a process. Release builds therefore
# aim at a small binary with nothing to load at start-up:
#   -O2                 fast code without -O3's growth;
#   -ffunction-sections -fdata-sections with -Wl,--gc-sections
#                       drop every function and datum nothing calls, most of
#                       all from the static libstdc++, libgcc and C library;
#   -s                  no symbol tables in the shipped binary;
#   -Wl,-O1 -Wl,--as-needed  (ELF) smaller hash tables, no unused DT_NEEDED;
#   --no-insert-timestamp     (PE) the same .exe from the same sources.
# The Windows build stays self-contained: the top-level file links it with
# -static, so libgcc, libstdc++ and winpthread are inside and the .exe
# imports only the system's own DLLs.
#
# Only the *_RELEASE variables change: Debug builds keep their flags. The
# flags are appended, so a CMAKE_CXX_FLAGS_RELEASE given on the command line
# keeps its own additions; -O3 (CMake's default) gives way to -O2.
# Sanitizer and fuzzing builds keep their symbols and all their sections.

if(NOT CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
  return()
endif()

# Compile: -O2 instead of CMake's -O3; every function and datum in its own
# section for the linker's garbage collection.
string(REPLACE "-O3" "-O2" CMAKE_CXX_FLAGS_RELEASE "${CMAKE_CXX_FLAGS_RELEASE}")
string(APPEND CMAKE_CXX_FLAGS_RELEASE " -ffunction-sections -fdata-sections")

set(_setuphdr_instrumented OFF)
if(SETUPHDR_FUZZ OR CMAKE_CXX_FLAGS MATCHES "-fsanitize"
   OR CMAKE_EXE_LINKER_FLAGS MATCHES "-fsanitize")
  set(_setuphdr_instrumented ON)
endif()

if(NOT _setuphdr_instrumented)
  # Link: drop unreferenced sections and strip the result.
  set(_setuphdr_release_link "-Wl,--gc-sections -s")
  if(WIN32)
    # A reproducible .exe: no link time in the PE header.
    string(APPEND _setuphdr_release_link " -Wl,--no-insert-timestamp")
  elseif(NOT APPLE)
    string(APPEND _setuphdr_release_link " -Wl,-O1 -Wl,--as-needed")
  endif()
  string(APPEND CMAKE_EXE_LINKER_FLAGS_RELEASE " ${_setuphdr_release_link}")
  unset(_setuphdr_release_link)
endif()
unset(_setuphdr_instrumented)
