# One static library per source folder. Sources are collected from the folder (and its
# subfolders), so adding a file needs no CMake edit; the dependencies between layers are
# declared once in src/CMakeLists.txt.
function(tickvane_layer name dir)
    cmake_parse_arguments(L "" "" "DEPS" ${ARGN})
    file(GLOB_RECURSE srcs CONFIGURE_DEPENDS
        "${dir}/*.cpp" "${dir}/*.h" "${dir}/*.ui" "${dir}/*.qrc")
    # main.cpp belongs to the executable, not to a library.
    list(FILTER srcs EXCLUDE REGEX "/main\\.cpp$")
    if(NOT srcs)
        set(stub "${CMAKE_CURRENT_BINARY_DIR}/${name}_empty.cpp")
        file(WRITE "${stub}" "// ${name} has no sources yet\n")
        set(srcs "${stub}")
    endif()
    add_library(${name} STATIC ${srcs})
    # The moc step does not notice files that a re-glob added to an existing build folder, which
    # leaves a stale, empty mocs_compilation.cpp (missing vtables at link time). The step tracks
    # the target's headers, so a generated header naming every source, rewritten only when that
    # set changes, makes it run again exactly then.
    set(listfile "${CMAKE_CURRENT_BINARY_DIR}/${name}_sources.h")
    string(REPLACE ";" "\n// " listing "${srcs}")
    file(CONFIGURE OUTPUT "${listfile}" CONTENT "// ${listing}\n")
    target_sources(${name} PRIVATE "${listfile}")
    target_include_directories(${name} PUBLIC "${PROJECT_SOURCE_DIR}/src")
    target_link_libraries(${name} PUBLIC ${L_DEPS})
endfunction()

# Every tst_*.cpp below a folder becomes one QtTest executable registered with CTest.
# Widget tests run offscreen; LSAN_OPTIONS carries the suppressions for Qt's offscreen plugin.
function(tickvane_tests dir)
    cmake_parse_arguments(T "" "" "LIBS" ${ARGN})
    file(GLOB_RECURSE tests CONFIGURE_DEPENDS "${dir}/tst_*.cpp")
    foreach(src IN LISTS tests)
        get_filename_component(name "${src}" NAME_WE)
        file(RELATIVE_PATH rel "${PROJECT_SOURCE_DIR}/tests" "${src}")
        get_filename_component(reldir "${rel}" DIRECTORY)
        string(REPLACE "/" "_" prefix "${reldir}")
        if(prefix)
            set(target "${prefix}_${name}")
        else()
            set(target "${name}")
        endif()
        add_executable(${target} "${src}")
        target_link_libraries(${target} PRIVATE ${T_LIBS})
        add_test(NAME ${target} COMMAND ${target})
        set_tests_properties(${target} PROPERTIES
            TIMEOUT 240
            ENVIRONMENT "QT_QPA_PLATFORM=offscreen;LSAN_OPTIONS=suppressions=${PROJECT_SOURCE_DIR}/tests/lsan.supp;ASAN_OPTIONS=detect_leaks=1;UBSAN_OPTIONS=print_stacktrace=1;TICKVANE_TOOLS_DIR=${PROJECT_BINARY_DIR}/tools")
    endforeach()
endfunction()
