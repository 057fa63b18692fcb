# Windows build (MinGW-w64 cross build, or Visual Studio): the product and the
# tests that run against the real Win32 layer.
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
set(CMAKE_LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)

if(MINGW)
    # Static runtime: talvex.exe and its two libraries are all a Windows
    # machine needs.
    set(TALVEX_STATIC_LINK -static -static-libgcc -static-libstdc++)
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

if(TALVEX_TESTS)
    enable_testing()
    if(EXISTS ${CMAKE_SOURCE_DIR}/tests/fakejava/CMakeLists.txt)
        add_subdirectory(tests/fakejava)
    endif()

    # GoogleTest from the sources Debian's googletest package installs.
    set(TALVEX_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources")
    set(gtest_disable_pthreads ON CACHE BOOL "" FORCE)
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
    add_subdirectory(${TALVEX_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

    file(GLOB TALVEX_WIN_TEST_SOURCES CONFIGURE_DEPENDS tests/win/*.cpp)
    if(TALVEX_WIN_TEST_SOURCES)
        add_executable(talvex_win_tests ${TALVEX_WIN_TEST_SOURCES})
        target_link_libraries(talvex_win_tests PRIVATE talvex_logic talvex_win32 gtest gtest_main)
        target_include_directories(talvex_win_tests PRIVATE src tests)
        target_link_options(talvex_win_tests PRIVATE ${TALVEX_STATIC_LINK})
        add_test(NAME win_layer COMMAND talvex_win_tests)
        set_tests_properties(win_layer PROPERTIES TIMEOUT 300)
    endif()

    # End-to-end scenarios: each script drives the real talvex.exe under Wine.
    file(GLOB TALVEX_E2E_SCRIPTS CONFIGURE_DEPENDS tests/e2e/*.sh)
    list(FILTER TALVEX_E2E_SCRIPTS EXCLUDE REGEX ".*/lib\\.sh$")
    foreach(script ${TALVEX_E2E_SCRIPTS})
        get_filename_component(name ${script} NAME_WE)
        add_test(NAME e2e_${name} COMMAND bash ${script} ${CMAKE_BINARY_DIR}/bin)
        set_tests_properties(e2e_${name} PROPERTIES TIMEOUT 300 RUN_SERIAL TRUE)
    endforeach()
endif()
