# tests/capi/ynet-c-echo.c against this build, so that the suite's
# sanitizers cover the C interface: its bad-argument table and echo
# exchange with ynet-echod, directly and through microsocks (run-c-echo.sh).
# Included by tests/CMakeLists.txt for native builds.
enable_language(C)
add_executable(ynet-c-echo ${CMAKE_CURRENT_LIST_DIR}/ynet-c-echo.c)
set_target_properties(ynet-c-echo PROPERTIES C_STANDARD 99 C_STANDARD_REQUIRED ON C_EXTENSIONS OFF)
target_compile_options(ynet-c-echo PRIVATE -pedantic)
target_link_libraries(ynet-c-echo PRIVATE YonderNetC Threads::Threads)
add_test(NAME CInterfaceEcho
         COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/run-c-echo.sh $<TARGET_FILE:ynet-echod> $<TARGET_FILE:ynet-c-echo>)
set_tests_properties(CInterfaceEcho PROPERTIES TIMEOUT 120)
