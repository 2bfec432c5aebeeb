# GoogleTest from the sources Debian installs, built with the project's own compiler, so the
# same test programs build natively, under the sanitizers and for mingw.
set(VEXLOR_GTEST_SRC /usr/src/googletest CACHE PATH "GoogleTest sources")
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
add_subdirectory(${VEXLOR_GTEST_SRC} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
if(WIN32)
  # The win32 thread model's library has no std::mutex for GoogleTest's Notification: its own
  # port header (found first, by GoogleTest and by every program using it) puts one over the
  # system's lock and condition in its place.
  set(gtest_port_dir ${CMAKE_CURRENT_LIST_DIR}/gtest-win32)
  foreach(t gtest gtest_main gmock gmock_main)
    target_include_directories(${t} BEFORE PUBLIC ${gtest_port_dir})
  endforeach()
  target_sources(gtest PRIVATE ${gtest_port_dir}/notification.cpp)
endif()

# vexlor_test(<name> SOURCES ... LIBS ...): one test program, one CTest entry. Under the
# win32 preset CTest runs it through the emulator (Wine).
function(vexlor_test name)
  cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gmock GTest::gtest_main)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR})
  vexlor_warnings(${name})
  add_test(NAME ${name} COMMAND ${name})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  set_tests_properties(${name} PROPERTIES TIMEOUT ${T_TIMEOUT})
endfunction()
