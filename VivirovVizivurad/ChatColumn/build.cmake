# The Reduce Motion preference is read from the desktop's GSettings.
pkg_check_modules(GIO REQUIRED IMPORTED_TARGET gio-2.0)
target_link_libraries(VivirovVizivurad PUBLIC PkgConfig::GIO)
