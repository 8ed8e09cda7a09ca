# cmake -DORVEL_SOURCE_DIR=<tree> -DSCRATCH=<folder> -P check_layering_bites.cmake
# The layering check must refuse a tree where a lower folder includes a higher one, the C API's
# header included.
set(check ${CMAKE_CURRENT_LIST_DIR}/check_layering.cmake)

function(expect_refusal name expected)
  execute_process(COMMAND ${CMAKE_COMMAND} -DORVEL_SOURCE_DIR=${SCRATCH}/${name} -P ${check}
                  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(rc EQUAL 0 OR NOT err MATCHES "${expected}")
    message(FATAL_ERROR "layering check passed a broken tree (${name}):\n${out}${err}")
  endif()
endfunction()

foreach(name upward api)
  file(REMOVE_RECURSE ${SCRATCH}/${name})
  file(WRITE ${SCRATCH}/${name}/tools/cli/main.cpp "#include \"log/log.h\"\n")
endforeach()

file(WRITE ${SCRATCH}/upward/src/log/log.cpp "#include \"log/log.h\"\n#include \"remotestorage/http_call.h\"\n")
expect_refusal(upward "src/log/log.cpp \\(log, rank 1\\) includes remotestorage/http_call.h")

# The results header is open to every folder; the exports' header is not.
file(WRITE ${SCRATCH}/api/src/platform/strings.cpp
     "#include <orvelsdk/orvelsdk_results.h>\n#include <orvelsdk/orvelsdk.h>\n")
expect_refusal(api "src/platform/strings.cpp \\(platform, rank 0\\) includes orvelsdk/orvelsdk.h")

file(REMOVE_RECURSE ${SCRATCH}/upward ${SCRATCH}/api)
message(STATUS "Layering check refuses an upward include")
