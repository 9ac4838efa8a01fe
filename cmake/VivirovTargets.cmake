# Every target collects its sources by folder, so adding a file to an area
# needs no edit here.
function(vivirov_glob out)
  file(GLOB_RECURSE found CONFIGURE_DEPENDS ${ARGN})
  set(${out} ${found} PARENT_SCOPE)
endfunction()

# Writes a Qt resource file listing FILES, each "alias=path", under PREFIX,
# failing the configure with HINT when a path is missing.
function(vivirov_write_qrc out prefix hint)
  set(qrc "<RCC><qresource prefix=\"${prefix}\">\n")
  foreach(entry ${ARGN})
    string(REGEX MATCH "^([^=]+)=(.+)$" _ "${entry}")
    if(NOT EXISTS ${CMAKE_MATCH_2})
      message(FATAL_ERROR "${CMAKE_MATCH_2} is missing. ${hint}")
    endif()
    string(APPEND qrc "  <file alias=\"${CMAKE_MATCH_1}\">${CMAKE_MATCH_2}</file>\n")
  endforeach()
  string(APPEND qrc "</qresource></RCC>\n")
  file(CONFIGURE OUTPUT ${out} CONTENT "${qrc}")
endfunction()
