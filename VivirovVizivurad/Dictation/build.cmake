# Dictation: microphone audio through Qt Multimedia, recognised on this
# machine by PocketSphinx with its US English model.
find_package(Qt6 REQUIRED COMPONENTS Multimedia)
pkg_check_modules(POCKETSPHINX REQUIRED pocketsphinx)
pkg_get_variable(POCKETSPHINX_MODELDIR pocketsphinx modeldir)
# Debian's pkg-config file names an include folder that does not exist; keep
# those that do, and only for the one file that includes the library.
set(pocketsphinx_includes)
foreach(dir ${POCKETSPHINX_INCLUDE_DIRS})
  if(EXISTS ${dir})
    list(APPEND pocketsphinx_includes ${dir})
  endif()
endforeach()
set_source_files_properties(${CMAKE_CURRENT_LIST_DIR}/PocketSphinxRecognizer.cpp PROPERTIES
  INCLUDE_DIRECTORIES "${pocketsphinx_includes}"
  COMPILE_DEFINITIONS "VIVIROV_POCKETSPHINX_MODELDIR=\"${POCKETSPHINX_MODELDIR}\"")
target_link_libraries(VivirovVizivurad PUBLIC Qt6::Multimedia ${POCKETSPHINX_LINK_LIBRARIES})
