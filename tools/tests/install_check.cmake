# Installs the build tree into a scratch prefix, checks the installed files,
# then configures, builds and runs a project that finds the package there.
# Expects BUILD_DIR, CONSUMER_SOURCE, WORK_DIR and IMAGE; with PYTHON_EXECUTABLE and
# PYTHON_PACKAGE_DIR (relative to the prefix) also imports the installed
# Python package.
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
# Fitting a model opens the module at its installed place.
run(${prefix}/bin/tolvane match ${IMAGE} ${IMAGE})
if(PYTHON_EXECUTABLE)
  # Lines, not semicolons: run() would split the program at a semicolon.
  run(${CMAKE_COMMAND} -E env PYTHONPATH=${prefix}/${PYTHON_PACKAGE_DIR} ${PYTHON_EXECUTABLE} -c
      "import tolvane, numpy\nprint(tolvane.__file__)\nprint(len(tolvane.detect(numpy.zeros((64, 64), numpy.uint8))))")
  if(NOT last_output MATCHES "^${prefix}/${PYTHON_PACKAGE_DIR}/tolvane/__init__.py\n0\n$")
    message(FATAL_ERROR "the installed Python package did not import and detect: ${last_output}")
  endif()
  if(NOT EXISTS ${prefix}/${PYTHON_PACKAGE_DIR}/tolvane/_core.pyi)
    message(FATAL_ERROR "the Python stub file was not installed")
  endif()
endif()
file(REMOVE_RECURSE ${WORK_DIR})
