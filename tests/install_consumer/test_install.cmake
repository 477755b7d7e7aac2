# Installs the build into a fresh prefix, builds the consumer project
# against it and runs both the consumer and the installed program, and
# imports the installed Python package when PYTHON_EXECUTABLE is given.
#   cmake -DBUILD_DIR=... -DCONSUMER_DIR=... -DWORK_DIR=...
#         [-DPYTHON_EXECUTABLE=... -DPYTHON_SITE=lib/...] -P test_install.cmake
foreach(var BUILD_DIR CONSUMER_DIR WORK_DIR)
  if(NOT ${var})
    message(FATAL_ERROR "${var} is not set")
  endif()
endforeach()

function(run_step what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out
                  ERROR_VARIABLE out)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${what} failed (${rc}):\n${out}")
  endif()
  set(step_output "${out}" PARENT_SCOPE)
endfunction()

set(prefix ${WORK_DIR}/prefix)
file(REMOVE_RECURSE ${WORK_DIR})
run_step("install" ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})
foreach(file include/cvoptflowulk.h include/cvoptflowulk.hpp bin/of_ulk)
  if(NOT EXISTS ${prefix}/${file})
    message(FATAL_ERROR "${file} was not installed")
  endif()
endforeach()

run_step("consumer configure" ${CMAKE_COMMAND} -S ${CONSUMER_DIR}
         -B ${WORK_DIR}/build -DCMAKE_PREFIX_PATH=${prefix}
         -DCMAKE_BUILD_TYPE=Release)
run_step("consumer build" ${CMAKE_COMMAND} --build ${WORK_DIR}/build)
run_step("consumer run" ${WORK_DIR}/build/consumer)

run_step("installed of_ulk" ${prefix}/bin/of_ulk)
if(NOT step_output MATCHES "=== Optical flow help ===")
  message(FATAL_ERROR "installed of_ulk printed no help:\n${step_output}")
endif()
# The Python package, when it was built, lands in the interpreter's
# site-packages folder under the prefix and imports from there.
if(PYTHON_EXECUTABLE)
  set(site ${prefix}/${PYTHON_SITE})
  run_step("installed ofulk" ${CMAKE_COMMAND} -E env PYTHONPATH=${site}
           ${PYTHON_EXECUTABLE} -c
           "import numpy, ofulk; f = ofulk.calc_flow(numpy.zeros((8, 8), numpy.uint8), numpy.zeros((8, 8), numpy.uint8)); assert ofulk.__file__.startswith('${site}'), ofulk.__file__; assert f.shape == (8, 8, 2); print('ofulk ok')")
  foreach(file __init__.pyi py.typed)
    if(NOT EXISTS ${site}/ofulk/${file})
      message(FATAL_ERROR "ofulk/${file} was not installed")
    endif()
  endforeach()
endif()
message(STATUS "install test passed")
