vintrop_test(test_net LIBS net testfixtures SOURCES test_psock.cpp qtmain.cpp)
