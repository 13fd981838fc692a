# kt_folder_enabled(<folder> <out-var>): honours KT_ONLY.
function(kt_folder_enabled folder out)
  if(KT_ONLY STREQUAL "")
    set(${out} TRUE PARENT_SCOPE)
  elseif(folder IN_LIST KT_ONLY)
    set(${out} TRUE PARENT_SCOPE)
  else()
    set(${out} FALSE PARENT_SCOPE)
  endif()
endfunction()

# kt_add_library(<target> SOURCES ... [DEPS ...])
# One static library per src folder; its public headers live at the folder's top and are
# included as "<folder>/<header>.h". The include root a library hands on holds its own folder
# only (a link in the build tree), so a target sees the headers of the libraries it links and no
# others: a layer that includes a higher one does not compile.
function(kt_add_library target)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  add_library(${target} STATIC ${ARG_SOURCES})
  file(RELATIVE_PATH folder ${PROJECT_SOURCE_DIR}/src ${CMAKE_CURRENT_SOURCE_DIR})
  set(root ${PROJECT_BINARY_DIR}/include/${target})
  get_filename_component(parent ${root}/${folder} DIRECTORY)
  file(MAKE_DIRECTORY ${parent})
  file(CREATE_LINK ${CMAKE_CURRENT_SOURCE_DIR} ${root}/${folder} SYMBOLIC)
  target_include_directories(${target} PUBLIC ${root})
  target_link_libraries(${target} PUBLIC ${ARG_DEPS} PRIVATE kt_warnings)
endfunction()

# kt_add_test(<name> SOURCES ... [DEPS ...] [LABELS ...] [ENV ...] [TIMEOUT s] [OWN_MAIN])
# OWN_MAIN: the sources bring main() (Qt tests that need a QApplication); otherwise gtest_main.
# One GoogleTest binary per test folder, registered as one ctest test each so the whole
# binary's output shows on failure.
function(kt_add_test name)
  cmake_parse_arguments(ARG "OWN_MAIN" "TIMEOUT" "SOURCES;DEPS;LABELS;ENV" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR}/tests)
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} GTest::gtest GTest::gmock kt_warnings)
  if(NOT ARG_OWN_MAIN)
    target_link_libraries(${name} PRIVATE GTest::gtest_main)
  endif()
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 600)
  endif()
  add_test(NAME ${name} COMMAND ${name} --gtest_color=no)
  set_tests_properties(${name} PROPERTIES TIMEOUT ${ARG_TIMEOUT}
    ENVIRONMENT "KTREPORTER_TRACE=0;${ARG_ENV}")
  if(ARG_LABELS)
    set_tests_properties(${name} PROPERTIES LABELS "${ARG_LABELS}")
  endif()
endfunction()

# kt_include_dir_fragments(<dir>): include every *.cmake in a folder, so that benchmarks and fuzz
# targets of separate layers do not edit one shared list.
macro(kt_include_dir_fragments dir)
  file(GLOB _kt_frags CONFIGURE_DEPENDS ${dir}/*.cmake)
  list(SORT _kt_frags)
  foreach(_kt_frag IN LISTS _kt_frags)
    include(${_kt_frag})
  endforeach()
endmacro()
