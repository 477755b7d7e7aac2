# Installs the build into a fresh prefix, builds the consumer project
# against it and runs both the consumer and the installed program, and
# imports the installed Python package when PYTHON_EXECUTABLE is given.
# With a shared library, each of them must load the prefix's copy.
#   cmake -DBUILD_DIR=... -DCONSUMER_DIR=... -DWORK_DIR=... -DLIBDIR=lib
#         -DSHARED_LIBRARY=ON|OFF -DLIBDIR_SEARCHED=ON|OFF
#         [-DPYTHON_EXECUTABLE=... -DPYTHON_SITE=lib/...] -P test_install.cmake
# LIBDIR_SEARCHED: the build installs the library into a folder that the
# loader searches, so that its programs have no RPATH; here they are given
# LD_LIBRARY_PATH instead.
foreach(var BUILD_DIR CONSUMER_DIR WORK_DIR LIBDIR)
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
set(installed include/cvoptflowulk.h include/cvoptflowulk.hpp bin/of_ulk)
if(SHARED_LIBRARY)
  list(APPEND installed ${LIBDIR}/libcvoptflowulk.so
       ${LIBDIR}/libcvoptflowulk.so.0)
endif()
foreach(file ${installed})
  if(NOT EXISTS ${prefix}/${file})
    message(FATAL_ERROR "${file} was not installed")
  endif()
endforeach()
set(run_env)
if(LIBDIR_SEARCHED)
  set(run_env LD_LIBRARY_PATH=${prefix}/${LIBDIR})
endif()
# The installed program loads the prefix's library, not one elsewhere.
if(SHARED_LIBRARY)
  run_step("ldd of the installed of_ulk" ${CMAKE_COMMAND} -E env ${run_env}
           ldd ${prefix}/bin/of_ulk)
  string(FIND "${step_output}" "libcvoptflowulk.so.0 => ${prefix}/" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "installed of_ulk does not load the prefix's library:\n${step_output}")
  endif()
endif()

run_step("consumer configure" ${CMAKE_COMMAND} -S ${CONSUMER_DIR}
         -B ${WORK_DIR}/build -DCMAKE_PREFIX_PATH=${prefix}
         -DCMAKE_BUILD_TYPE=Release)
run_step("consumer build" ${CMAKE_COMMAND} --build ${WORK_DIR}/build)
run_step("consumer run" ${WORK_DIR}/build/consumer)

run_step("installed of_ulk" ${CMAKE_COMMAND} -E env ${run_env}
         ${prefix}/bin/of_ulk)
if(NOT step_output MATCHES "=== Optical flow help ===")
  message(FATAL_ERROR "installed of_ulk printed no help:\n${step_output}")
endif()
# The Python package, when it was built, lands in the interpreter's
# site-packages folder under the prefix and imports from there.
if(PYTHON_EXECUTABLE)
  set(site ${prefix}/${PYTHON_SITE})
  set(library_root --static)
  if(SHARED_LIBRARY)
    set(library_root --library-root ${prefix})
  endif()
  run_step("installed ofulk" ${CMAKE_COMMAND} -E env PYTHONPATH=${site}
           ${run_env} ${PYTHON_EXECUTABLE}
           ${CMAKE_CURRENT_LIST_DIR}/check_ofulk.py ${site} ${library_root})
  foreach(file __init__.pyi py.typed)
    if(NOT EXISTS ${site}/ofulk/${file})
      message(FATAL_ERROR "ofulk/${file} was not installed")
    endif()
  endforeach()
endif()
message(STATUS "install test passed")
