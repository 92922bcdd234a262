# cmake -D OBJDUMP=<objdump> -D OBJECT_LIST=<file with one object path a line> -P CheckDriverObjects.cmake
#
# Fails when a driver object carries a section that only makes sense with a C runtime:
# constructor and destructor tables (nothing runs them in a kernel image), unwind data
# (a kernel image has no unwinder) or thread-local storage (the loader does not set it up).

foreach(var OBJDUMP OBJECT_LIST)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "CheckDriverObjects.cmake: ${var} is not set")
  endif()
endforeach()

file(STRINGS "${OBJECT_LIST}" objects)
set(forbidden_regex "^(\\.ctors|\\.dtors|\\.init_array|\\.fini_array|\\.eh_frame|\\.gcc_except_table|\\.tls)([.$].*)?$")

set(failures)
foreach(object IN LISTS objects)
  if(object STREQUAL "")
    continue()
  endif()
  execute_process(COMMAND "${OBJDUMP}" -h "${object}"
                  OUTPUT_VARIABLE listing ERROR_VARIABLE errors RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    list(APPEND failures "${object}: objdump failed: ${errors}")
    continue()
  endif()
  # Section lines look like "  3 .ctors        00000004  00000000 ...".
  string(REPLACE "\n" ";" lines "${listing}")
  foreach(line IN LISTS lines)
    if(line MATCHES "^ *[0-9]+ +([^ ]+) +[0-9a-fA-F]+ ")
      set(section "${CMAKE_MATCH_1}")
      if(section MATCHES "${forbidden_regex}")
        get_filename_component(name "${object}" NAME)
        list(APPEND failures "${name}: section ${section}")
      endif()
    endif()
  endforeach()
endforeach()

if(failures)
  list(JOIN failures "\n  " text)
  message(FATAL_ERROR "Driver objects with sections a kernel image cannot use "
                      "(global constructors, function-local statics with guards, unwind tables, TLS):\n  ${text}")
endif()
