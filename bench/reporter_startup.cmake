# Start-up of the reporter to its dialog, beside a bare Qt grab-and-save program, on Xvfb.
if(TARGET ktreporter)
  find_program(KT_BENCH_XVFB Xvfb)
  pkg_check_modules(KT_BENCH_XCB IMPORTED_TARGET xcb)
  find_package(Qt6 QUIET COMPONENTS Gui)
  if(KT_BENCH_XVFB AND TARGET PkgConfig::KT_BENCH_XCB AND TARGET Qt6::Gui)
    add_executable(reporter_bare_grab ${CMAKE_CURRENT_SOURCE_DIR}/reporter_bare_grab.cpp)
    target_link_libraries(reporter_bare_grab PRIVATE Qt6::Gui)
    add_executable(reporter_startup ${CMAKE_CURRENT_SOURCE_DIR}/reporter_startup.cpp)
    target_link_libraries(reporter_startup PRIVATE benchmark::benchmark PkgConfig::KT_BENCH_XCB)
    # The child-process helper of the tests (header only).
    target_include_directories(reporter_startup PRIVATE ${PROJECT_SOURCE_DIR}/tests)
    target_compile_definitions(reporter_startup PRIVATE
      KT_REPORTER_EXE="$<TARGET_FILE:ktreporter>"
      KT_BARE_GRAB_EXE="$<TARGET_FILE:reporter_bare_grab>"
      KT_XVFB_EXE="${KT_BENCH_XVFB}")
    add_dependencies(reporter_startup ktreporter reporter_bare_grab)
  endif()
endif()
