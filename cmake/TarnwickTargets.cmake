# Adds a static library for one layer or part of one:
# tarnwick_add_library(name SOURCES ... DEPS ...)
function(tarnwick_add_library name)
    cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
    add_library(${name} STATIC ${ARG_SOURCES})
    target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
    target_link_libraries(${name} PUBLIC ${ARG_DEPS} PRIVATE tarnwick_warnings)
endfunction()
