# Install rules and packages.
#
#   cmake --install BUILD [--prefix DIR]   the programs, the serial-port library with its
#                                          headers and CMake package config, the desktop
#                                          entry, the icons and the manual page
#   cpack (in BUILD)                       Linux: comfind_<version>_<arch>.deb (the programs)
#                                          and comfind-dev_<version>_<arch>.deb (the library);
#                                          Windows cross-build: comfind-<version>-win64.zip
#                                          (the programs and a README)
#
# Two components keep the packages apart: "runtime" (programs and desktop integration) and
# "development" (library, headers, package config). Every rule names its target and is skipped
# when that target is not part of this build (no Qt: no comfind; Windows: no instrument-sim).

include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

if(WIN32)
  # A Windows user unpacks the zip and runs the .exe from the folder; windeployqt also expects
  # the Qt DLLs beside comfind.exe, so the programs sit at the top of the prefix.
  set(COMFIND_INSTALL_BINDIR .)
else()
  set(COMFIND_INSTALL_BINDIR ${CMAKE_INSTALL_BINDIR})
endif()
set(COMFIND_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/comfind)

# --- Programs --------------------------------------------------------------------------------
foreach(program comfind comfind-cli instrument-sim)
  if(TARGET ${program})
    install(TARGETS ${program} RUNTIME DESTINATION ${COMFIND_INSTALL_BINDIR} COMPONENT runtime)
  endif()
endforeach()

# --- The serial-port library -----------------------------------------------------------------
# Headers keep their folders under include/comfind, so "port/CPort.h" and "framework/Classes.h"
# resolve as they do inside the tree (the framework target's install include directory).
# Of port/os only what the simulated device needs is installed; the rest (termios, the kernel's
# records, the layer's inside) is the operating-system layer's business only.
if(TARGET comfind_serial AND TARGET comfind_framework)
  # Consumers write comfind::serial and comfind::framework (libcomfind-serial.a and
  # libcomfind-framework.a).
  install(TARGETS comfind_framework comfind_serial EXPORT comfindTargets
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development)

  set(COMFIND_INCLUDEDIR ${CMAKE_INSTALL_INCLUDEDIR}/comfind)
  file(GLOB COMFIND_FRAMEWORK_HEADERS ${PROJECT_SOURCE_DIR}/framework/*.h)
  install(FILES ${COMFIND_FRAMEWORK_HEADERS}
    DESTINATION ${COMFIND_INCLUDEDIR}/framework COMPONENT development)
  foreach(folder port port/storage port/packet)
    file(GLOB headers ${PROJECT_SOURCE_DIR}/${folder}/*.h)
    install(FILES ${headers} DESTINATION ${COMFIND_INCLUDEDIR}/${folder} COMPONENT development)
  endforeach()
  install(FILES ${PROJECT_SOURCE_DIR}/port/os/ComOS.h ${PROJECT_SOURCE_DIR}/port/os/SimComOS.h
    ${PROJECT_SOURCE_DIR}/port/os/Completion.h ${PROJECT_SOURCE_DIR}/port/os/EventTable.h
    DESTINATION ${COMFIND_INCLUDEDIR}/port/os COMPONENT development)

  install(EXPORT comfindTargets NAMESPACE comfind:: FILE comfindTargets.cmake
    DESTINATION ${COMFIND_INSTALL_CMAKEDIR} COMPONENT development)
  configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/comfindConfig.cmake.in
    ${PROJECT_BINARY_DIR}/cmake/comfindConfig.cmake
    INSTALL_DESTINATION ${COMFIND_INSTALL_CMAKEDIR})
  # 0.x: a minor version may change the interface, so only the same minor matches.
  write_basic_package_version_file(${PROJECT_BINARY_DIR}/cmake/comfindConfigVersion.cmake
    VERSION ${PROJECT_VERSION} COMPATIBILITY SameMinorVersion)
  install(FILES ${PROJECT_BINARY_DIR}/cmake/comfindConfig.cmake
    ${PROJECT_BINARY_DIR}/cmake/comfindConfigVersion.cmake
    DESTINATION ${COMFIND_INSTALL_CMAKEDIR} COMPONENT development)
endif()

# --- Desktop entry, icons, manual page, Windows README ---------------------------------------
add_subdirectory(${PROJECT_SOURCE_DIR}/packaging ${PROJECT_BINARY_DIR}/packaging)

# --- Packages --------------------------------------------------------------------------------
set(CPACK_PACKAGE_NAME comfind)
set(CPACK_PACKAGE_VENDOR "comfind")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
# The first line of each package's own description is its summary. CPack would put this one in
# front of every description unless it is CPack's default text, hence the default.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${CMAKE_PROJECT_NAME} built using CMake")
set(CPACK_PACKAGE_INSTALL_DIRECTORY comfind)
set(CPACK_STRIP_FILES ON)
set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git/" "/build[^/]*/" "\\\\.swp$")
set(CPACK_COMPONENT_RUNTIME_DISPLAY_NAME "comfind programs")
set(CPACK_COMPONENT_DEVELOPMENT_DISPLAY_NAME "comfind serial-port library")

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  # One zip with the programs and the README; the library is for those who build from source.
  set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
  set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
  set(CPACK_COMPONENTS_ALL runtime)
  set(CPACK_COMPONENT_INCLUDE_TOPLEVEL_DIRECTORY ON)
  set(CPACK_PACKAGE_FILE_NAME comfind-${PROJECT_VERSION}-win64)
  set(CPACK_ARCHIVE_FILE_NAME comfind-${PROJECT_VERSION}-win64)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEB_COMPONENT_INSTALL ON)
  set(CPACK_COMPONENTS_ALL runtime development)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(COMFIND_MAINTAINER "comfind maintainers <comfind@localhost>"
    CACHE STRING "Maintainer field of the Debian packages")
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${COMFIND_MAINTAINER}")
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

  set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME comfind)
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION electronics)
  # dpkg-shlibdeps reads the programs' needs: Qt 6 Widgets (with Gui and Core) for the window,
  # the C and C++ runtime for all three.
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_RUNTIME_DESCRIPTION
"finds the serial port a measuring instrument is attached to
comfind lists the machine's serial ports, opens each in turn at 19200 baud 8N1, sends the
probe command TRG0000000010000 and waits 500 ms for the reply OK. Every line sent and
received is logged, and the port that answered is shown in large type.
.
The package holds the window (comfind), the same search for terminals and scripts
(comfind-cli) and a simulated instrument on a pseudo-terminal (instrument-sim). Try
'comfind-cli --demo' to watch a search find the simulated instrument.
.
Serial devices (/dev/ttyS*, /dev/ttyUSB*, /dev/ttyACM*) belong to the group 'dialout'.
To open them without root, add your user to that group:
  sudo adduser $USER dialout
and log in again.")

  set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME comfind-dev)
  set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
  set(CPACK_DEBIAN_DEVELOPMENT_DESCRIPTION
"serial-port library of comfind (static library and headers)
libcomfind-serial is the C++20 serial-port library under comfind: port settings, an event thread
that delivers serial events to the main thread, overlapped reads and writes, links, a
packet assembler, port enumeration, settings storage, and an in-memory device for tests.
.
Use it from CMake with find_package(comfind) and link comfind::serial.")
endif()

include(CPack)
