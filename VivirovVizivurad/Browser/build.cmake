# The in-app browser drives a viewless Qt WebEngine page.
find_package(Qt6 REQUIRED COMPONENTS WebEngineCore)
target_link_libraries(VivirovVizivurad PUBLIC Qt6::WebEngineCore)
