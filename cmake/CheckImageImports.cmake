# cmake -D OBJDUMP=<objdump> -D IMAGE=<KRVDLC.SYS> -D ALLOWED=<mod;mod;...> -P CheckImageImports.cmake
#
# The driver may import from the kernel, the HAL and NDIS only. Any other module (a C runtime,
# kernel32 pulled in by accident) would keep the image from loading, so the image is removed
# and the build fails.

foreach(var OBJDUMP IMAGE ALLOWED)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "CheckImageImports.cmake: ${var} is not set")
  endif()
endforeach()

execute_process(COMMAND "${OBJDUMP}" -p "${IMAGE}"
                OUTPUT_VARIABLE listing ERROR_VARIABLE errors RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  file(REMOVE "${IMAGE}")
  message(FATAL_ERROR "objdump -p ${IMAGE} failed: ${errors}")
endif()

string(REGEX MATCHALL "DLL Name: [^\n]+" entries "${listing}")
set(modules)
set(foreign)
foreach(entry IN LISTS entries)
  string(REGEX REPLACE "^DLL Name: " "" module "${entry}")
  string(STRIP "${module}" module)
  list(APPEND modules "${module}")
  list(FIND ALLOWED "${module}" index)
  if(index EQUAL -1)
    list(APPEND foreign "${module}")
  endif()
endforeach()

if(foreign)
  file(REMOVE "${IMAGE}")
  list(JOIN foreign ", " text)
  list(JOIN ALLOWED ", " allowed)
  message(FATAL_ERROR "${IMAGE} imports from ${text}; only ${allowed} are allowed. The image was removed.")
endif()
list(JOIN modules ", " text)
message(STATUS "Imports of the driver image: ${text}")
