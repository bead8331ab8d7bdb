# SMTP benchmark programs: sessions in a row, one large attachment, and the cost of a wait.
find_package(Threads REQUIRED)

add_executable(smtp_sessions smtp_sessions.cpp)
target_link_libraries(smtp_sessions PRIVATE mail net platform)

add_executable(smtp_attach smtp_attach.cpp)
target_link_libraries(smtp_attach PRIVATE mail net platform)

add_executable(wait_cpu wait_cpu.cpp)
target_link_libraries(wait_cpu PRIVATE net platform Threads::Threads)
