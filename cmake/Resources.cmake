# res/tavrik.rc, the one resource script of the tool.
set(TAVRIK_RC ${PROJECT_SOURCE_DIR}/res/tavrik.rc)

# On Windows the resource compiler builds it into the executable, where the
# dialog manager and LoadIcon find it (platform/ui adds it to the entry).
if(WIN32)
  enable_language(RC)
  set_source_files_properties(${TAVRIK_RC} PROPERTIES
    OBJECT_DEPENDS "${PROJECT_SOURCE_DIR}/res/resource.h;${PROJECT_SOURCE_DIR}/res/tavrik.ico")
  set(CMAKE_RC_FLAGS "${CMAKE_RC_FLAGS} -I ${PROJECT_SOURCE_DIR}/res")
  return()
endif()

# Elsewhere it is compiled with the same resource compiler into a .res file
# and embedded in the build, where the Qt back end reads the dialog template
# and the icon from it, as Windows reads them from the executable.

find_program(TAVRIK_WINDRES NAMES x86_64-w64-mingw32-windres i686-w64-mingw32-windres windres REQUIRED)
find_program(TAVRIK_CPP NAMES cpp REQUIRED)
find_path(TAVRIK_WINRES_INCLUDE winresrc.h PATHS /usr/share/mingw-w64/include /usr/x86_64-w64-mingw32/include REQUIRED)

set(TAVRIK_RES ${PROJECT_BINARY_DIR}/res/tavrik.res)
set(TAVRIK_RES_CPP ${PROJECT_BINARY_DIR}/res/tavrik_res.cpp)

add_custom_command(
  OUTPUT ${TAVRIK_RES}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/res
  COMMAND ${TAVRIK_WINDRES}
          --preprocessor=${TAVRIK_CPP} --preprocessor-arg=-xc
          --preprocessor-arg=-DRC_INVOKED --preprocessor-arg=-D_WIN32
          -I ${TAVRIK_WINRES_INCLUDE} -I ${PROJECT_SOURCE_DIR}/res
          -O res -i ${TAVRIK_RC} -o ${TAVRIK_RES}
  DEPENDS ${TAVRIK_RC} ${PROJECT_SOURCE_DIR}/res/resource.h ${PROJECT_SOURCE_DIR}/res/tavrik.ico
  COMMENT "Compiling resources"
  VERBATIM)

add_custom_command(
  OUTPUT ${TAVRIK_RES_CPP}
  COMMAND ${CMAKE_COMMAND} -DINPUT=${TAVRIK_RES} -DOUTPUT=${TAVRIK_RES_CPP} -DSYMBOL=g_moduleResources
          -P ${PROJECT_SOURCE_DIR}/cmake/EmbedFile.cmake
  DEPENDS ${TAVRIK_RES} ${PROJECT_SOURCE_DIR}/cmake/EmbedFile.cmake
  COMMENT "Embedding resources"
  VERBATIM)

add_library(tavrik_resources OBJECT ${TAVRIK_RES_CPP})
