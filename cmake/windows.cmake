# Windows build (MinGW-w64 cross build, or Visual Studio): the product and the
# tests that run against the real Win32 layer.
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
set(CMAKE_LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)

if(MINGW)
    # Static runtime: talvex.exe and its two libraries are all a Windows
    # machine needs.
    set(TALVEX_STATIC_LINK -static -static-libgcc -static-libstdc++)
    # GNU ld stamps every PE file it links with the time of the link (in the
    # file header and the export directory).  Without the stamps two builds
    # of one commit give the same bytes, so that a release can be rebuilt and
    # compared; Windows' loader looks at the stamp only for bound imports,
    # which MinGW does not make.
    add_link_options(-Wl,--no-insert-timestamp)
endif()

file(GLOB TALVEX_WIN32_SOURCES CONFIGURE_DEPENDS src/platform/win32/*.cpp)
add_library(talvex_win32 STATIC ${TALVEX_WIN32_SOURCES})
target_include_directories(talvex_win32 PUBLIC src)
target_link_libraries(talvex_win32 PUBLIC advapi32)

set(TALVEX_EXE_RESOURCES)
if(EXISTS ${CMAKE_SOURCE_DIR}/res/talvex.rc)
    set(TALVEX_EXE_RESOURCES ${CMAKE_SOURCE_DIR}/res/talvex.rc)
endif()
add_executable(talvex src/front/main.cpp ${TALVEX_EXE_RESOURCES})
target_link_libraries(talvex PRIVATE talvex_logic talvex_win32)
target_link_options(talvex PRIVATE ${TALVEX_STATIC_LINK})

if(EXISTS ${CMAKE_SOURCE_DIR}/res/CMakeLists.txt)
    add_subdirectory(res)
endif()

install(TARGETS talvex RUNTIME DESTINATION .)

# The stand-in JVM that the demo, the benchmarks and the end-to-end scenarios
# run as the service's launcher and container.
add_subdirectory(tools/fakejava)

if(TALVEX_TESTS)
    enable_testing()
    # End-to-end scenarios: each script drives the real talvex.exe under Wine.
    file(GLOB TALVEX_E2E_SCRIPTS CONFIGURE_DEPENDS tests/e2e/*.sh)
    list(FILTER TALVEX_E2E_SCRIPTS EXCLUDE REGEX ".*/lib\\.sh$")
    foreach(script ${TALVEX_E2E_SCRIPTS})
        get_filename_component(name ${script} NAME_WE)
        add_test(NAME e2e_${name} COMMAND bash ${script} ${CMAKE_BINARY_DIR}/bin)
        set_tests_properties(e2e_${name} PROPERTIES TIMEOUT 300 RUN_SERIAL TRUE)
    endforeach()
endif()
