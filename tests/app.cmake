vintrop_test(test_app LIBS app testfixtures SOURCES test_smtpmain.cpp test_frontend.cpp qtmain.cpp)
