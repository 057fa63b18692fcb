# Native build: the logic against the in-memory platform, for unit tests.
if(TALVEX_SANITIZE)
    set(TALVEX_SAN_FLAGS -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=all)
    target_compile_options(talvex_logic PRIVATE ${TALVEX_SAN_FLAGS})
endif()

if(TALVEX_TESTS)
    enable_testing()
    find_package(GTest REQUIRED)
    include(GoogleTest)

    # The in-memory platform, and the models that the tests and the fuzz
    # target run against it.
    file(GLOB TALVEX_FAKE_SOURCES CONFIGURE_DEPENDS tests/fake/*.cpp tests/model/*.cpp)
    # The calls it can fail, from its own call sites: a fault armed for any
    # other name is refused.
    file(GLOB TALVEX_FAKE_CALL_SITES CONFIGURE_DEPENDS tests/fake/*.cpp)
    add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/generated/fake_calls.inc
        COMMAND ${CMAKE_COMMAND} -DOUT=${CMAKE_BINARY_DIR}/generated/fake_calls.inc
                -DDIR=${CMAKE_SOURCE_DIR}/tests/fake -P ${CMAKE_SOURCE_DIR}/cmake/fake_calls.cmake
        DEPENDS ${TALVEX_FAKE_CALL_SITES} ${CMAKE_SOURCE_DIR}/cmake/fake_calls.cmake)
    add_library(talvex_fake STATIC ${TALVEX_FAKE_SOURCES} ${CMAKE_BINARY_DIR}/generated/fake_calls.inc)
    target_include_directories(talvex_fake PUBLIC src tests PRIVATE ${CMAKE_BINARY_DIR}/generated)
    target_link_libraries(talvex_fake PUBLIC talvex_logic)

    file(GLOB TALVEX_UNIT_SOURCES CONFIGURE_DEPENDS tests/unit/*.cpp)
    add_executable(talvex_unit ${TALVEX_UNIT_SOURCES})
    # The logic and the fake refer to each other (the logic calls the platform,
    # the fake's helpers call back into nothing of the logic), so link the
    # logic first and the fake after it.
    target_link_libraries(talvex_unit PRIVATE talvex_logic talvex_fake GTest::gtest GTest::gtest_main pthread)
    target_include_directories(talvex_unit PRIVATE src tests)
    # The tests compare the usage text with the one the README shows.
    target_compile_definitions(talvex_unit PRIVATE TALVEX_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
    if(TALVEX_SANITIZE)
        target_compile_options(talvex_fake PRIVATE ${TALVEX_SAN_FLAGS})
        target_compile_options(talvex_unit PRIVATE ${TALVEX_SAN_FLAGS})
        target_link_options(talvex_unit PRIVATE ${TALVEX_SAN_FLAGS})
    endif()
    gtest_discover_tests(talvex_unit DISCOVERY_TIMEOUT 60)

    # The bench's own program, on recorded samples (standard library only).
    find_package(Python3 REQUIRED COMPONENTS Interpreter)
    add_test(NAME bench_figures COMMAND Python3::Interpreter -B ${CMAKE_SOURCE_DIR}/tests/bench/figures_test.py)
endif()
