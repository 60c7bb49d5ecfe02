# The libraries of a Windows build, under the names the Linux build finds them
# by, so launcher/CMakeLists.txt links the same targets either way:
# - header-only ones from Debian's -dev packages (fmt in its header-only mode,
#   nlohmann-json) and cpp-httplib's whole header from its source package,
#   through a folder holding only their headers, since /usr/include as a whole
#   is Linux's;
# - GoogleTest built for the target from Debian's source package;
# - zlib from Debian's mingw-w64 package.
set(deps_include ${CMAKE_BINARY_DIR}/deps-include)
file(MAKE_DIRECTORY ${deps_include})
foreach(header fmt nlohmann)
  if(NOT EXISTS /usr/include/${header})
    message(FATAL_ERROR "/usr/include/${header} is missing: run scripts/setup.sh")
  endif()
  file(CREATE_LINK /usr/include/${header} ${deps_include}/${header} SYMBOLIC)
endforeach()
# Debian's libcpp-httplib-dev holds only declarations (its code is a Linux
# library); scripts/setup.sh unpacks the same version's whole header from the
# source package.
execute_process(COMMAND dpkg-query -W -f=\${Version} libcpp-httplib-dev
  OUTPUT_VARIABLE httplib_version OUTPUT_STRIP_TRAILING_WHITESPACE)
set(httplib_header /usr/local/src/cpp-httplib-${httplib_version}/httplib.h)
if(NOT EXISTS ${httplib_header})
  message(FATAL_ERROR "${httplib_header} is missing: run scripts/setup.sh")
endif()
file(CREATE_LINK ${httplib_header} ${deps_include}/httplib.h SYMBOLIC)

add_library(fmt::fmt INTERFACE IMPORTED)
set_target_properties(fmt::fmt PROPERTIES
  INTERFACE_INCLUDE_DIRECTORIES ${deps_include}
  INTERFACE_COMPILE_DEFINITIONS FMT_HEADER_ONLY=1)
add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED)
set_target_properties(nlohmann_json::nlohmann_json PROPERTIES INTERFACE_INCLUDE_DIRECTORIES ${deps_include})
# Windows 10 calls (the library needs Vista's at least).
add_library(PkgConfig::HTTPLIB INTERFACE IMPORTED)
set_target_properties(PkgConfig::HTTPLIB PROPERTIES
  INTERFACE_INCLUDE_DIRECTORIES ${deps_include}
  INTERFACE_LINK_LIBRARIES "ws2_32;crypt32")

find_package(ZLIB REQUIRED)

set(googletest_source /usr/src/googletest)
if(NOT EXISTS ${googletest_source}/CMakeLists.txt)
  message(FATAL_ERROR "${googletest_source} is missing: run scripts/setup.sh (package googletest)")
endif()
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
add_subdirectory(${googletest_source} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
foreach(target gtest gmock gtest_main gmock_main)
  # Its own warnings are not ours to fix.
  target_compile_options(${target} PRIVATE -w)
endforeach()
# GoogleTest's own build names them GTest::gtest and GTest::gmock.
