# Revealing a cited file goes through the file manager's D-Bus interface.
find_package(Qt6 REQUIRED COMPONENTS DBus)
target_link_libraries(VivirovVizivurad PUBLIC Qt6::DBus)
