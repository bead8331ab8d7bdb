# tests of the codec library
vintrop_test(test_codec LIBS codec platform GTest::gtest_main SOURCES test_nmuue.cpp test_nms_stream.cpp)
