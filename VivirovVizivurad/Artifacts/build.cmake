# Artifact cards render in Qt WebEngine; the page reports its height over a
# web channel. The four script runtimes of the pinned npm packages are app
# resources under ":/artifact-runtime/", staged next to each page.
find_package(Qt6 REQUIRED COMPONENTS WebEngineWidgets WebChannel)
set(npm_root ${PROJECT_SOURCE_DIR}/third_party/npm)
vivirov_write_qrc(${CMAKE_CURRENT_BINARY_DIR}/artifact_runtime.qrc "/artifact-runtime"
  "Run scripts/bootstrap (or scripts/fetch-npm-deps) to fetch the artifact runtimes."
  "react.production.min.js=${npm_root}/react/umd/react.production.min.js"
  "react-dom.production.min.js=${npm_root}/react-dom/umd/react-dom.production.min.js"
  "babel.min.js=${npm_root}/@babel/standalone/babel.min.js"
  "mermaid.min.js=${npm_root}/mermaid/dist/mermaid.min.js")
# Several megabytes of script: compiled straight to an object, not to C++ arrays.
qt_add_big_resources(runtime_objects ${CMAKE_CURRENT_BINARY_DIR}/artifact_runtime.qrc)
target_sources(VivirovVizivurad PRIVATE ${runtime_objects})
target_link_libraries(VivirovVizivurad PUBLIC Qt6::WebEngineWidgets Qt6::WebChannel)
