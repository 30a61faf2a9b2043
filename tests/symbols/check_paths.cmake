# Fails when the library's read-only data holds one of PATHS ("|"-separated).
execute_process(COMMAND ${READELF} -p .rodata ${LIBRARY}
  OUTPUT_VARIABLE dump RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "readelf failed on ${LIBRARY}")
endif()
string(REPLACE "|" ";" paths "${PATHS}")
foreach(path IN LISTS paths)
  string(FIND "${dump}" "${path}" at)
  if(NOT at EQUAL -1)
    message(FATAL_ERROR "The library's data holds the build path ${path}")
  endif()
endforeach()
message(STATUS "no build path in the library's data")
