# The Windows build: swp.dll, swp-host.exe and swp-search.exe on the real Win32 API, which takes the place of win32/.
# Included by CMakeLists.txt when cross-compiling with windows/toolchain.cmake.
enable_language(C)
enable_language(RC)

# Only the Windows system DLLs and the C runtime are imported: the C++ library, libgcc and the
# thread library are linked in.
add_compile_definitions(WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0A00 WINVER=0x0A00)
add_link_options(-static -static-libgcc -static-libstdc++)

# RE2 and utf8proc from the Debian source packages that windows/third_party.sh unpacks (the same
# versions as the Linux build's libraries).
set(SWP_THIRD_PARTY_DIR "${CMAKE_BINARY_DIR}/third_party" CACHE PATH "unpacked re2 and utf8proc sources")
file(GLOB SWP_RE2_DIR LIST_DIRECTORIES true "${SWP_THIRD_PARTY_DIR}/re2-*")
file(GLOB SWP_UTF8PROC_DIR LIST_DIRECTORIES true "${SWP_THIRD_PARTY_DIR}/utf8proc-*")
if(NOT SWP_RE2_DIR OR NOT SWP_UTF8PROC_DIR OR NOT EXISTS "${SWP_RE2_DIR}/re2/unicode_groups.cc")
  message(FATAL_ERROR "re2 and utf8proc sources are missing in ${SWP_THIRD_PARTY_DIR}: run windows/third_party.sh")
endif()

set(SWP_RE2_SOURCES bitstate compile dfa filtered_re2 mimics_pcre nfa onepass parse perl_groups prefilter
    prefilter_tree prog re2 regexp set simplify stringpiece tostring unicode_casefold unicode_groups)
list(TRANSFORM SWP_RE2_SOURCES PREPEND "${SWP_RE2_DIR}/re2/")
list(TRANSFORM SWP_RE2_SOURCES APPEND ".cc")
add_library(swp_re2 STATIC ${SWP_RE2_SOURCES} "${SWP_RE2_DIR}/util/rune.cc" "${SWP_RE2_DIR}/util/strutil.cc")
target_include_directories(swp_re2 SYSTEM PUBLIC "${SWP_RE2_DIR}")
target_compile_options(swp_re2 PRIVATE -w)

add_library(swp_utf8proc STATIC "${SWP_UTF8PROC_DIR}/utf8proc.c")
target_include_directories(swp_utf8proc SYSTEM PUBLIC "${SWP_UTF8PROC_DIR}")
target_compile_definitions(swp_utf8proc PUBLIC UTF8PROC_STATIC)
target_compile_options(swp_utf8proc PRIVATE -w)

# The host: every host source but the POSIX ones, on the Win32 API.
file(GLOB_RECURSE HOST_SOURCES CONFIGURE_DEPENDS host/*.cpp)
list(FILTER HOST_SOURCES EXCLUDE REGEX "(host/main|_posix)\\.cpp$")
add_library(swp_host_core STATIC ${HOST_SOURCES})
target_include_directories(swp_host_core PUBLIC ${CMAKE_SOURCE_DIR})
target_link_libraries(swp_host_core PUBLIC swp_re2 swp_utf8proc ws2_32 user32 gdi32 comctl32 comdlg32 shell32
                      ole32 advapi32)

add_executable(swp-host host/main.cpp host/swp-host.rc)
target_link_libraries(swp-host PRIVATE swp_host_core)
target_compile_definitions(swp-host PRIVATE SWP_VERSION="${PROJECT_VERSION}")
set_target_properties(swp-host PROPERTIES LINK_DEPENDS ${CMAKE_SOURCE_DIR}/host/swp-host.manifest)

# The plug-in: the same sources as libswp.so; the .def file makes sorrelwick_plugin_proc the one export.
file(GLOB PLUGIN_SOURCES CONFIGURE_DEPENDS plugin/*.cpp server/*.cpp ftp/*.cpp search/*.cpp)
add_library(swp SHARED ${PLUGIN_SOURCES} plugin/swp.def plugin/swp.rc)
target_include_directories(swp PRIVATE ${CMAKE_SOURCE_DIR})
target_compile_options(swp PRIVATE -fno-exceptions -fno-rtti)
target_link_options(swp PRIVATE "LINKER:--no-undefined")
set_target_properties(swp PROPERTIES PREFIX "" IMPORT_PREFIX "" IMPORT_SUFFIX ".lib")
add_dependencies(swp-host swp)

# swp-search.exe: the client, the same sources as swp-search on Windows Sockets itself.
file(GLOB CLIENT_SOURCES CONFIGURE_DEPENDS client/*.cpp)
list(FILTER CLIENT_SOURCES EXCLUDE REGEX "(client/main|_posix)\\.cpp$")
# The --help and manual page layout is the host's own, shared.
add_library(swp_client_core STATIC ${CLIENT_SOURCES} host/help_layout.cpp host/error_words.cpp)
target_include_directories(swp_client_core PUBLIC ${CMAKE_SOURCE_DIR})
target_link_libraries(swp_client_core PUBLIC swp_re2 ws2_32)
add_executable(swp-search client/main.cpp client/swp-search.rc)
target_link_libraries(swp-search PRIVATE swp_client_core)
target_compile_definitions(swp-search PRIVATE SWP_VERSION="${PROJECT_VERSION}")
set_target_properties(swp-search PROPERTIES LINK_DEPENDS ${CMAKE_SOURCE_DIR}/client/swp-search.manifest)

# What the Wine run of the end-to-end tests needs beside the two: a probe of the host process and
# of its options window.
add_executable(swp-probe tests/windows/probe.cpp)
target_link_libraries(swp-probe PRIVATE user32 shell32 ole32 ntdll advapi32)

enable_testing()
add_subdirectory(tests/windows)
