# tavrin_add_test(NAME <target> LABELS <unit|integration|gui...> SOURCES <...> LIBS <...>)
# Builds one GoogleTest executable and registers each of its cases with CTest
# under the given labels, so `ctest -L unit` picks a suite.
function(tavrin_add_test)
    cmake_parse_arguments(T "" "NAME;TIMEOUT" "LABELS;SOURCES;LIBS" ${ARGN})
    if(NOT T_TIMEOUT)
        set(T_TIMEOUT 120)
    endif()
    add_executable(${T_NAME} ${T_SOURCES})
    target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} tavrin_test_support GTest::gmock GTest::gtest_main)
    gtest_discover_tests(${T_NAME}
        DISCOVERY_MODE PRE_TEST
        PROPERTIES LABELS "${T_LABELS}" TIMEOUT ${T_TIMEOUT})
endfunction()
