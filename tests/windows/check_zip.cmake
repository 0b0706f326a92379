# The Windows zip, as a user gets it:
#   cmake -DBUILD_DIR=... -DNAME=tavrik-1.0-win32 -DOBJDUMP=... -DWINDRES=...
#         [-DMAX_SIZE=...] -P check_zip.cmake
#
# Makes the zip with CPack in BUILD_DIR twice (the same bytes), unpacks it and checks that it holds
# NAME/tavrik-sim.exe, NAME/tavrik.exe, NAME/tavrik-check.exe and
# NAME/README.txt and nothing else, that the README has Windows line ends and
# says what the tools are, and runs the exes' static checks (check_exe.cmake)
# on the exes from the zip (MAX_SIZE: tavrik-sim.exe's limit; MAX_SIZE_REAL:
# tavrik.exe's).

cmake_minimum_required(VERSION 3.21)
set(zip ${BUILD_DIR}/${NAME}.zip)
# As tools/package.sh makes it: every time in it is SOURCE_DATE_EPOCH.
if(NOT DEFINED ENV{SOURCE_DATE_EPOCH})
  set(ENV{SOURCE_DATE_EPOCH} 1796731200)
endif()
function(make_zip)
  file(REMOVE ${zip})
  execute_process(COMMAND ${CMAKE_CPACK_COMMAND} -G ZIP WORKING_DIRECTORY ${BUILD_DIR}
                  OUTPUT_VARIABLE output ERROR_VARIABLE output RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0 OR NOT EXISTS ${zip})
    message(FATAL_ERROR "cpack -G ZIP did not make ${zip}:\n${output}")
  endif()
endfunction()
# Made twice, a second apart: the same bytes.
make_zip()
file(RENAME ${zip} ${zip}.first)
execute_process(COMMAND ${CMAKE_COMMAND} -E sleep 1.1)
make_zip()
execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files ${zip}.first ${zip} RESULT_VARIABLE rc)
file(REMOVE ${zip}.first)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "two runs of cpack -G ZIP made different zips")
endif()
file(SIZE ${zip} zipSize)
message(STATUS "${zip}: ${zipSize} bytes")

set(unpacked ${BUILD_DIR}/zip-check)
file(REMOVE_RECURSE ${unpacked})
file(MAKE_DIRECTORY ${unpacked})
execute_process(COMMAND ${CMAKE_COMMAND} -E tar xf ${zip} WORKING_DIRECTORY ${unpacked} RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${zip} does not unpack")
endif()

set(failures "")
file(GLOB_RECURSE files LIST_DIRECTORIES false RELATIVE ${unpacked} ${unpacked}/*)
list(SORT files)
set(expected ${NAME}/README.txt ${NAME}/tavrik-check.exe ${NAME}/tavrik-sim.exe ${NAME}/tavrik.exe)
if(NOT files STREQUAL expected)
  list(APPEND failures "holds [${files}], not [${expected}]")
endif()

set(readme ${unpacked}/${NAME}/README.txt)
if(EXISTS ${readme})
  file(READ ${readme} text HEX)
  # Every line feed follows a carriage return (0d0a), none stands alone.
  string(REGEX MATCHALL "(..)" bytes "${text}")
  set(previous "")
  set(lineFeeds 0)
  foreach(byte IN LISTS bytes)
    if(byte STREQUAL "0a")
      math(EXPR lineFeeds "${lineFeeds} + 1")
      if(NOT previous STREQUAL "0d")
        list(APPEND failures "README.txt has a line end without a carriage return")
        break()
      endif()
    endif()
    set(previous ${byte})
  endforeach()
  if(lineFeeds EQUAL 0)
    list(APPEND failures "README.txt is one line")
  endif()
  file(READ ${readme} text)
  foreach(phrase "tavrik-sim.exe" "simulated card" "DVB" "tavrik.exe" "tavrik-check.exe" "udp://127.0.0.1:1234"
                 "4101")
    string(FIND "${text}" "${phrase}" at)
    if(at EQUAL -1)
      list(APPEND failures "README.txt does not mention '${phrase}'")
    endif()
  endforeach()
endif()

foreach(program tavrik-sim tavrik tavrik-check)
  set(exe ${unpacked}/${NAME}/${program}.exe)
  if(NOT EXISTS ${exe})
    continue()
  endif()
  set(args "")
  if(program STREQUAL "tavrik-sim" AND DEFINED MAX_SIZE)
    set(args -DMAX_SIZE=${MAX_SIZE})
  elseif(program STREQUAL "tavrik" AND DEFINED MAX_SIZE_REAL)
    set(args -DMAX_SIZE=${MAX_SIZE_REAL})
  elseif(program STREQUAL "tavrik-check")
    set(args -DCONSOLE=ON)
  endif()
  execute_process(COMMAND ${CMAKE_COMMAND} -DEXE=${exe} -DOBJDUMP=${OBJDUMP} -DWINDRES=${WINDRES} ${args}
                          -P ${CMAKE_CURRENT_LIST_DIR}/check_exe.cmake
                  RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    list(APPEND failures "${program}.exe in the zip fails its static checks")
  endif()
endforeach()

if(failures)
  foreach(f IN LISTS failures)
    message(SEND_ERROR "${zip}: ${f}")
  endforeach()
  message(FATAL_ERROR "zip checks failed")
endif()
message(STATUS "zip checks passed")
