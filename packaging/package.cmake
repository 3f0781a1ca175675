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

set(_system "${CMAKE_CURRENT_BINARY_DIR}/system")
configure_file(debian/app.desktop.in "${_system}/${APPLICATION_ID}.desktop" @ONLY)
configure_file(debian/metainfo.xml.in "${_system}/${APPLICATION_ID}.metainfo.xml" @ONLY)
get_filename_component(NORVALE_PYTHON_STDLIB_NAME "${NORVALE_PYTHON_STDLIB}" NAME)
configure_file(debian/copyright.in "${_system}/copyright" @ONLY)
configure_file(debian/lintian-overrides.in "${_system}/lintian-overrides.base" @ONLY)
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
same process, on a private CPython ${NORVALE_PYTHON_VERSION} that the package
carries with it.")
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
