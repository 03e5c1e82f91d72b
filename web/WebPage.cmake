# WebPage.cmake - the web page: the core built to WebAssembly with the
# in-memory platform layer (runtime/PlatformMemory.cpp) and the page's glue
# (web/CoreBridge.cpp), and the page's files around it. The top-level
# CMakeLists.txt includes this file in an Emscripten build instead of
# building the tool, its sample and its tests.
#
#   web/        index.html, page.js, page.css: the page's own files
#   core.js     the module (loader and WebAssembly in one file) as the text
#               setuphdrCoreText, from which page.js makes its worker
#
# The built page goes to <build>/page and installs to the prefix's top
# folder; cpack makes setuphdr-web-VERSION.zip of it in <build>/packages.
# zlib comes from Debian's source (scripts/build-web.sh builds it and
# names it with ZLIB_INCLUDE_DIR and ZLIB_LIBRARY), never Emscripten's port.

# Small code (the page's folder stays well under 400 KiB) that keeps pace
# with the native tool: -Os, and bulk memory operations (memory.copy and
# memory.fill for memcpy and memset; Chrome 75, Firefox 79, Safari 15),
# without which a change of a 64 MiB cabinet takes twice as long. zlib is
# compiled with the same flags (scripts/build-web.sh).
set(CMAKE_CXX_FLAGS_MINSIZEREL "-Os -mbulk-memory -DNDEBUG")

set(SETUPHDR_PAGE_DIR ${PROJECT_BINARY_DIR}/page)

# The functions page.js calls (CoreBridge.cpp) and the heap it copies
# files through.
set(SETUPHDR_WEB_EXPORTS _malloc _free _webVersion _webArchTable
  _webCommandWord _webPutFile _webDropFile _webDropAllFiles _webRun
  _webCommandLine _webStreamData _webStreamSize _webFileData _webFileSize)
list(JOIN SETUPHDR_WEB_EXPORTS "," SETUPHDR_WEB_EXPORT_LIST)

add_executable(setuphdr-core web/CoreBridge.cpp runtime/PlatformMemory.cpp
  runtime/CLibrary.cpp)
target_link_libraries(setuphdr-core PRIVATE setuphdr_core)
target_compile_options(setuphdr-core PRIVATE ${SETUPHDR_WARNINGS}
  -fno-exceptions -fno-rtti)
target_link_options(setuphdr-core PRIVATE
  -Os
  -mbulk-memory
  -fno-exceptions
  # One file that runs in the page's worker and under Node (the benchmark).
  -sSINGLE_FILE=1
  -sMODULARIZE=1
  -sEXPORT_NAME=createSetuphdrCore
  -sENVIRONMENT=web,worker,node
  # No eval or new Function: the page's Content-Security-Policy forbids them.
  -sDYNAMIC_EXECUTION=0
  # The WebAssembly is decoded from the script and compiled in place; the
  # asynchronous path would first try to fetch it, a connection the page
  # forbids. A worker may compile synchronously.
  -sWASM_ASYNC_COMPILATION=0
  # The core reaches files only through the platform layer.
  -sFILESYSTEM=0
  # Room for a 64 MiB cabinet, its new image and copies; a failed
  # allocation is the core's "Cannot allocate" line, not an abort.
  -sALLOW_MEMORY_GROWTH=1
  -sMAXIMUM_MEMORY=2147483648
  -sABORTING_MALLOC=0
  -sMALLOC=emmalloc
  -sEXPORTED_FUNCTIONS=${SETUPHDR_WEB_EXPORT_LIST}
  -sEXPORTED_RUNTIME_METHODS=HEAPU8)

# The page: its own files and core.js.
set(SETUPHDR_PAGE_FILES index.html page.js page.css)
set(SETUPHDR_PAGE_OUTPUTS ${SETUPHDR_PAGE_DIR}/core.js
  ${SETUPHDR_PAGE_DIR}/LICENSE)
foreach(file IN LISTS SETUPHDR_PAGE_FILES)
  add_custom_command(OUTPUT ${SETUPHDR_PAGE_DIR}/${file}
    COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/web/${file}
            ${SETUPHDR_PAGE_DIR}/${file}
    DEPENDS ${PROJECT_SOURCE_DIR}/web/${file}
    VERBATIM)
  list(APPEND SETUPHDR_PAGE_OUTPUTS ${SETUPHDR_PAGE_DIR}/${file})
endforeach()
add_custom_command(OUTPUT ${SETUPHDR_PAGE_DIR}/LICENSE
  COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/packaging/LICENSE
          ${SETUPHDR_PAGE_DIR}/LICENSE
  DEPENDS ${PROJECT_SOURCE_DIR}/packaging/LICENSE
  VERBATIM)
add_custom_command(OUTPUT ${SETUPHDR_PAGE_DIR}/core.js
  COMMAND ${CMAKE_COMMAND} -DINPUT=$<TARGET_FILE:setuphdr-core>
          -DOUTPUT=${SETUPHDR_PAGE_DIR}/core.js
          -P ${PROJECT_SOURCE_DIR}/web/EmbedCore.cmake
  DEPENDS setuphdr-core ${PROJECT_SOURCE_DIR}/web/EmbedCore.cmake
  COMMENT "Embedding the core's module in core.js"
  VERBATIM)
add_custom_target(web-page ALL DEPENDS ${SETUPHDR_PAGE_OUTPUTS})

install(FILES ${SETUPHDR_PAGE_OUTPUTS} DESTINATION .)

# setuphdr-web-VERSION.zip: the page in a folder of that name.
set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME setuphdr-web)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME setuphdr-web-${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "the setuphdr authors")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "Show and change Windows CE setup files in the browser")
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
set(CPACK_PACKAGE_CHECKSUM SHA256)
include(CPack)
