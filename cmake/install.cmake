# Installation in the usual GNU places, the package for find_package and pkg-config, and the .deb.
#
# An installed tree:
#   bin/kx                               the command (finds the library through its RUNPATH)
#   LIBDIR/libkx.so.1.0.0 (+ .so.1, .so) the library
#   LIBDIR/kx/                           the component's own folder: the PostgreSQL, HTTP service and
#                                        command-line modules and the default Config.ini (used when no
#                                        KX_HOME is given)
#   LIBDIR/cmake/KX/, LIBDIR/pkgconfig/  find_package(KX) and pkg-config kx
#   include/kx/                          the public headers, included as "kx/registry.h"
#   share/kx/schemas/, share/kx/database/, share/kx/console/ (the operator console kx serve serves)
#   lib/systemd/system/kx.service, lib/sysusers.d/kx.conf
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(KX_OWN_DIR ${CMAKE_INSTALL_LIBDIR}/kx)
set(KX_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/KX)

set_target_properties(kx PROPERTIES VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR} EXPORT_NAME kx)
target_compile_features(kx PUBLIC cxx_std_20)
# The headers: the source tree's while building (the public ones and the library's own), the public
# ones alone once installed.
set_property(TARGET kx PROPERTY INTERFACE_INCLUDE_DIRECTORIES
             $<BUILD_INTERFACE:${CMAKE_SOURCE_DIR}/include> $<BUILD_INTERFACE:${CMAKE_SOURCE_DIR}/src>
             $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
# The command and the module find the library relative to where they are installed.
file(RELATIVE_PATH KX_BIN_TO_LIB ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_FULL_LIBDIR})
set_target_properties(kx_tool PROPERTIES INSTALL_RPATH "$ORIGIN/${KX_BIN_TO_LIB}")
set_target_properties(kx_postgres kx_odbc kx_service kx_cli PROPERTIES INSTALL_RPATH "$ORIGIN/..")

install(TARGETS kx EXPORT KXTargets LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(TARGETS kx_postgres kx_odbc kx_service kx_cli LIBRARY DESTINATION ${KX_OWN_DIR})
install(TARGETS kx_tool RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(DIRECTORY ${CMAKE_SOURCE_DIR}/include/kx/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/kx FILES_MATCHING PATTERN "*.h")
install(DIRECTORY ${CMAKE_SOURCE_DIR}/schemas/ DESTINATION ${CMAKE_INSTALL_DATADIR}/kx/schemas)
install(DIRECTORY ${CMAKE_SOURCE_DIR}/database/ DESTINATION ${CMAKE_INSTALL_DATADIR}/kx/database)
install(DIRECTORY ${CMAKE_SOURCE_DIR}/src/console/ DESTINATION ${CMAKE_INSTALL_DATADIR}/kx/console)
# `kx serve` finds the installed console from the component's own folder, the build tree's in the
# source tree.
file(RELATIVE_PATH KX_OWN_TO_CONSOLE ${CMAKE_INSTALL_FULL_LIBDIR}/kx ${CMAKE_INSTALL_FULL_DATADIR}/kx/console)
target_compile_definitions(kx_service PRIVATE KX_CONSOLE_FROM_OWN_FOLDER="${KX_OWN_TO_CONSOLE}"
                           KX_CONSOLE_SOURCE_FOLDER="${CMAKE_SOURCE_DIR}/src/console")

install(EXPORT KXTargets NAMESPACE KX:: DESTINATION ${KX_CMAKE_DIR})
configure_package_config_file(${CMAKE_SOURCE_DIR}/cmake/KXConfig.cmake.in
                              ${CMAKE_BINARY_DIR}/installed/KXConfig.cmake INSTALL_DESTINATION ${KX_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/installed/KXConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/installed/KXConfig.cmake ${CMAKE_BINARY_DIR}/installed/KXConfigVersion.cmake
        DESTINATION ${KX_CMAKE_DIR})

# Config.ini, kx.pc and the systemd unit name installed paths, so they are written when installing,
# from the prefix in force then (`cmake --install --prefix DIR` included).
install(CODE "
  set(KX_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
  set(KX_BINDIR \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
  set(KX_LIBDIR \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}\")
  set(KX_INCLUDEDIR \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_INCLUDEDIR}\")
  set(KX_DATADIR \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_DATADIR}\")
  set(KX_VERSION ${PROJECT_VERSION})
  foreach(template cmake/Config.installed.ini.in:Config.ini cmake/kx.pc.in:kx.pc deploy/kx.service:kx.service)
    string(REPLACE : \";\" parts \"\${template}\")
    list(GET parts 0 from)
    list(GET parts 1 to)
    configure_file(\"${CMAKE_SOURCE_DIR}/\${from}\" \"${CMAKE_BINARY_DIR}/installed/\${to}\" @ONLY)
  endforeach()
")
install(FILES ${CMAKE_BINARY_DIR}/installed/Config.ini DESTINATION ${KX_OWN_DIR})
install(FILES ${CMAKE_BINARY_DIR}/installed/kx.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
install(FILES ${CMAKE_BINARY_DIR}/installed/kx.service DESTINATION lib/systemd/system)
install(FILES ${CMAKE_SOURCE_DIR}/deploy/kx.sysusers DESTINATION lib/sysusers.d RENAME kx.conf)

# The Debian package: `cpack -G DEB` in a build folder configured with -DCMAKE_INSTALL_PREFIX=/usr.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kx)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "KX developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "KX back-office component library: transport job orders, type profiles, container retrieving work files")
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
# Config.ini, kx.pc and the unit are written from the install prefix: the package's, not the staging folder.
set(CPACK_SET_DESTDIR ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# libxml2 is opened at run time, not linked, so the dependencies found from the binaries miss it.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libxml2 (>= ${LIBXML2_VERSION_STRING})")
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_SOURCE_DIR}/deploy/postinst)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
