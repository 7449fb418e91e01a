# GoogleTest for the Windows cross build. Debian ships GoogleTest's sources but no MinGW build
# of it, so it is compiled here with the cross compiler, once per build folder. The targets get
# the same names as those of find_package(GTest), so the test folders need no #ifdef.
set(ECGCOMM_GOOGLETEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources for cross builds")
if(NOT EXISTS ${ECGCOMM_GOOGLETEST_SOURCE}/googletest/CMakeLists.txt)
  message(FATAL_ERROR "GoogleTest sources not found in ${ECGCOMM_GOOGLETEST_SOURCE} "
                      "(Debian package googletest)")
endif()
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
add_subdirectory(${ECGCOMM_GOOGLETEST_SOURCE}/googletest ${CMAKE_BINARY_DIR}/googletest
                 EXCLUDE_FROM_ALL)
# Our -Wall -Wextra are for our code; GoogleTest's own sources would only add noise.
foreach(target gtest gtest_main)
  target_compile_options(${target} PRIVATE -w)
endforeach()
if(NOT TARGET GTest::gtest)
  add_library(GTest::gtest ALIAS gtest)
  add_library(GTest::gtest_main ALIAS gtest_main)
endif()
