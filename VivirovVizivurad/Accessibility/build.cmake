# The Accessibility operations speak AT-SPI2 through libatspi and place
# windows through the X server when the app itself will not move them. Only
# the two files that call them see their headers, so the rest of the app keeps
# its compile flags.
pkg_check_modules(ATSPI REQUIRED IMPORTED_TARGET atspi-2)
pkg_check_modules(X11 REQUIRED IMPORTED_TARGET x11)
set_source_files_properties(
  ${CMAKE_CURRENT_LIST_DIR}/AtspiBackend.cpp ${CMAKE_CURRENT_LIST_DIR}/X11WindowPlacer.cpp
  PROPERTIES INCLUDE_DIRECTORIES "${ATSPI_INCLUDE_DIRS};${X11_INCLUDE_DIRS}")
target_link_libraries(VivirovVizivurad PUBLIC ${ATSPI_LINK_LIBRARIES} ${X11_LINK_LIBRARIES})
