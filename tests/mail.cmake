vintrop_test(test_mail LIBS mail testfixtures SOURCES test_nmsmtp.cpp qtmain.cpp)
