# Every function (weak code symbol) an AVX2 or AVX-512 object file (source *_avx2.cpp,
# *_avx512.cpp) shares with other objects must belong to its own target:
# an ordinary inline function or template instantiation compiled there with
# the wider instruction set could be the copy the linker keeps for every
# caller, and the scalar path would then fault on CPUs without it.
# Usage: cmake -DNM=<nm> -DOBJECTS=<list> -P check_target_objects.cmake
set(failures "")
set(checked 0)
foreach(object IN LISTS OBJECTS)
  if(object MATCHES "_(avx2|avx512)\\.cpp\\.o$")
    set(target "${CMAKE_MATCH_1}")
    math(EXPR checked "${checked} + 1")
    execute_process(COMMAND ${NM} -C --defined-only ${object} OUTPUT_VARIABLE symbols RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
      string(APPEND failures "\n  cannot read ${object}")
      continue()
    endif()
    string(REPLACE "\n" ";" lines "${symbols}")
    foreach(line IN LISTS lines)
      if(line MATCHES "^[0-9a-f]+ W (.*)$")
        set(name "${CMAKE_MATCH_1}")
        if(NOT name MATCHES "::${target}::")
          string(APPEND failures "\n  ${object}: ${name}")
        endif()
      endif()
    endforeach()
  endif()
endforeach()
if(failures)
  message(FATAL_ERROR "shared (weak) symbols outside their target's namespace:${failures}")
endif()
message(STATUS "${checked} target object files checked")
