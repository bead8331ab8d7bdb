vintrop_test(test_mail LIBS mail testfixtures Qt6::Widgets
    SOURCES test_nmsmtp.cpp test_nmextstr.cpp test_faults.cpp qtmain.cpp)
target_compile_definitions(test_mail PRIVATE VINTROP_TESTS_DIR="${CMAKE_CURRENT_SOURCE_DIR}")
