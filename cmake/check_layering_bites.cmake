# cmake -DORVEL_SOURCE_DIR=<tree> -DSCRATCH=<folder> -P check_layering_bites.cmake
# The layering check must refuse a tree where a lower folder includes a higher one, and a
# tree where the internal result values drift from the public ones.
set(check ${CMAKE_CURRENT_LIST_DIR}/check_layering.cmake)

function(expect_refusal name expected)
  execute_process(COMMAND ${CMAKE_COMMAND} -DORVEL_SOURCE_DIR=${SCRATCH}/${name} -P ${check}
                  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(rc EQUAL 0 OR NOT err MATCHES "${expected}")
    message(FATAL_ERROR "layering check passed a broken tree (${name}):\n${out}${err}")
  endif()
endfunction()

foreach(name upward drift)
  file(REMOVE_RECURSE ${SCRATCH}/${name})
  file(COPY ${ORVEL_SOURCE_DIR}/include/orvelsdk/orvelsdk.h DESTINATION ${SCRATCH}/${name}/include/orvelsdk)
  file(COPY ${ORVEL_SOURCE_DIR}/src/platform/result_types.h DESTINATION ${SCRATCH}/${name}/src/platform)
  file(WRITE ${SCRATCH}/${name}/tools/cli/main.cpp "#include \"log/log.h\"\n")
endforeach()

file(WRITE ${SCRATCH}/upward/src/log/log.cpp "#include \"log/log.h\"\n#include \"remotestorage/http_call.h\"\n")
expect_refusal(upward "src/log/log.cpp \\(log, rank 1\\) includes remotestorage/http_call.h")

file(READ ${SCRATCH}/drift/src/platform/result_types.h values)
string(REPLACE "0x80041026" "0x80041027" values "${values}")
file(WRITE ${SCRATCH}/drift/src/platform/result_types.h "${values}")
expect_refusal(drift "result values differ")

file(REMOVE_RECURSE ${SCRATCH}/upward ${SCRATCH}/drift)
message(STATUS "Layering check refuses an upward include and drifting result values")
