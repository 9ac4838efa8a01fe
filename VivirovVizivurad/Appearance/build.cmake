# Symbols: one SVG of the pinned icon set per symbol name, listed in
# resources/symbols/symbols.txt and compiled into the app's resources as
# ":/symbols/<name>.svg".
find_package(Qt6 REQUIRED COMPONENTS Svg)
set(icon_root ${PROJECT_SOURCE_DIR}/third_party/npm/@tabler/icons/icons)
set(symbols_list ${PROJECT_SOURCE_DIR}/resources/symbols/symbols.txt)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${symbols_list})
file(STRINGS ${symbols_list} symbol_lines REGEX "^[^#]")
set(symbol_entries)
foreach(line ${symbol_lines})
  string(REGEX MATCH "^([^ ]+) +([^ ]+)$" _ "${line}")
  list(APPEND symbol_entries "${CMAKE_MATCH_1}.svg=${icon_root}/${CMAKE_MATCH_2}.svg")
endforeach()
vivirov_write_qrc(${CMAKE_CURRENT_BINARY_DIR}/vivirov_symbols.qrc "/symbols"
  "Run scripts/bootstrap (or scripts/fetch-npm-deps) to fetch the icon set." ${symbol_entries})
qt_add_resources(symbols_sources ${CMAKE_CURRENT_BINARY_DIR}/vivirov_symbols.qrc)
target_sources(VivirovVizivurad PRIVATE ${symbols_sources})
target_link_libraries(VivirovVizivurad PUBLIC Qt6::Svg)
