# The existing unit tests that need no Windows: each also runs under Wine in
# its own suite (tests/<area>/CMakeLists.txt).
set(ZK_PORTABLE_TESTS
    ${ZK_ROOT}/tests/channel/wire_format_test.cpp
    ${ZK_ROOT}/tests/service/key_file_test.cpp
    ${ZK_ROOT}/tests/service/legacy_rsa_blob_test.cpp
    ${ZK_ROOT}/tests/service/service_args_test.cpp
    ${ZK_ROOT}/tests/tool/pem_test.cpp
    ${ZK_ROOT}/tests/tool/tool_args_test.cpp)
