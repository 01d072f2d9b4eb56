# Installs the build tree into a scratch prefix, checks the installed files,
# then configures, builds and runs a project that finds the package there.
# Expects BUILD_DIR, CONSUMER_SOURCE and WORK_DIR.
file(REMOVE_RECURSE ${WORK_DIR})
set(prefix ${WORK_DIR}/prefix)

function(run)
  execute_process(COMMAND ${ARGV} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "failed: ${ARGV}\n${out}\n${err}")
  endif()
  set(last_output "${out}" PARENT_SCOPE)
endfunction()

run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})
foreach(installed bin/tolvane bin/tolvane.ln include/afflib.h include/tolvane/tolvane.h)
  if(NOT EXISTS ${prefix}/${installed})
    message(FATAL_ERROR "${installed} was not installed")
  endif()
endforeach()

run(${CMAKE_COMMAND} -S ${CONSUMER_SOURCE} -B ${WORK_DIR}/build -DCMAKE_PREFIX_PATH=${prefix}
    -DCMAKE_BUILD_TYPE=Release)
run(${CMAKE_COMMAND} --build ${WORK_DIR}/build)
run(${WORK_DIR}/build/consumer)
if(NOT last_output MATCHES "^1 region at 17.28 20.16")
  message(FATAL_ERROR "unexpected consumer output: ${last_output}")
endif()
run(${WORK_DIR}/build/consumer_api)
if(NOT last_output MATCHES "^1 region at 17\\.[0-9]+ 20\\.[0-9]+")
  message(FATAL_ERROR "unexpected output of the consumer of the namespaced API: ${last_output}")
endif()
run(${prefix}/bin/tolvane --version)
file(REMOVE_RECURSE ${WORK_DIR})
