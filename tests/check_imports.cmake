# Checks what a shared library imports: nothing from the C++ runtime or the
# compiler's runtime (libstdc++, libgcc_s), and from glibc no symbol version
# newer than MAX_GLIBC.  The library needs only the C library and libm, which
# is what lets the Python wheel link the runtimes in statically and run on
# every distribution with that glibc or newer (scripts/build_wheel.sh).
execute_process(COMMAND ${OBJDUMP} -T ${LIBRARY} OUTPUT_VARIABLE listing RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${OBJDUMP} -T failed on ${LIBRARY}")
endif()
string(REPLACE "\n" ";" lines "${listing}")
set(runtime "")
set(highest "0")
foreach(line IN LISTS lines)
  # 0000000000000000      DF *UND*	0000000000000000 (GLIBC_2.27) expf
  if(NOT line MATCHES "\\*UND\\*[ \t]+[0-9a-fA-F]+[ \t]+\\(?([A-Za-z_]+)_?([0-9.]*)\\)?[ \t]+(.+)$")
    continue()
  endif()
  set(family "${CMAKE_MATCH_1}")
  set(version "${CMAKE_MATCH_2}")
  set(name "${CMAKE_MATCH_3}")
  if(family MATCHES "^(GLIBCXX|CXXABI|GCC)_?$")
    list(APPEND runtime "${name} (${family}${version})")
  elseif(family MATCHES "^GLIBC_?$" AND version VERSION_GREATER highest)
    set(highest "${version}")
    set(highest_name "${name}")
  endif()
endforeach()
if(runtime)
  message(FATAL_ERROR "the library imports from the C++ or compiler runtime: ${runtime}")
endif()
if(highest VERSION_GREATER MAX_GLIBC)
  message(FATAL_ERROR "the library needs glibc ${highest} (${highest_name}), newer than ${MAX_GLIBC}")
endif()
message(STATUS "imports: nothing from the C++ runtime; highest glibc version ${highest} (${highest_name})")
