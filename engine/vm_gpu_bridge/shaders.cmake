# GPU kernels: every resources/shaders/*.comp is compiled by glslc to SPIR-V at
# build time (a compile error fails the build) and embedded as a C array; the
# generated gpu_shader_table.cpp lists them by kernel name.
find_package(Vulkan REQUIRED)
find_program(GLSLC glslc REQUIRED)

set(shader_dir ${PROJECT_SOURCE_DIR}/resources/shaders)
set(shader_out ${CMAKE_CURRENT_BINARY_DIR}/shaders)
file(MAKE_DIRECTORY ${shader_out})
vivirov_glob(shader_sources ${shader_dir}/*.comp)
list(SORT shader_sources)

set(shader_incs "")
set(table_arrays "")
set(table_rows "")
foreach(src ${shader_sources})
  get_filename_component(name ${src} NAME_WE)
  set(inc ${shader_out}/${name}.spv.inc)
  add_custom_command(
    OUTPUT ${inc}
    COMMAND ${GLSLC} --target-env=vulkan1.2 -O -Werror -I ${shader_dir} -mfmt=c
            -MD -MF ${inc}.d -o ${inc} ${src}
    DEPENDS ${src}
    DEPFILE ${inc}.d
    COMMENT "glslc ${name}.comp"
    VERBATIM)
  list(APPEND shader_incs ${inc})
  string(APPEND table_arrays "const uint32_t k_${name}[] =\n#include \"shaders/${name}.spv.inc\"\n;\n")
  string(APPEND table_rows "    {\"${name}\", k_${name}, sizeof(k_${name}) / 4},\n")
endforeach()

set(shader_table ${CMAKE_CURRENT_BINARY_DIR}/gpu_shader_table.cpp)
file(CONFIGURE OUTPUT ${shader_table} CONTENT
"// Generated from resources/shaders by engine/vm_gpu_bridge/shaders.cmake.
#include \"vm_gpu_bridge/shader_library.h\"

namespace vmgpu {
namespace {
${table_arrays}
const EmbeddedModule k_modules[] = {
${table_rows}};
} // namespace

std::span<const EmbeddedModule> embedded_modules() { return k_modules; }

} // namespace vmgpu
" @ONLY)
set_source_files_properties(${shader_table} PROPERTIES OBJECT_DEPENDS "${shader_incs}")
target_sources(vivirov_engine PRIVATE ${shader_table})
target_include_directories(vivirov_engine PRIVATE ${CMAKE_CURRENT_BINARY_DIR})
target_link_libraries(vivirov_engine PUBLIC Vulkan::Vulkan)

# Vulkan structures are written as `T info{sType}` with the other fields zeroed.
vivirov_glob(bridge_sources ${CMAKE_CURRENT_SOURCE_DIR}/vm_gpu_bridge/*.cpp)
set_source_files_properties(${bridge_sources} PROPERTIES COMPILE_OPTIONS -Wno-missing-field-initializers)
