# Executables that link the app export their symbols, so a native hook such as
# "ane_cabi_set_decoder" linked into them is found with dlopen(NULL)/dlsym.
target_link_options(VivirovVizivurad INTERFACE -rdynamic)
target_link_libraries(VivirovVizivurad PUBLIC ${CMAKE_DL_LIBS})

# ONNX Runtime, when the npm package that ships both its C API header and its
# Linux library was fetched beside the sources (scripts/fetch-npm-deps). The
# library is opened at run time, so the build never links it.
set(VIVIROV_ONNXRUNTIME_PACKAGE ${PROJECT_SOURCE_DIR}/third_party/npm/com.github.asus4.onnxruntime)
set(VIVIROV_ONNXRUNTIME_INCLUDE
    "${VIVIROV_ONNXRUNTIME_PACKAGE}/Plugins/iOS~/onnxruntime.xcframework/ios-arm64/onnxruntime.framework/Headers")
set(VIVIROV_ONNXRUNTIME_LIBRARY ${VIVIROV_ONNXRUNTIME_PACKAGE}/Plugins/Linux/x64/libonnxruntime.so)
if(EXISTS "${VIVIROV_ONNXRUNTIME_INCLUDE}/onnxruntime_c_api.h" AND EXISTS ${VIVIROV_ONNXRUNTIME_LIBRARY})
  set_source_files_properties(${CMAKE_CURRENT_LIST_DIR}/OnnxModelRuntime.cpp PROPERTIES
    INCLUDE_DIRECTORIES "${VIVIROV_ONNXRUNTIME_INCLUDE}"
    COMPILE_DEFINITIONS "VIVIROV_HAVE_ONNXRUNTIME;VIVIROV_ONNXRUNTIME_LIBRARY=\"${VIVIROV_ONNXRUNTIME_LIBRARY}\"")
  message(STATUS "Neural-engine helpers: ONNX Runtime from ${VIVIROV_ONNXRUNTIME_PACKAGE}")
else()
  message(STATUS "Neural-engine helpers: no ONNX Runtime; models report unavailable")
endif()
