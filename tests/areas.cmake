# tests/<area>/*_test.cpp become one program test_<area> made by `make`, less the files that
# match `exclude`; the *_mem_test.cpp files talk to the in-memory serial port of
# fuzz/memory_line.cpp instead of a tty and become test_<area>_mem.
function(ecgcomm_area_tests make exclude)
  foreach(area ${ARGN})
    file(GLOB sources CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/tests/${area}/*_test.cpp)
    list(FILTER sources EXCLUDE REGEX "${exclude}")
    set(memory ${sources})
    list(FILTER memory INCLUDE REGEX "_mem_test\\.cpp$")
    list(FILTER sources EXCLUDE REGEX "_mem_test\\.cpp$")
    if(sources)
      cmake_language(CALL ${make} test_${area} ${sources})
    endif()
    if(memory)
      cmake_language(CALL ${make} test_${area}_mem ${memory} ${PROJECT_SOURCE_DIR}/fuzz/memory_line.cpp)
    endif()
  endforeach()
endfunction()
