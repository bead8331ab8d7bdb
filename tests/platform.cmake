# tests of the platform library
vintrop_test(test_platform LIBS platform GTest::gtest_main SOURCES test_registry.cpp)
vintrop_test(test_ext LIBS platform GTest::gtest_main
    SOURCES test_ext.cpp ${CMAKE_SOURCE_DIR}/app/ext.cpp)
