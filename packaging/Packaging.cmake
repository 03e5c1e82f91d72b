# Packaging.cmake - the man page, the licence and the packages cpack builds.
#
#   Windows: a .zip with x64/setuphdr.exe, x86/setuphdr.exe, README.md and
#            LICENSE; each .exe is self-contained, so nothing else needs
#            installing beside it. A 64-bit build makes it, taking the 32-bit
#            .exe from the build folder named by SETUPHDR_PACKAGE_X86_BUILD;
#            without that, its .zip carries the 64-bit .exe alone (and a
#            32-bit build's .zip the 32-bit one).
#   Linux:   a .deb and a .tar.gz with the binary, the man page, README.md
#            and LICENSE.
#
# `cpack --config <builddir>/CPackConfig.cmake` writes them to
# <builddir>/packages, each with a .sha256 beside it.

set(SETUPHDR_PACKAGING_DIR ${PROJECT_SOURCE_DIR}/packaging)
set(SETUPHDR_README ${PROJECT_SOURCE_DIR}/README.md)

if(WIN32)
  # Everything in the top folder of the archive, beside the x64 and x86
  # folders of the executables.
  set(SETUPHDR_DOC_DESTINATION .)
else()
  set(SETUPHDR_DOC_DESTINATION ${CMAKE_INSTALL_DOCDIR})

  # The man page, gzip-compressed as Debian installs man pages (man reads
  # either form).
  set(SETUPHDR_MAN_SOURCE ${SETUPHDR_PACKAGING_DIR}/setuphdr.1)
  find_program(SETUPHDR_GZIP gzip)
  mark_as_advanced(SETUPHDR_GZIP)
  if(SETUPHDR_GZIP)
    set(SETUPHDR_MAN_PAGE ${PROJECT_BINARY_DIR}/man/setuphdr.1.gz)
    # -n keeps name and time out of the archive: the same page gives the
    # same bytes.
    add_custom_command(OUTPUT ${SETUPHDR_MAN_PAGE}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/man
      COMMAND ${CMAKE_COMMAND} -E copy ${SETUPHDR_MAN_SOURCE}
              ${PROJECT_BINARY_DIR}/man/setuphdr.1
      COMMAND ${SETUPHDR_GZIP} -9 -n -f ${PROJECT_BINARY_DIR}/man/setuphdr.1
      DEPENDS ${SETUPHDR_MAN_SOURCE}
      COMMENT "Compressing the man page setuphdr.1"
      VERBATIM)
    add_custom_target(man ALL DEPENDS ${SETUPHDR_MAN_PAGE})
  else()
    set(SETUPHDR_MAN_PAGE ${SETUPHDR_MAN_SOURCE})
  endif()
  install(FILES ${SETUPHDR_MAN_PAGE} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()

install(FILES ${SETUPHDR_PACKAGING_DIR}/LICENSE
  DESTINATION ${SETUPHDR_DOC_DESTINATION})
if(EXISTS ${SETUPHDR_README})
  install(FILES ${SETUPHDR_README} DESTINATION ${SETUPHDR_DOC_DESTINATION})
endif()

# Package metadata, common to all generators.
set(CPACK_PACKAGE_NAME setuphdr)
# The whole four-part version, 1.0.0.210, as the tool prints it.
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "the setuphdr authors")
set(CPACK_PACKAGE_CONTACT "setuphdr authors")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "Show and change the header of Windows CE installer setup files")
set(CPACK_PACKAGE_DESCRIPTION
  "setuphdr shows the target processor, the CE version range, the \
application and provider names and the table counts of a Windows CE \
installer setup file (the MSCE file inside a CE cabinet), and retargets \
the file to another processor or CE version range in place.")
set(CPACK_RESOURCE_FILE_LICENSE ${SETUPHDR_PACKAGING_DIR}/LICENSE)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
set(CPACK_PACKAGE_CHECKSUM SHA256)
set(CPACK_STRIP_FILES ON)

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(SETUPHDR_PACKAGE_X86_BUILD "" CACHE PATH
      "Build folder of the 32-bit Windows build whose .exe joins this .zip")
  endif()
  if(SETUPHDR_PACKAGE_X86_BUILD)
    # Both build trees install into the one archive: x64/ from this one,
    # x86/ from the other (which cpack does not build: build it first).
    # README.md and LICENSE come from both, the same files.
    get_filename_component(SETUPHDR_PACKAGE_X86_BUILD_DIR
      "${SETUPHDR_PACKAGE_X86_BUILD}" ABSOLUTE BASE_DIR "${CMAKE_SOURCE_DIR}")
    set(CPACK_INSTALL_CMAKE_PROJECTS
      "${PROJECT_BINARY_DIR};${PROJECT_NAME};ALL;/"
      "${SETUPHDR_PACKAGE_X86_BUILD_DIR};${PROJECT_NAME};ALL;/")
    set(CPACK_SYSTEM_NAME windows)
  endif()
else()
  set(CPACK_GENERATOR DEB TGZ)

  # Debian package.
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "setuphdr authors")
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  find_program(SETUPHDR_DPKG dpkg)
  mark_as_advanced(SETUPHDR_DPKG)
  if(SETUPHDR_DPKG)
    execute_process(COMMAND ${SETUPHDR_DPKG} --print-architecture
      OUTPUT_VARIABLE SETUPHDR_DEB_ARCH
      OUTPUT_STRIP_TRAILING_WHITESPACE
      RESULT_VARIABLE SETUPHDR_DPKG_RESULT)
    if(SETUPHDR_DPKG_RESULT EQUAL 0 AND SETUPHDR_DEB_ARCH)
      set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${SETUPHDR_DEB_ARCH})
    endif()
  endif()
  if(SETUPHDR_STATIC)
    # A static binary needs nothing from the system.
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "")
  else()
    # A dynamic one needs the libraries dpkg-shlibdeps finds in it.
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  endif()
endif()

include(CPack)
