# CPython discovery.
#
# The runtime interpreter is chosen in this order: an explicit prefix
# (NORVALE_PYTHON_PREFIX), the newest pyenv install of 3.12 or later, the
# newest system python3 of 3.12 or later (/usr/bin/python3 or python3.X, as
# the distribution's python3-dev or python3.X-dev installs it). It must be a
# shared-library build with its headers; without one, configuring stops with
# the steps to get one.
#
# Only the discovery runs in script mode, as scripts/install-deps.sh does to
# stop before installing anything:
#   cmake [-DNORVALE_PYTHON_PREFIX=DIR] -P cmake/NorvalePython.cmake
#
# libnorvale uses only the limited API at the 3.12 level, so it is compiled
# against the oldest 3.12+ headers that can be found: headers of 3.13.0 drop
# the `#`-format redirect that a 3.12 runtime needs.
#
# Results:
#   NORVALE_PYTHON_PREFIX        prefix of the runtime interpreter
#   NORVALE_PYTHON_EXECUTABLE    its python3
#   NORVALE_PYTHON_VERSION       e.g. 3.13.0
#   NORVALE_PYTHON_LIBDIR        directory of its shared libraries
#   NORVALE_PYTHON_VERSIONED_LIB path of libpython3.X.so.1.0
#   NORVALE_PYTHON_STABLE_LIB    path of libpython3.so, or empty
#   NORVALE_PYTHON_STDLIB        its standard-library directory
#   NORVALE_PYTHON_ABI_INCLUDE   headers libnorvale is compiled against
#   NORVALE_PYTHON_ALL_PREFIXES  every usable 3.12+ prefix found (for tests)
#   target Norvale::PythonHeaders, Norvale::PythonStable, Norvale::PythonVersioned

set(NORVALE_PYTHON_PREFIX "" CACHE PATH
    "Prefix of a CPython 3.12+ shared-library installation (empty: discover)")

set(_norvale_py_query [=[
import sys, sysconfig, os
v = sys.version_info
libdir = sysconfig.get_config_var('LIBDIR') or ''
print(f"{v[0]}.{v[1]}.{v[2]}")
print(sys.base_prefix)
print(libdir)
print(sysconfig.get_config_var('INSTSONAME') or '')
print(sysconfig.get_path('include') or '')
print(sysconfig.get_config_var('Py_ENABLE_SHARED') or 0)
print(sysconfig.get_path('stdlib') or '')
print(sysconfig.get_config_var('MULTIARCH') or '')
]=])

# Describes one interpreter; sets <out>_OK and the fields when it is usable,
# and <out>_WHY, why not, when it is not.
function(_norvale_describe_python exe out)
  set(${out}_OK FALSE PARENT_SCOPE)
  set(${out}_WHY "not found" PARENT_SCOPE)
  if(NOT EXISTS "${exe}")
    return()
  endif()
  set(${out}_WHY "does not run as CPython" PARENT_SCOPE)
  execute_process(COMMAND "${exe}" -I -c "${_norvale_py_query}"
                  OUTPUT_VARIABLE info RESULT_VARIABLE rc ERROR_QUIET
                  OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT rc EQUAL 0)
    return()
  endif()
  string(REPLACE "\n" ";" info "${info}")
  list(LENGTH info n)
  if(n LESS 7)
    return()
  endif()
  list(GET info 0 version)
  list(GET info 1 prefix)
  list(GET info 2 libdir)
  list(GET info 3 soname)
  list(GET info 4 include)
  list(GET info 5 shared)
  list(GET info 6 stdlib)
  set(multiarch "")
  if(n GREATER 7)
    list(GET info 7 multiarch)
  endif()
  if(version VERSION_LESS 3.12)
    set(${out}_WHY "CPython ${version}, older than 3.12" PARENT_SCOPE)
    return()
  elseif(NOT shared)
    set(${out}_WHY "CPython ${version}, not built as a shared library (--enable-shared)"
        PARENT_SCOPE)
    return()
  elseif(NOT EXISTS "${include}/Python.h")
    set(${out}_WHY "CPython ${version} without its headers (no ${include}/Python.h)" PARENT_SCOPE)
    return()
  endif()
  # Debian keeps its shared libraries in the multiarch directory.
  set(versioned "")
  foreach(dir "${libdir}" "${libdir}/${multiarch}" "/usr/lib/${multiarch}")
    if(soname AND EXISTS "${dir}/${soname}")
      set(versioned "${dir}/${soname}")
      set(libdir "${dir}")
      break()
    endif()
  endforeach()
  if(NOT versioned)
    set(${out}_WHY "CPython ${version} without its shared library ${soname}" PARENT_SCOPE)
    return()
  endif()
  set(stable "")
  if(EXISTS "${libdir}/libpython3.so")
    set(stable "${libdir}/libpython3.so")
  endif()
  set(${out}_OK TRUE PARENT_SCOPE)
  set(${out}_EXE "${exe}" PARENT_SCOPE)
  set(${out}_VERSION "${version}" PARENT_SCOPE)
  set(${out}_PREFIX "${prefix}" PARENT_SCOPE)
  set(${out}_LIBDIR "${libdir}" PARENT_SCOPE)
  set(${out}_VERSIONED "${versioned}" PARENT_SCOPE)
  set(${out}_STABLE "${stable}" PARENT_SCOPE)
  set(${out}_INCLUDE "${include}" PARENT_SCOPE)
  set(${out}_STDLIB "${stdlib}" PARENT_SCOPE)
endfunction()

function(_norvale_python_in_prefix prefix out)
  set(${out} "" PARENT_SCOPE)
  file(GLOB candidates "${prefix}/bin/python3" "${prefix}/bin/python3.[0-9]*")
  foreach(c IN LISTS candidates)
    if(NOT c MATCHES "-config$")
      set(${out} "${c}" PARENT_SCOPE)
      return()
    endif()
  endforeach()
endfunction()

# Every usable pyenv install, oldest first.
set(_pyenv_root "$ENV{PYENV_ROOT}")
if(NOT _pyenv_root)
  find_program(_norvale_pyenv pyenv)
  if(_norvale_pyenv)
    execute_process(COMMAND "${_norvale_pyenv}" root OUTPUT_VARIABLE _pyenv_root
                    OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  elseif(EXISTS "$ENV{HOME}/.pyenv/versions")
    set(_pyenv_root "$ENV{HOME}/.pyenv")
  endif()
endif()
set(_found_prefixes "")
set(_found_versions "")
set(_examined "")  # "where: why not" of every 3.12+ candidate that is unusable
if(NOT _pyenv_root)
  list(APPEND _examined "pyenv: not installed")
elseif(NOT IS_DIRECTORY "${_pyenv_root}/versions")
  list(APPEND _examined "pyenv (${_pyenv_root}): no versions installed")
else()
  list(APPEND _examined "pyenv (${_pyenv_root}): no usable version of 3.12 or later")
endif()
if(_pyenv_root AND IS_DIRECTORY "${_pyenv_root}/versions")
  file(GLOB _pyenv_dirs LIST_DIRECTORIES true "${_pyenv_root}/versions/3.*")
  foreach(dir IN LISTS _pyenv_dirs)
    get_filename_component(name "${dir}" NAME)
    if(NOT name MATCHES "^3\\.[0-9]+\\.[0-9]+$" OR name VERSION_LESS 3.12)
      continue()
    endif()
    _norvale_python_in_prefix("${dir}" exe)
    _norvale_describe_python("${exe}" cand)
    if(cand_OK)
      list(APPEND _found_prefixes "${dir}")
      list(APPEND _found_versions "${cand_VERSION}")
    else()
      list(APPEND _examined "${dir}: ${cand_WHY}")
    endif()
  endforeach()
endif()

# What to do without a usable CPython; the configure step stops with it.
# Every line indented, so that CMake prints it as it stands.
string(JOIN "\n" _norvale_python_steps
  " The build needs CPython 3.12 or later built as a shared library (libpython3.X.so),"
  " with its headers. Get one in one of these ways, then run the command again."
  " "
  " 1. Where the distribution has one (Debian 13, Ubuntu 24.04), its development package."
  "    `make demo` and `make test` install it themselves; by hand:"
  " "
  "      sudo apt-get install python3-dev"
  " "
  " 2. Where it has none (Debian 12 has only 3.11), CPython from pyenv, built as a shared"
  "    library: the packages that build CPython with all its modules, pyenv itself if it"
  "    is not installed yet, then the build. The newest pyenv install of 3.12 or later"
  "    is found by itself."
  " "
  "      sudo apt-get install build-essential curl git libssl-dev zlib1g-dev libbz2-dev \\"
  "        libreadline-dev libsqlite3-dev libncursesw5-dev xz-utils tk-dev libxml2-dev \\"
  "        libxmlsec1-dev libffi-dev liblzma-dev"
  "      git clone https://github.com/pyenv/pyenv.git ~/.pyenv"
  "      export PATH=\"$HOME/.pyenv/bin:$PATH\""
  "      env PYTHON_CONFIGURE_OPTS=--enable-shared pyenv install 3.13"
  " "
  " 3. Any other CPython 3.12+ built with --enable-shared: name its prefix."
  " "
  "      make test NORVALE_PYTHON_PREFIX=/opt/python3.13"
  "      cmake --preset default -DNORVALE_PYTHON_PREFIX=/opt/python3.13")

# Runtime interpreter.
set(_chosen_exe "")
if(NORVALE_PYTHON_PREFIX)
  _norvale_python_in_prefix("${NORVALE_PYTHON_PREFIX}" _chosen_exe)
  if(NOT _chosen_exe)
    set(_chosen_exe "${NORVALE_PYTHON_PREFIX}/bin/python3")
  endif()
  _norvale_describe_python("${_chosen_exe}" rt)
  if(NOT rt_OK)
    message(FATAL_ERROR
      " NORVALE_PYTHON_PREFIX=${NORVALE_PYTHON_PREFIX} is not a usable CPython:\n"
      "   ${_chosen_exe}: ${rt_WHY}\n \n${_norvale_python_steps}")
  endif()
  set(_how "given by NORVALE_PYTHON_PREFIX")
else()
  set(_best "")
  set(_best_version "0")
  foreach(p v IN ZIP_LISTS _found_prefixes _found_versions)
    if(v VERSION_GREATER _best_version)
      set(_best "${p}")
      set(_best_version "${v}")
    endif()
  endforeach()
  if(_best)
    _norvale_python_in_prefix("${_best}" _chosen_exe)
    set(_how "newest pyenv install")
  else()
    # The distribution's python3, or a python3.X beside it (a python3.X-dev
    # newer than the default python3): the newest usable one.
    file(GLOB _system_pythons /usr/bin/python3 /usr/bin/python3.[0-9]*)
    list(FILTER _system_pythons EXCLUDE REGEX "-config$|[^0-9]$")
    list(APPEND _system_pythons /usr/bin/python3)
    list(REMOVE_DUPLICATES _system_pythons)
    set(_best_version "0")
    foreach(exe IN LISTS _system_pythons)
      _norvale_describe_python("${exe}" sys)
      if(sys_OK AND sys_VERSION VERSION_GREATER _best_version)
        set(_chosen_exe "${exe}")
        set(_best_version "${sys_VERSION}")
      elseif(NOT sys_OK)
        list(APPEND _examined "${exe}: ${sys_WHY}")
      endif()
    endforeach()
    set(_how "system python3")
  endif()
  _norvale_describe_python("${_chosen_exe}" rt)
  if(NOT rt_OK)
    list(JOIN _examined "\n   " _examined_text)
    message(FATAL_ERROR
      " No usable CPython found. Examined:\n   ${_examined_text}\n \n${_norvale_python_steps}")
  endif()
endif()

if(CMAKE_SCRIPT_MODE_FILE)
  message(STATUS "CPython ${rt_VERSION} (${_how}): ${rt_PREFIX}")
  return()
endif()

set(NORVALE_PYTHON_EXECUTABLE "${rt_EXE}")
set(NORVALE_PYTHON_VERSION "${rt_VERSION}")
set(NORVALE_PYTHON_RUNTIME_PREFIX "${rt_PREFIX}")
set(NORVALE_PYTHON_LIBDIR "${rt_LIBDIR}")
set(NORVALE_PYTHON_VERSIONED_LIB "${rt_VERSIONED}")
set(NORVALE_PYTHON_STABLE_LIB "${rt_STABLE}")
set(NORVALE_PYTHON_STDLIB "${rt_STDLIB}")
if(NOT rt_PREFIX IN_LIST _found_prefixes)
  list(APPEND _found_prefixes "${rt_PREFIX}")
  list(APPEND _found_versions "${rt_VERSION}")
endif()
set(NORVALE_PYTHON_ALL_PREFIXES "${_found_prefixes}")
set(NORVALE_PYTHON_ALL_VERSIONS "${_found_versions}")

# Headers for the limited API: the oldest 3.12+ installation found.
set(_abi_include "${rt_INCLUDE}")
set(_abi_version "${rt_VERSION}")
foreach(p v IN ZIP_LISTS _found_prefixes _found_versions)
  if(v VERSION_LESS _abi_version)
    _norvale_python_in_prefix("${p}" exe)
    _norvale_describe_python("${exe}" old)
    if(old_OK)
      set(_abi_include "${old_INCLUDE}")
      set(_abi_version "${v}")
    endif()
  endif()
endforeach()
set(NORVALE_PYTHON_ABI_INCLUDE "${_abi_include}")

message(STATUS "CPython ${rt_VERSION} (${_how}): ${rt_PREFIX}")
message(STATUS "CPython limited-API headers (${_abi_version}): ${_abi_include}")
if(_abi_version VERSION_GREATER_EQUAL 3.13)
  # Nothing here runs it on 3.12 (every interpreter found is at least as
  # new), and the bundle carries its own: a note, not a warning.
  message(STATUS
    "No CPython 3.12 headers found; libnorvale is compiled against ${_abi_version}"
    " headers and may not load its `#` argument formats correctly on 3.12.")
endif()

add_library(Norvale::PythonHeaders INTERFACE IMPORTED)
target_include_directories(Norvale::PythonHeaders INTERFACE "${_abi_include}")
target_compile_definitions(Norvale::PythonHeaders INTERFACE
  Py_LIMITED_API=0x030C0000 PY_SSIZE_T_CLEAN)

add_library(Norvale::PythonVersioned SHARED IMPORTED)
set_target_properties(Norvale::PythonVersioned PROPERTIES
  IMPORTED_LOCATION "${rt_VERSIONED}")

add_library(Norvale::PythonStable SHARED IMPORTED)
if(rt_STABLE)
  set_target_properties(Norvale::PythonStable PROPERTIES
    IMPORTED_LOCATION "${rt_STABLE}")
  message(STATUS "libnorvale links the stable-ABI library ${rt_STABLE}")
else()
  # Debian's own packages ship no libpython3.so.
  set_target_properties(Norvale::PythonStable PROPERTIES
    IMPORTED_LOCATION "${rt_VERSIONED}")
  message(STATUS "${rt_LIBDIR} has no libpython3.so: libnorvale links the "
                 "versioned library ${rt_VERSIONED} instead")
endif()
