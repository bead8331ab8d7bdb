# Shared test fixtures: the scripted SMTP server and the real SMTP server (python3-aiosmtpd).
find_package(Threads REQUIRED)
add_library(testfixtures STATIC smtpserver.cpp realsmtp.cpp)
target_include_directories(testfixtures PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(testfixtures PUBLIC Threads::Threads)
# The real server's script is found by its place in the source tree, not the working directory.
target_compile_definitions(testfixtures PRIVATE VINTROP_TESTS_DIR="${CMAKE_CURRENT_SOURCE_DIR}")
set_target_properties(testfixtures PROPERTIES AUTOMOC OFF)

vintrop_test(test_fixtures LIBS testfixtures GTest::gtest_main SOURCES test_fixtures.cpp)
set_target_properties(test_fixtures PROPERTIES AUTOMOC OFF)
