# Installs the build into a fresh prefix, builds the consumer project
# against it and runs both the consumer and the installed program.
#   cmake -DBUILD_DIR=... -DCONSUMER_DIR=... -DWORK_DIR=... -P test_install.cmake
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
message(STATUS "install test passed")
