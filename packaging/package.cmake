# The Debian package: `make package`, or the target norvale_package.
#
# It holds the bundle as `cmake --install` lays it out, under
# /usr/lib/<APPLICATION_ID>, and around it what the system sees: the
# launcher /usr/bin/<launcher>, a visible system-wide desktop entry (which
# tells runner not to keep a per-user one), the icon in the hicolor theme,
# AppStream metainfo, a manual page, copyright, changelog and lintian
# overrides. Those are installed only as the component "system", which a
# plain `cmake --install` leaves out.

set(NORVALE_PACKAGE_NAME "norvale" CACHE STRING "Debian package name, also the launcher's")
set(NORVALE_PACKAGE_MAINTAINER "Zemtra Norvale maintainers <norvale@zemtra.example>" CACHE STRING
    "Maintainer field of the Debian package")
set(NORVALE_PACKAGE_DIR "lib/${APPLICATION_ID}")  # under /usr
set(NORVALE_LAUNCHER "${NORVALE_PACKAGE_NAME}")

# Built against the distribution's own CPython (python3-dev), the package
# depends on it, as Debian policy wants of every library that the
# distribution ships (4.13, "Convenience copies of code"; lintian's
# embedded-library): the interpreter, its standard library and the libraries
# of its extension modules are the distribution's, with their security
# updates, and dpkg-shlibdeps names libpython3.X. Built against any other
# CPython (pyenv's, a prefix of one's own), which no package provides, the
# package carries that interpreter in the bundle, as `cmake --install` lays
# it out.
get_filename_component(_python_libdir "${NORVALE_PYTHON_VERSIONED_LIB}" DIRECTORY)
if(NORVALE_PYTHON_RUNTIME_PREFIX STREQUAL "/usr" AND _python_libdir MATCHES "^/usr/lib(/|$)")
  execute_process(COMMAND dpkg-query -S "${NORVALE_PYTHON_VERSIONED_LIB}"
                  RESULT_VARIABLE _owned OUTPUT_QUIET ERROR_QUIET)
else()
  set(_owned 1)
endif()
if(_owned EQUAL 0)
  set(NORVALE_PACKAGE_EMBEDS_PYTHON OFF)
  set(NORVALE_PACKAGE_PYTHON_TEXT "on the distribution's CPython ${NORVALE_PYTHON_VERSION}")
else()
  set(NORVALE_PACKAGE_EMBEDS_PYTHON ON)
  set(NORVALE_PACKAGE_PYTHON_TEXT "on a private CPython ${NORVALE_PYTHON_VERSION} that the package
carries with it")
endif()
if(NORVALE_PACKAGE_EMBEDS_PYTHON)
  get_filename_component(_stdlib_name "${NORVALE_PYTHON_STDLIB}" NAME)
  set(_license "/usr/lib/${APPLICATION_ID}/lib/${_stdlib_name}/LICENSE.txt")
  set(NORVALE_COPYRIGHT_COMMENT "
Comment: The package carries its own CPython ${NORVALE_PYTHON_VERSION}; its
 license, with those of the software it includes, is in
 ${_license}.")
  set(NORVALE_COPYRIGHT_PYTHON_FILES "

Files: usr/lib/${APPLICATION_ID}/lib/libpython*
 usr/lib/${APPLICATION_ID}/lib/python*
Copyright: 2001-2024 Python Software Foundation
License: PSF-2.0
 Python Software Foundation License Version 2. The full text, with the
 licenses of the components included in CPython (among them expat and
 libmpdec), is in
 ${_license}.")
  set(NORVALE_MAN_PYTHON "on the private CPython in\n.IR /usr/lib/${APPLICATION_ID} .")
  set(NORVALE_MAN_BUNDLE_PYTHON ", with its Python")
else()
  set(NORVALE_COPYRIGHT_COMMENT "")
  set(NORVALE_COPYRIGHT_PYTHON_FILES "")
  set(NORVALE_MAN_PYTHON "on the distribution's CPython ${NORVALE_PYTHON_VERSION}.")
  set(NORVALE_MAN_BUNDLE_PYTHON "")
endif()
message(STATUS "The Debian package runs its program ${NORVALE_PACKAGE_PYTHON_TEXT}")
set(NORVALE_HOMEPAGE "https://norvale.zemtra.example/" CACHE STRING
    "Home page of the application, in the package and its metainfo")

# The developer as the AppStream of the build machine wants it: <developer>
# with an ID since AppStream 1.0 (which calls <developer_name> deprecated),
# <developer_name> before (which knows no <developer>).
execute_process(COMMAND appstreamcli --version OUTPUT_VARIABLE _appstream_version ERROR_QUIET)
string(REGEX MATCH "[0-9]+\\.[0-9]+(\\.[0-9]+)?" _appstream_version "${_appstream_version}")
if(_appstream_version VERSION_GREATER_EQUAL 1.0)
  set(NORVALE_METAINFO_DEVELOPER
      "<developer id=\"example.zemtra\">\n    <name>Zemtra</name>\n  </developer>")
else()
  set(NORVALE_METAINFO_DEVELOPER "<developer_name>Zemtra</developer_name>")
endif()

set(_system "${CMAKE_CURRENT_BINARY_DIR}/system")
configure_file(debian/app.desktop.in "${_system}/${APPLICATION_ID}.desktop" @ONLY)
configure_file(debian/metainfo.xml.in "${_system}/${APPLICATION_ID}.metainfo.xml" @ONLY)
get_filename_component(NORVALE_PYTHON_STDLIB_NAME "${NORVALE_PYTHON_STDLIB}" NAME)
configure_file(debian/copyright.in "${_system}/copyright" @ONLY)
configure_file(debian/lintian-overrides.in "${_system}/lintian-overrides.common" @ONLY)
configure_file(debian/lintian-overrides-python.in "${_system}/lintian-overrides.python" @ONLY)
# The project's overrides, each with its reason above it; those of the
# interpreter only where the package has it (lintian_overrides.py keeps the
# tags that this lintian knows).
file(READ "${_system}/lintian-overrides.common" _overrides)
if(NORVALE_PACKAGE_EMBEDS_PYTHON)
  file(READ "${_system}/lintian-overrides.python" _python_overrides)
  string(APPEND _overrides "${_python_overrides}")
endif()
file(CONFIGURE OUTPUT "${_system}/lintian-overrides.base" CONTENT "${_overrides}")
configure_file(debian/launcher.1.in "${_system}/${NORVALE_LAUNCHER}.1" @ONLY)
configure_file(debian/changelog.in "${_system}/changelog" @ONLY)
file(CREATE_LINK "../${NORVALE_PACKAGE_DIR}/bin/runner" "${_system}/${NORVALE_LAUNCHER}" SYMBOLIC)

# Debian wants the changelog and manual pages compressed, without names or
# times in the gzip header.
set(_gzipped "")
foreach(name changelog "${NORVALE_LAUNCHER}.1")
  add_custom_command(OUTPUT "${_system}/${name}.gz"
    COMMAND gzip -9nc "${_system}/${name}" > "${_system}/${name}.gz"
    DEPENDS "${_system}/${name}" VERBATIM)
  list(APPEND _gzipped "${_system}/${name}.gz")
endforeach()
# The overrides that the application's packages need, after the project's own.
add_custom_command(OUTPUT "${_system}/lintian-overrides"
  COMMAND "${NORVALE_PYTHON_EXECUTABLE}" -I "${CMAKE_CURRENT_SOURCE_DIR}/lintian_overrides.py"
          "${_system}/lintian-overrides.base" "${NORVALE_PYTHON_LEAN_PACKAGES}"
          "usr/${NORVALE_PACKAGE_DIR}/${NORVALE_PYTHON_SITE_PACKAGES}" "${NORVALE_PACKAGE_NAME}"
          "${_system}/lintian-overrides"
  DEPENDS "${_system}/lintian-overrides.base" "${NORVALE_PYTHON_LEAN_PACKAGES_STAMP}"
          "${CMAKE_CURRENT_SOURCE_DIR}/lintian_overrides.py"
  VERBATIM)
add_custom_target(norvale_package_files DEPENDS ${_gzipped} "${_system}/lintian-overrides")
add_dependencies(norvale_package_files norvale_python_packages_lean)

set(_doc "share/doc/${NORVALE_PACKAGE_NAME}")
install(FILES "${_system}/${NORVALE_LAUNCHER}" DESTINATION bin
        COMPONENT system EXCLUDE_FROM_ALL)
install(FILES "${_system}/${APPLICATION_ID}.desktop" DESTINATION share/applications
        COMPONENT system EXCLUDE_FROM_ALL)
install(FILES "${PROJECT_SOURCE_DIR}/runner/data/app_icon.png"
        DESTINATION share/icons/hicolor/256x256/apps RENAME "${APPLICATION_ID}.png"
        COMPONENT system EXCLUDE_FROM_ALL)
install(FILES "${_system}/${APPLICATION_ID}.metainfo.xml" DESTINATION share/metainfo
        COMPONENT system EXCLUDE_FROM_ALL)
install(FILES "${_system}/${NORVALE_LAUNCHER}.1.gz" DESTINATION share/man/man1
        COMPONENT system EXCLUDE_FROM_ALL)
install(FILES "${_system}/copyright" "${_system}/changelog.gz" DESTINATION "${_doc}"
        COMPONENT system EXCLUDE_FROM_ALL)
install(FILES "${_system}/lintian-overrides" DESTINATION share/lintian/overrides
        RENAME "${NORVALE_PACKAGE_NAME}" COMPONENT system EXCLUDE_FROM_ALL)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME "${NORVALE_PACKAGE_NAME}")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_CONTACT "${NORVALE_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "live figures of this machine (Flutter and Python)")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "${APPLICATION_TITLE} shows live figures of the machine it runs on. Its user
interface is a Flutter view and its logic a Python program that runs in the
same process, ${NORVALE_PACKAGE_PYTHON_TEXT}.")
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "${NORVALE_HOMEPAGE}")
set(CPACK_DEBIAN_PACKAGE_SECTION "utils")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_PACKAGING_INSTALL_PREFIX "/")
set(CPACK_PACKAGE_DIRECTORY "${CMAKE_BINARY_DIR}/package")
# The bundle in its own directory, the system's files around it.
set(CPACK_INSTALL_CMAKE_PROJECTS
  "${CMAKE_BINARY_DIR};${PROJECT_NAME};Unspecified;/usr/${NORVALE_PACKAGE_DIR}"
  "${CMAKE_BINARY_DIR};${PROJECT_NAME};system;/usr")
if(NORVALE_PACKAGE_EMBEDS_PYTHON)
  list(APPEND CPACK_INSTALL_CMAKE_PROJECTS
    "${CMAKE_BINARY_DIR};${PROJECT_NAME};python;/usr/${NORVALE_PACKAGE_DIR}")
endif()
set(CPACK_OUTPUT_CONFIG_FILE "${CMAKE_BINARY_DIR}/CPackConfig.cmake")
set(CPACK_SOURCE_OUTPUT_CONFIG_FILE "${CMAKE_BINARY_DIR}/CPackSourceConfig.cmake")
include(CPack)

execute_process(COMMAND dpkg --print-architecture OUTPUT_VARIABLE _arch
                OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
set(NORVALE_PACKAGE_FILE
    "${CPACK_PACKAGE_DIRECTORY}/${NORVALE_PACKAGE_NAME}_${PROJECT_VERSION}_${_arch}.deb")
add_custom_target(norvale_package
  COMMAND "${CMAKE_CPACK_COMMAND}" --config "${CMAKE_BINARY_DIR}/CPackConfig.cmake"
  COMMAND "${CMAKE_COMMAND}" -E echo "Package: ${NORVALE_PACKAGE_FILE}"
  WORKING_DIRECTORY "${CMAKE_BINARY_DIR}"
  USES_TERMINAL VERBATIM)
add_dependencies(norvale_package bundle norvale_package_files)
