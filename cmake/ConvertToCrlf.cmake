# cmake -D INPUT=<file> -D OUTPUT=<file> -P ConvertToCrlf.cmake
#
# Also gives the INF its CR LF ends where the driver build places it beside the image.
#
# The platform's message compiler ends every message line with CR LF, and windmc copies the
# line ends of its input into the table. The message source is kept with plain LF line ends,
# so the copy that windmc reads is given CR LF ends here.
foreach(var INPUT OUTPUT)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "ConvertToCrlf.cmake: ${var} is not set")
  endif()
endforeach()
file(READ "${INPUT}" text)
string(REPLACE "\r\n" "\n" text "${text}")
string(REPLACE "\n" "\r\n" text "${text}")
file(WRITE "${OUTPUT}.tmp" "${text}")
file(RENAME "${OUTPUT}.tmp" "${OUTPUT}")
