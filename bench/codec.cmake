# Codec benchmark program: encodes or decodes a file through TNMUUProcessor (see README.md).
add_executable(codec_tool codec_tool.cpp)
target_link_libraries(codec_tool PRIVATE codec platform)
