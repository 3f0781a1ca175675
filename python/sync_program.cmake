# Makes the program's folder in the bundle, DESTINATION, hold the files that
# LIST names (one path a line, relative to SOURCE) as SOURCE has them, and
# nothing else of a program that was there before (bytecode caches aside,
# which Python keeps right itself). Touches STAMP.

cmake_minimum_required(VERSION 3.25)

foreach(var SOURCE DESTINATION LIST STAMP)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "sync_program.cmake needs -D${var}=...")
  endif()
endforeach()

file(STRINGS "${LIST}" files)
if(IS_DIRECTORY "${DESTINATION}")
  file(GLOB_RECURSE present RELATIVE "${DESTINATION}" "${DESTINATION}/*")
  foreach(file IN LISTS present)
    if(NOT file IN_LIST files AND NOT file MATCHES "(^|/)__pycache__/")
      file(REMOVE "${DESTINATION}/${file}")
    endif()
  endforeach()
endif()
foreach(file IN LISTS files)
  get_filename_component(folder "${DESTINATION}/${file}" DIRECTORY)
  file(MAKE_DIRECTORY "${folder}")
  file(COPY_FILE "${SOURCE}/${file}" "${DESTINATION}/${file}" ONLY_IF_DIFFERENT)
endforeach()
file(TOUCH "${STAMP}")
