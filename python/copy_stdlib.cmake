# Copies the CPython standard library at SOURCE to DESTINATION without what
# an application never needs: the test suites, IDLE, Tk, the turtle demos,
# pip's bootstrap, 2to3, pydoc's topics, byte-code caches, the static
# library and makefiles of config-*/, installed third-party packages, and
# the extension modules that only the test suites import. DESTINATION's
# site-packages, where the application's packages go, is left as it is; with
# SITE_ALIAS (dist-packages), that name is a link to it. Touches STAMP.

foreach(var SOURCE DESTINATION STAMP)
  if(NOT ${var})
    message(FATAL_ERROR "copy_stdlib.cmake needs -D${var}=...")
  endif()
endforeach()
if(NOT EXISTS "${SOURCE}/os.py")
  message(FATAL_ERROR "${SOURCE} is no Python standard library (no os.py)")
endif()

file(GLOB _previous LIST_DIRECTORIES true "${DESTINATION}/*")
list(FILTER _previous EXCLUDE REGEX "/site-packages(\\.old|\\.new)?$")
if(_previous)
  file(REMOVE_RECURSE ${_previous})
endif()
file(COPY "${SOURCE}/" DESTINATION "${DESTINATION}"
  REGEX "/(test|tests|idle_test|idlelib|tkinter|turtledemo|ensurepip|lib2to3|pydoc_data|__pycache__|site-packages|dist-packages)$" EXCLUDE
  REGEX "/config-[^/]*$" EXCLUDE
  REGEX "/turtle\\.py$" EXCLUDE
  REGEX "/lib-dynload/(_test|_xxtest|_ctypes_test|xxlimited|xxsubtype|_tkinter)[^/]*$" EXCLUDE)
file(MAKE_DIRECTORY "${DESTINATION}/site-packages")
if(SITE_ALIAS)
  file(CREATE_LINK site-packages "${DESTINATION}/${SITE_ALIAS}" SYMBOLIC)
endif()
file(TOUCH "${STAMP}")
