vintrop_test(test_net LIBS net testfixtures Qt6::Widgets SOURCES test_psock.cpp qtmain.cpp)
