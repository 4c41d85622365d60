# Installs the built library into a scratch prefix and builds the example
# against it twice: through find_package(libkernels) and through pkg-config.
set(prefix ${BUILD_DIR}/install-check/prefix)
set(work ${BUILD_DIR}/install-check)
file(REMOVE_RECURSE ${work})

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "failed: ${ARGN}\n${out}\n${err}")
  endif()
endfunction()

run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})
run(${CMAKE_COMMAND} -S ${SOURCE_DIR} -B ${work}/cmake-consumer -DCMAKE_PREFIX_PATH=${prefix})
run(${CMAKE_COMMAND} --build ${work}/cmake-consumer)
set(ENV{LD_LIBRARY_PATH} ${prefix}/${LIBDIR})
run(${work}/cmake-consumer/orbital_demo)

set(ENV{PKG_CONFIG_PATH} ${prefix}/${LIBDIR}/pkgconfig)
execute_process(COMMAND pkg-config --cflags --libs libkernels OUTPUT_VARIABLE flags
                OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "pkg-config does not know libkernels")
endif()
separate_arguments(flags UNIX_COMMAND "${flags}")
run(${C_COMPILER} ${SOURCE_DIR}/orbital_demo.c ${flags} -o ${work}/pkgconfig_demo)
run(${work}/pkgconfig_demo)
