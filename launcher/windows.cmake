# The Windows build (cmake/mingw-w64.cmake): what of the Linux build's list
# below runs there. Its tests run under wine, one process per test binary
# (scripts/wine_tests.sh); ctest runs each binary whole through the emulator.
add_test(NAME launcher_tests COMMAND launcher_tests --gtest_brief=1)
set_tests_properties(launcher_tests PROPERTIES LABELS unit TIMEOUT 900)

# The shell: browser mode, shown in an application window of Edge
# (shell/app_shell_windows.cpp). Browser mode's server must be portable first:
# until its socket and random calls go through platform/, the Windows build
# has no vantor-launcher.exe and says so here.
set(shell_dir ${CMAKE_CURRENT_SOURCE_DIR}/src/shell)
file(READ ${shell_dir}/browser_shell.cpp browser_shell_text)
if(browser_shell_text MATCHES "#include <sys/socket.h>")
  message(STATUS "vantor-launcher.exe has no window: shell/browser_shell.cpp still uses POSIX sockets")
  set(VANTOR_WINDOWS_LAUNCHER OFF)
else()
  set(VANTOR_WINDOWS_LAUNCHER ON)
endif()

if(NOT VANTOR_WINDOWS_LAUNCHER)
  add_library(vantor_shell STATIC ${shell_dir}/app_shell_no_browser.cpp ${shell_dir}/shell_options.cpp)
  target_link_libraries(vantor_shell PUBLIC vantor_core)
  add_executable(vantor-launcher src/app/main.cpp windows/vantor-launcher.rc)
  target_link_libraries(vantor-launcher PRIVATE vantor_shell)
else()
  find_package(Python3 REQUIRED COMPONENTS Interpreter)
  set(page_table ${CMAKE_CURRENT_BINARY_DIR}/generated/embedded_files.cpp)
  add_custom_target(vantor_page_table
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/generated
    COMMAND Python3::Interpreter ${shell_dir}/embed_files.py ${CMAKE_CURRENT_SOURCE_DIR}/page
            ${shell_dir}/icon.png ${page_table}
    BYPRODUCTS ${page_table}
    COMMENT "Embedding launcher/page"
    VERBATIM)
  add_library(vantor_shell_common STATIC
    ${shell_dir}/bridge.cpp
    ${shell_dir}/browser_bridge_script.cpp
    ${shell_dir}/browser_shell.cpp
    ${shell_dir}/external_open.cpp
    ${shell_dir}/http_head.cpp
    ${shell_dir}/http_server.cpp
    ${shell_dir}/navigation_policy.cpp
    ${shell_dir}/page_files.cpp
    ${shell_dir}/request_checks.cpp
    ${shell_dir}/shell_options.cpp
    ${shell_dir}/star_raster.cpp
    ${shell_dir}/starfield.cpp
    ${shell_dir}/window_placement.cpp
    ${page_table})
  add_dependencies(vantor_shell_common vantor_page_table)
  target_link_libraries(vantor_shell_common PUBLIC vantor_core PkgConfig::HTTPLIB)
  add_library(vantor_shell STATIC ${shell_dir}/app_shell_windows.cpp ${shell_dir}/edge_window.cpp)
  target_link_libraries(vantor_shell PUBLIC vantor_shell_common)

  # A console program for now: it prints the page's address, and its tests
  # read its standard streams. With its manifest and version resource.
  add_executable(vantor-launcher src/app/main.cpp windows/vantor-launcher.rc)
  target_link_libraries(vantor-launcher PRIVATE vantor_shell)

  file(GLOB shell_unit_tests CONFIGURE_DEPENDS ${shell_dir}/*_test.cpp)
  list(FILTER shell_unit_tests EXCLUDE REGEX "_integration_test\\.cpp$")
  add_executable(shell_tests ${shell_unit_tests})
  target_link_libraries(shell_tests PRIVATE vantor_shell_common vantor_testing GTest::gmock)
  add_test(NAME shell_tests COMMAND shell_tests --gtest_brief=1)
  set_tests_properties(shell_tests PROPERTIES LABELS unit TIMEOUT 600)
endif()

# The installer (NSIS) and the portable copy (a .zip of the launcher alone),
# both of the launcher without its debug information (most of its size, and
# most of the time NSIS spends compressing).
set(dist_dir ${CMAKE_BINARY_DIR}/dist)
set(dist_exe ${dist_dir}/vantor-launcher.exe)
add_custom_command(OUTPUT ${dist_exe}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${dist_dir}
  COMMAND ${CMAKE_STRIP} --strip-debug -o ${dist_exe} $<TARGET_FILE:vantor-launcher>
  DEPENDS vantor-launcher
  COMMENT "Stripping vantor-launcher.exe for packaging"
  VERBATIM)
set(VANTOR_INSTALLER_FEED "" CACHE STRING "The feed the installer's update.json names")
find_program(MAKENSIS makensis)
if(MAKENSIS)
  set(setup_exe ${CMAKE_BINARY_DIR}/VantorSetup.exe)
  add_custom_command(OUTPUT ${setup_exe}
    COMMAND ${MAKENSIS} -V2 -DLAUNCHER_EXE=${dist_exe} "-DFEED=${VANTOR_INSTALLER_FEED}"
            -DOUTFILE=${setup_exe} ${CMAKE_CURRENT_SOURCE_DIR}/installer/vantor.nsi
    DEPENDS ${dist_exe} ${CMAKE_CURRENT_SOURCE_DIR}/installer/vantor.nsi
    COMMENT "Building VantorSetup.exe"
    VERBATIM)
  add_custom_target(installer DEPENDS ${setup_exe})
else()
  message(STATUS "makensis not found: no installer target (scripts/setup.sh installs nsis)")
endif()
add_custom_target(portable
  COMMAND ${CMAKE_COMMAND} -E tar cf ${CMAKE_BINARY_DIR}/vantor-launcher-portable.zip --format=zip
          vantor-launcher.exe
  WORKING_DIRECTORY ${dist_dir}
  DEPENDS ${dist_exe}
  COMMENT "Packing vantor-launcher-portable.zip"
  VERBATIM)
