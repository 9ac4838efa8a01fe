# The C, JavaScript and Python tree-sitter grammars, compiled from the pinned
# generated sources that scripts/bootstrap fetches into third_party/npm. Each
# grammar is compiled against its own bundled tree_sitter/parser.h, since the
# generated code must match the header it was generated with.
set(VIVIROV_TS_GRAMMARS c javascript python)
set(VIVIROV_TS_SOURCES)
foreach(grammar ${VIVIROV_TS_GRAMMARS})
  set(src_dir ${PROJECT_SOURCE_DIR}/third_party/npm/tree-sitter-${grammar}/src)
  if(NOT EXISTS ${src_dir}/parser.c)
    message(FATAL_ERROR
      "tree-sitter-${grammar} sources are missing (${src_dir}/parser.c). "
      "Run scripts/bootstrap (or scripts/fetch-npm-deps) first.")
  endif()
  set(grammar_sources ${src_dir}/parser.c)
  if(EXISTS ${src_dir}/scanner.c)
    list(APPEND grammar_sources ${src_dir}/scanner.c)
  endif()
  set_source_files_properties(${grammar_sources} PROPERTIES
    LANGUAGE C
    INCLUDE_DIRECTORIES ${src_dir})
  list(APPEND VIVIROV_TS_SOURCES ${grammar_sources})
endforeach()
add_library(vivirov_ts_grammars STATIC ${VIVIROV_TS_SOURCES})
set_target_properties(vivirov_ts_grammars PROPERTIES C_STANDARD 11)
# Generated code: its warnings are not ours to fix.
target_compile_options(vivirov_ts_grammars PRIVATE -w)
target_link_libraries(VivirovKit PUBLIC vivirov_ts_grammars)
