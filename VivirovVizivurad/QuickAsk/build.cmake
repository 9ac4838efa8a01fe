# The Quick Ask key is watched on the whole X11 desktop through XInput 2.
pkg_check_modules(QUICKASK_X11 REQUIRED IMPORTED_TARGET x11 xi)
target_link_libraries(VivirovVizivurad PUBLIC PkgConfig::QUICKASK_X11)
# Elsewhere (Wayland) the desktop portal's global shortcuts carry it, over D-Bus.
find_package(Qt6 REQUIRED COMPONENTS DBus)
target_link_libraries(VivirovVizivurad PUBLIC Qt6::DBus)
