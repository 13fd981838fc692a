# The Windows build (cmake/mingw-w64.cmake): what differs from the Linux one, in one place.
#
# - The Qt parts (reporter, capture) are not built: their Windows versions are Win32 code.
# - Header-only packages of the build machine (nlohmann-json, cpp-httplib) are offered through a
#   directory that holds only their headers, so that no Linux header directory reaches the
#   MinGW compiler.
# - Unicode Win32 entry points, no min/max macros, Windows 7 as the oldest target; the C
#   runtime's POSIX-style thread-safe time functions.
set(KT_BUILD_GUI OFF CACHE BOOL "Build the Qt parts (reporter, capture)" FORCE)

add_compile_definitions(UNICODE _UNICODE NOMINMAX WIN32_LEAN_AND_MEAN _WIN32_WINNT=0x0601)
# localtime_r and gmtime_r, as the C runtime offers them (over its _s functions).
add_compile_definitions(_POSIX_THREAD_SAFE_FUNCTIONS=200112L)
# 64-bit file offsets (fseeko, ftello) for files above 2 GiB.
add_compile_definitions(_FILE_OFFSET_BITS=64)

set(_kt_host_headers ${PROJECT_BINARY_DIR}/host-headers)
file(MAKE_DIRECTORY ${_kt_host_headers}/include ${_kt_host_headers}/cmake)
file(CREATE_LINK /usr/include/nlohmann ${_kt_host_headers}/include/nlohmann SYMBOLIC)
file(CREATE_LINK /usr/include/httplib.h ${_kt_host_headers}/include/httplib.h SYMBOLIC)
foreach(_kt_pkg nlohmann_json httplib)
  if(_kt_pkg STREQUAL "nlohmann_json")
    set(_kt_target nlohmann_json::nlohmann_json)
  else()
    set(_kt_target httplib::httplib)
  endif()
  file(WRITE ${_kt_host_headers}/cmake/${_kt_pkg}Config.cmake
    "if(NOT TARGET ${_kt_target})\n"
    "  add_library(${_kt_target} INTERFACE IMPORTED)\n"
    "  set_target_properties(${_kt_target} PROPERTIES\n"
    "    INTERFACE_INCLUDE_DIRECTORIES ${_kt_host_headers}/include\n"
    "    INTERFACE_LINK_LIBRARIES \"$<$<STREQUAL:${_kt_pkg},httplib>:ws2_32>\")\n"
    "endif()\n")
  file(WRITE ${_kt_host_headers}/cmake/${_kt_pkg}ConfigVersion.cmake
    "set(PACKAGE_VERSION 99)\nset(PACKAGE_VERSION_COMPATIBLE TRUE)\n")
  set(${_kt_pkg}_DIR ${_kt_host_headers}/cmake CACHE PATH "" FORCE)
endforeach()
