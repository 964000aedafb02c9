# trailstarter_library(NAME [DEPS ...] [EXCLUDE regex ...])
# A static library made of every .cpp below the current source folder, but for the sources
# whose paths match an EXCLUDE expression.
function(trailstarter_library NAME)
  cmake_parse_arguments(ARG "" "" "DEPS;EXCLUDE" ${ARGN})
  file(GLOB_RECURSE _sources CONFIGURE_DEPENDS
       ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp ${CMAKE_CURRENT_SOURCE_DIR}/*.h)
  list(FILTER _sources EXCLUDE REGEX "/main\\.cpp$")
  foreach(_regex ${ARG_EXCLUDE})
    list(FILTER _sources EXCLUDE REGEX "${_regex}")
  endforeach()
  # A subsystem that has no sources yet still yields a (empty) library to link against.
  set(_empty ${CMAKE_CURRENT_BINARY_DIR}/${NAME}_empty.cpp)
  file(WRITE ${_empty} "// generated\n")
  add_library(${NAME} STATIC ${_sources} ${_empty})
  target_include_directories(${NAME} PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(${NAME} PUBLIC ${ARG_DEPS})
endfunction()

# trailstarter_test(NAME LABEL label SOURCES ... [DEPS ...] [THREADING] [WIDGETS])
# One GoogleTest executable; its cases are registered with ctest under LABEL.
# THREADING tests are also built and run under ThreadSanitizer (label "threading").
function(trailstarter_test NAME)
  cmake_parse_arguments(ARG "THREADING" "LABEL" "SOURCES;DEPS" ${ARGN})
  if(TRAILSTARTER_SANITIZE STREQUAL "thread" AND NOT ARG_THREADING)
    return()
  endif()
  add_executable(${NAME} ${ARG_SOURCES})
  target_link_libraries(${NAME} PRIVATE ${ARG_DEPS} GTest::gtest GTest::gmock test_support)
  # One label only: gtest_discover_tests flattens its PROPERTIES list, so a second label
  # would be lost. "ctest -L" takes a regular expression, so "-L threading" and "-L <folder>"
  # both select "<folder>-threading".
  set(_labels ${ARG_LABEL})
  if(ARG_THREADING)
    set(_labels ${ARG_LABEL}-threading)
  endif()
  gtest_discover_tests(${NAME}
    PROPERTIES LABELS "${_labels}"
               ENVIRONMENT "TRAILSTARTER_BUILD_DIR=${PROJECT_BINARY_DIR}"
    DISCOVERY_TIMEOUT 60)
endfunction()

# trailstarter_test_folder(LABEL)
# Every *Test.cpp in the current folder and its subfolders becomes one test executable,
# registered under LABEL (the target is <LABEL>_<file name>).
# A source holding the line "// ctest: threading" also runs under ThreadSanitizer.
function(trailstarter_test_folder LABEL)
  file(GLOB_RECURSE _tests CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*Test.cpp)
  foreach(_src ${_tests})
    get_filename_component(_stem ${_src} NAME_WE)
    file(STRINGS ${_src} _marks REGEX "^// ctest: threading")
    set(_threading)
    if(_marks)
      set(_threading THREADING)
    endif()
    trailstarter_test(${LABEL}_${_stem} LABEL ${LABEL} SOURCES ${_src}
                      DEPS launcher delivery foundation platform ${_threading})
  endforeach()
endfunction()

# trailstarter_export_symbols(TARGET)
# Puts exactly the symbols named in launcher/app/ExportedSymbols.list into the executable's
# dynamic symbol table (not every global, as -rdynamic would), and makes the linker take the
# objects that define them out of the static libraries even when the executable itself calls
# none of them.
function(trailstarter_export_symbols TARGET)
  set(_list ${PROJECT_SOURCE_DIR}/launcher/app/ExportedSymbols.list)
  file(READ ${_list} _text)
  string(REGEX MATCHALL "_Z[A-Za-z0-9_]+" _names "${_text}")
  foreach(_name ${_names})
    target_link_options(${TARGET} PRIVATE "LINKER:--undefined=${_name}")
  endforeach()
  target_link_options(${TARGET} PRIVATE "LINKER:--dynamic-list=${_list}")
  set_property(TARGET ${TARGET} APPEND PROPERTY LINK_DEPENDS ${_list})
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${_list})
endfunction()
