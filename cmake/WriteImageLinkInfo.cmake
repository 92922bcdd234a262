# cmake -D MAP=<link map> -D ENTRY=<symbol> -D IMPORT_LIBRARIES=<a;b;c> -D MESSAGE_HEADER=<h>
#       -D OUTPUT=<file> -P WriteImageLinkInfo.cmake
#
# Writes the facts about the link that the image tests compare the image with, one
# "key value" a line: the address the linker gave the entry symbol, the import libraries
# the image was linked with, and the header the message compiler wrote.

foreach(var MAP ENTRY IMPORT_LIBRARIES MESSAGE_HEADER OUTPUT)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "WriteImageLinkInfo.cmake: ${var} is not set")
  endif()
endforeach()

# ld's PE map lists i386 symbols without their leading underscore.
string(REGEX REPLACE "^_" "" map_name "${ENTRY}")
file(STRINGS "${MAP}" lines REGEX "^ +0x[0-9a-fA-F]+ +[^ ]+$")
set(address "")
foreach(line IN LISTS lines)
  if(line MATCHES "^ +(0x[0-9a-fA-F]+) +([^ ]+)$" AND CMAKE_MATCH_2 STREQUAL map_name)
    set(address "${CMAKE_MATCH_1}")
    break()
  endif()
endforeach()
if(address STREQUAL "")
  message(FATAL_ERROR "Entry symbol ${ENTRY} not found in ${MAP}")
endif()

set(text "entry ${ENTRY} ${address}\n")
foreach(lib IN LISTS IMPORT_LIBRARIES)
  string(APPEND text "import_library ${lib}\n")
endforeach()
string(APPEND text "message_header ${MESSAGE_HEADER}\n")
file(WRITE "${OUTPUT}" "${text}")
