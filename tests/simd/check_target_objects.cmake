# Every function (weak code symbol) an object file of a vector target (source
# *_<target>.cpp, target one of TARGETS) shares with other objects must belong
# to its own target:
# an ordinary inline function or template instantiation compiled there with
# the wider instruction set could be the copy the linker keeps for every
# caller, and the scalar path would then fault on CPUs without it.
# Usage: cmake -DNM=<nm> -DTARGETS=<list> -DOBJECTS=<list> -P check_target_objects.cmake
set(failures "")
set(checked 0)
string(REPLACE ";" "|" any_target "${TARGETS}")
foreach(object IN LISTS OBJECTS)
  if(TARGETS AND object MATCHES "_(${any_target})\\.cpp\\.o$")
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
