# Static checks of a Windows build of the tool, run on the build machine:
#   cmake -DEXE=tavrik-sim.exe -DOBJDUMP=... -DWINDRES=... [-DFORMAT=pei-i386]
#         [-DMAX_SIZE=bytes] [-DCONSOLE=ON] -P check_exe.cmake
#
# - it is an exe of the expected architecture (FORMAT, as objdump names it);
# - it imports system DLLs only (the C and C++ runtimes are linked in), and
#   the common controls among them, with InitCommonControlsEx;
# - with CONSOLE (tavrik-check.exe) only the above two and the size: it is a
#   console program with no dialog;
# - dialog 102 is in German (language 1031 = LANG_GERMAN, SUBLANG_GERMAN) with
#   its caption intact;
# - icon group 128 holds a 32x32 and a 16x16 image.

cmake_minimum_required(VERSION 3.21)
set(failures "")

execute_process(COMMAND ${OBJDUMP} -p ${EXE} OUTPUT_VARIABLE headers RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${OBJDUMP} -p ${EXE} failed")
endif()

if(DEFINED FORMAT AND NOT headers MATCHES "file format ${FORMAT}\n")
  string(REGEX MATCH "file format [^\n]*" found "${headers}")
  list(APPEND failures "is not ${FORMAT} (${found})")
endif()

# OLEAUT32 (BSTR, VARIANT) and WS2_32 (the UDP stream) come with the BDA card.
set(system_dlls KERNEL32.DLL USER32.DLL GDI32.DLL COMCTL32.DLL MSVCRT.DLL ADVAPI32.DLL OLE32.DLL OLEAUT32.DLL
    WS2_32.DLL)
string(REGEX MATCHALL "DLL Name: [^\n]+" imports "${headers}")
set(dlls "")
foreach(line IN LISTS imports)
  string(REPLACE "DLL Name: " "" dll "${line}")
  string(STRIP "${dll}" dll)
  string(TOUPPER "${dll}" dll)
  list(APPEND dlls ${dll})
  if(NOT dll IN_LIST system_dlls)
    list(APPEND failures "imports ${dll}, which is not a Windows system DLL")
  endif()
endforeach()
message(STATUS "${EXE} imports: ${dlls}")
if(CONSOLE)
  if(NOT headers MATCHES "Subsystem[ \t]+0*3[ \t]")
    list(APPEND failures "is not a console program")
  endif()
  file(SIZE ${EXE} size)
  message(STATUS "${EXE}: ${size} bytes")
  if(DEFINED MAX_SIZE AND size GREATER MAX_SIZE)
    list(APPEND failures "is ${size} bytes, more than ${MAX_SIZE}")
  endif()
  if(failures)
    foreach(f IN LISTS failures)
      message(SEND_ERROR "${EXE}: ${f}")
    endforeach()
    message(FATAL_ERROR "static checks failed")
  endif()
  message(STATUS "static checks passed")
  return()
endif()
if(NOT COMCTL32.DLL IN_LIST dlls)
  list(APPEND failures "does not import COMCTL32.DLL")
endif()
if(NOT headers MATCHES "InitCommonControlsEx")
  list(APPEND failures "does not import InitCommonControlsEx")
endif()

execute_process(COMMAND ${WINDRES} -i ${EXE} -O rc OUTPUT_VARIABLE rcText RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${WINDRES} -i ${EXE} failed")
endif()
# Put each resource on one list entry with the language in force for it.
string(REPLACE ";" "," rcText "${rcText}")
string(REPLACE "\n" ";" rcLines "${rcText}")
set(language "")
set(dialogLanguage "")
set(section "")
set(caption "")
set(iconSizes "")
foreach(line IN LISTS rcLines)
  if(line MATCHES "^LANGUAGE ([0-9]+), ([0-9]+)")
    set(language "${CMAKE_MATCH_1},${CMAKE_MATCH_2}")
  elseif(line MATCHES "^[0-9]+ (DIALOGEX|[0-9]+ )")
    set(section "${line}")
    if(line MATCHES "^102 DIALOGEX")
      set(dialogLanguage "${language}")
    endif()
  elseif(section MATCHES "^102 DIALOGEX" AND line MATCHES "^CAPTION (.*)")
    set(caption "${CMAKE_MATCH_1}")
  elseif(section MATCHES "^128 14 " AND line MATCHES "^ +\"\\\\([0-7]+)\\\\([0-7]+)")
    list(APPEND iconSizes "${CMAKE_MATCH_1}x${CMAKE_MATCH_2}")
  endif()
endforeach()

# LANGUAGE 7, 1 is LANG_GERMAN, SUBLANG_GERMAN: 0x0407 = 1031.
if(NOT dialogLanguage STREQUAL "7,1")
  list(APPEND failures "dialog 102 missing or not in language 1031 (found '${dialogLanguage}')")
endif()
# windres prints the caption as a wide string with octal escapes: \374 is ü.
set(expectedCaption "L\"Tavrik f\\374r Siemens-DVB v1.0\"")
if(NOT caption STREQUAL expectedCaption)
  list(APPEND failures "dialog caption is [${caption}], not [${expectedCaption}]")
endif()
# Octal: 040 = 32, 020 = 16.
string(REPLACE ";" " " sizes "${iconSizes}")
if(NOT "040x040" IN_LIST iconSizes OR NOT "020x020" IN_LIST iconSizes)
  list(APPEND failures "icon group 128 lacks the 32x32 or the 16x16 image (has: ${sizes})")
endif()

file(SIZE ${EXE} size)
message(STATUS "${EXE}: ${size} bytes")
if(DEFINED MAX_SIZE)
  if(size GREATER MAX_SIZE)
    list(APPEND failures "is ${size} bytes, more than ${MAX_SIZE}")
  endif()
endif()

if(failures)
  foreach(f IN LISTS failures)
    message(SEND_ERROR "${EXE}: ${f}")
  endforeach()
  message(FATAL_ERROR "static checks failed")
endif()
message(STATUS "static checks passed")
