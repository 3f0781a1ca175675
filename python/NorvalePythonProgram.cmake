# The application's Python side in the bundle.
#
#   norvale_add_python_program(<target>
#     SOURCE_DIR <folder>          the program: main.py and whatever else it holds
#     [REQUIREMENTS <file>]        the packages it needs, in pip's requirements format
#     [DESTINATION <folder>])      where in the bundle; share/norvale/program by default
#
# creates the build target <target>, part of the default build, which puts
# into the bundle (NORVALE_BUNDLE_DIR, and `cmake --install` likewise):
# - the program's folder, whole (caches and the requirements file aside);
#   installed, its modules carry bytecode checked against their source;
# - the packages REQUIREMENTS names, installed by pip of the bundle's own
#   CPython into lib/python3.X/site-packages, where that interpreter finds
#   them by itself: in the program, in every multiprocessing child and in
#   any Python started through sys.executable. Versions, markers,
#   --only-binary, hashes, nested files, local wheels and folders work as
#   pip has them; local paths are read relative to the requirements file.
#   pip reaches the network only while building, and only when the
#   requirements or the local files they name have changed. A failure
#   stops the build with the package and pip's reason, and leaves the
#   bundle's packages as they were. Installed, the packages carry their
#   bytecode and no debug information;
# - the standard library.
#
# A bundle has one site-packages, so one program brings REQUIREMENTS.
# NORVALE_PIP_CACHE_DIR holds pip's downloads (in the build tree by default).
include_guard(GLOBAL)

if(NOT NORVALE_PYTHON_EXECUTABLE)
  include("${CMAKE_CURRENT_LIST_DIR}/../cmake/NorvalePython.cmake")
endif()
if(NOT NORVALE_BUNDLE_DIR)
  set(NORVALE_BUNDLE_DIR "${CMAKE_BINARY_DIR}/bundle")
endif()
set(NORVALE_PIP_CACHE_DIR "${CMAKE_BINARY_DIR}/pip-cache" CACHE PATH
    "pip's cache of downloads for the bundle's packages")

set(_norvale_python_unit "${CMAKE_CURRENT_LIST_DIR}")
set(_norvale_python_work "${CMAKE_BINARY_DIR}/python")
get_filename_component(NORVALE_PYTHON_STDLIB_NAME "${NORVALE_PYTHON_STDLIB}" NAME)
set(NORVALE_PYTHON_SITE_PACKAGES "lib/${NORVALE_PYTHON_STDLIB_NAME}/site-packages")

# Where this CPython's site module looks under a prefix of its own. A
# distribution's may look in dist-packages instead (Debian's does): there
# the bundle's site-packages gets that second name too, so that every
# interpreter of the application finds the packages by itself.
execute_process(
  COMMAND "${NORVALE_PYTHON_EXECUTABLE}" -I -c
    "import site, sys; v = 'python%d.%d' % sys.version_info[:2]; d = site.getsitepackages(['/p']); print('' if f'/p/lib/{v}/site-packages' in d else 'dist-packages' if f'/p/lib/{v}/dist-packages' in d else '?')"
  OUTPUT_VARIABLE NORVALE_PYTHON_SITE_ALIAS OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE _site_rc)
if(NOT _site_rc EQUAL 0 OR NORVALE_PYTHON_SITE_ALIAS STREQUAL "?")
  message(FATAL_ERROR "Cannot tell where ${NORVALE_PYTHON_EXECUTABLE} looks for packages under "
                      "its prefix (site.getsitepackages: ${NORVALE_PYTHON_SITE_ALIAS})")
endif()

# The standard library, copied once into the build tree's bundle without
# what an application never imports (copy_stdlib.cmake); installation ships
# it compiled (packaging/).
set(NORVALE_PYTHON_STDLIB_STAMP "${_norvale_python_work}/stdlib.stamp")
add_custom_command(OUTPUT "${NORVALE_PYTHON_STDLIB_STAMP}"
  COMMAND "${CMAKE_COMMAND}" -DSOURCE=${NORVALE_PYTHON_STDLIB}
          -DDESTINATION=${NORVALE_BUNDLE_DIR}/lib/${NORVALE_PYTHON_STDLIB_NAME}
          -DSTAMP=${NORVALE_PYTHON_STDLIB_STAMP} -DSITE_ALIAS=${NORVALE_PYTHON_SITE_ALIAS}
          -P "${_norvale_python_unit}/copy_stdlib.cmake"
  DEPENDS "${_norvale_python_unit}/copy_stdlib.cmake" "${NORVALE_PYTHON_STDLIB}/os.py"
  COMMENT "Copying the Python standard library into the bundle" VERBATIM)
add_custom_target(norvale_python_stdlib ALL DEPENDS "${NORVALE_PYTHON_STDLIB_STAMP}")

# The packages: one installation for the bundle, of the requirements that a
# program names (the target property NORVALE_REQUIREMENTS, set below), or of
# none. The requirements file's path reaches the step through a file that
# changes only when the path does, so that naming another file, or none,
# installs again.
set(_packages "${_norvale_python_work}/packages")
set(_packages_stamp "${_packages}/packages.stamp")
set(_site_packages "${NORVALE_BUNDLE_DIR}/${NORVALE_PYTHON_SITE_PACKAGES}")
# Changes only when packages were installed: what depends on the packages
# depends on it, not on the step's stamp.
set(_packages_marker "${_site_packages}/.norvale-requirements")
add_custom_target(norvale_python_packages ALL DEPENDS "${_packages_stamp}")
set_target_properties(norvale_python_packages PROPERTIES NORVALE_REQUIREMENTS "" NORVALE_OWNER "")
file(GENERATE OUTPUT "${_packages}/requirements-input.txt"
  CONTENT "$<TARGET_PROPERTY:norvale_python_packages,NORVALE_REQUIREMENTS>\n$<TARGET_PROPERTY:norvale_python_packages,NORVALE_OWNER>\n")
add_custom_command(OUTPUT "${_packages_stamp}"
  COMMAND "${NORVALE_PYTHON_EXECUTABLE}" -I "${_norvale_python_unit}/install_requirements.py"
          --input "${_packages}/requirements-input.txt" --site-packages "${_site_packages}"
          --work "${_packages}" --cache "${NORVALE_PIP_CACHE_DIR}" --stamp "${_packages_stamp}"
  BYPRODUCTS "${_packages_marker}"
  DEPENDS "${_norvale_python_unit}/install_requirements.py" "${_packages}/requirements-input.txt"
  DEPFILE "${_packages}/packages.d"
  COMMENT "Installing the application's Python packages into the bundle"
  VERBATIM)

# Installed, the packages are lean (lean_packages.py): prepared once per
# installation of them, put in place by `cmake --install`.
set(NORVALE_PYTHON_LEAN_PACKAGES "${_norvale_python_work}/lean-site-packages")
set(NORVALE_PYTHON_LEAN_PACKAGES_STAMP "${_norvale_python_work}/lean-site-packages.stamp")
set(_lean_packages "${NORVALE_PYTHON_LEAN_PACKAGES}")
set(_lean_packages_stamp "${NORVALE_PYTHON_LEAN_PACKAGES_STAMP}")
add_custom_command(OUTPUT "${_lean_packages_stamp}"
  COMMAND "${NORVALE_PYTHON_EXECUTABLE}" -I "${_norvale_python_unit}/lean_packages.py"
          "${_site_packages}" "${_lean_packages}" "${CMAKE_BINARY_DIR}/debug"
  COMMAND "${CMAKE_COMMAND}" -E touch "${_lean_packages_stamp}"
  DEPENDS "${_packages_marker}" "${_norvale_python_unit}/lean_packages.py"
          "${_norvale_python_unit}/../packaging/lean_bundle.py"
  COMMENT "Preparing the application's Python packages for installation: bytecode, no debug information"
  VERBATIM)
add_custom_target(norvale_python_packages_lean ALL DEPENDS "${_lean_packages_stamp}")
add_dependencies(norvale_python_packages_lean norvale_python_packages)
install(DIRECTORY "${_lean_packages}/" DESTINATION "${NORVALE_PYTHON_SITE_PACKAGES}"
        USE_SOURCE_PERMISSIONS)
if(NORVALE_PYTHON_SITE_ALIAS)
  install(CODE "file(CREATE_LINK site-packages
    \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/lib/${NORVALE_PYTHON_STDLIB_NAME}/${NORVALE_PYTHON_SITE_ALIAS}\"
    SYMBOLIC)")
endif()

# What the function needs, wherever it is called from.
set_property(GLOBAL PROPERTY _NORVALE_PYTHON_PROGRAM_SETTINGS
  "${NORVALE_BUNDLE_DIR}" "${NORVALE_PYTHON_EXECUTABLE}" "${_norvale_python_unit}")

# A regular expression that matches `text` literally.
function(_norvale_regex_escape text out)
  string(REGEX REPLACE "([][+.*()^$?|\\\\{}])" "\\\\\\1" escaped "${text}")
  set(${out} "${escaped}" PARENT_SCOPE)
endfunction()

function(norvale_add_python_program target)
  cmake_parse_arguments(PARSE_ARGV 1 ARG "" "SOURCE_DIR;REQUIREMENTS;DESTINATION" "")
  get_property(settings GLOBAL PROPERTY _NORVALE_PYTHON_PROGRAM_SETTINGS)
  list(GET settings 0 bundle)
  list(GET settings 1 python)
  list(GET settings 2 unit)
  foreach(bad IN LISTS ARG_UNPARSED_ARGUMENTS ARG_KEYWORDS_MISSING_VALUES)
    message(FATAL_ERROR "norvale_add_python_program(${target}): unknown or empty argument ${bad}")
  endforeach()
  if(NOT ARG_SOURCE_DIR)
    message(FATAL_ERROR "norvale_add_python_program(${target}): SOURCE_DIR is missing")
  endif()
  get_filename_component(source "${ARG_SOURCE_DIR}" ABSOLUTE)
  if(NOT IS_DIRECTORY "${source}")
    message(FATAL_ERROR "norvale_add_python_program(${target}): SOURCE_DIR ${source} is no folder")
  endif()
  set(destination "share/norvale/program")
  if(ARG_DESTINATION)
    set(destination "${ARG_DESTINATION}")
  endif()
  set(requirements "")
  if(ARG_REQUIREMENTS)
    get_filename_component(requirements "${ARG_REQUIREMENTS}" ABSOLUTE)
    if(NOT EXISTS "${requirements}" OR IS_DIRECTORY "${requirements}")
      message(FATAL_ERROR
        "norvale_add_python_program(${target}): REQUIREMENTS ${requirements} is no file")
    endif()
    get_target_property(owner norvale_python_packages NORVALE_OWNER)
    if(owner)
      message(FATAL_ERROR
        "norvale_add_python_program(${target}): the bundle's packages come from ${owner}'s "
        "requirements already; a bundle has one site-packages, so name every package there "
        "(a requirements file may include another with -r)")
    endif()
    set_target_properties(norvale_python_packages PROPERTIES
      NORVALE_REQUIREMENTS "${requirements}" NORVALE_OWNER "${target}")
  endif()

  # The program's files, caches and the requirements file aside.
  file(GLOB_RECURSE files RELATIVE "${source}" CONFIGURE_DEPENDS "${source}/*")
  list(FILTER files EXCLUDE REGEX "(^|/)__pycache__/|\\.py[co]$")
  if(requirements)
    file(RELATIVE_PATH requirements_in_source "${source}" "${requirements}")
    list(REMOVE_ITEM files "${requirements_in_source}")
  endif()
  # Copied whenever one changes; what another program left there goes.
  set(work "${CMAKE_CURRENT_BINARY_DIR}/${target}")
  string(REPLACE ";" "\n" listing "${files}\n")
  set(previous "")
  if(EXISTS "${work}/files.txt")
    file(READ "${work}/files.txt" previous)
  endif()
  if(NOT previous STREQUAL listing)  # rewritten only when the files change
    file(WRITE "${work}/files.txt" "${listing}")
  endif()
  list(TRANSFORM files PREPEND "${source}/" OUTPUT_VARIABLE sources)
  add_custom_command(OUTPUT "${work}/program.stamp"
    COMMAND "${CMAKE_COMMAND}" -DSOURCE=${source} -DDESTINATION=${bundle}/${destination}
            -DLIST=${work}/files.txt -DSTAMP=${work}/program.stamp
            -P "${unit}/sync_program.cmake"
    DEPENDS ${sources} "${work}/files.txt" "${unit}/sync_program.cmake"
    COMMENT "Putting the Python program ${source} into the bundle"
    VERBATIM)
  add_custom_target(${target} ALL DEPENDS "${work}/program.stamp")
  add_dependencies(${target} norvale_python_stdlib norvale_python_packages
                   norvale_python_packages_lean)

  set(excluded REGEX "/__pycache__$" EXCLUDE REGEX "\\.py[co]$" EXCLUDE)
  if(requirements)
    _norvale_regex_escape("${requirements}" requirements_regex)
    list(APPEND excluded REGEX "^${requirements_regex}$" EXCLUDE)
  endif()
  install(DIRECTORY "${source}/" DESTINATION "${destination}" ${excluded})
  # Checked against the source, so that the bytecode stays right whatever
  # an installation does to the files' times.
  install(CODE "
    execute_process(
      COMMAND \"${python}\" -I -m compileall -q
              --invalidation-mode checked-hash
              \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${destination}\"
      RESULT_VARIABLE rc)
    if(NOT rc EQUAL 0)
      message(FATAL_ERROR \"norvale_add_python_program(${target}): the program does not compile\")
    endif()")
endfunction()
