# Tests beyond the GoogleTest programs: the public header as C, the shared
# library's exports, the command-line program and real clients.

add_executable(test_c_api ${CMAKE_CURRENT_SOURCE_DIR}/exports/c_api.c)
set_target_properties(test_c_api PROPERTIES C_STANDARD 99 C_STANDARD_REQUIRED ON C_EXTENSIONS OFF)
target_compile_options(test_c_api PRIVATE -pedantic-errors -Werror)
target_include_directories(test_c_api PRIVATE ${CMAKE_SOURCE_DIR}/include)
target_link_libraries(test_c_api PRIVATE vlsmb2s)
add_test(NAME c_api COMMAND test_c_api)

add_test(NAME exported_symbols
  COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/exports/exported_symbols.sh $<TARGET_FILE:vlsmb2s>)

set(VL2_PY /usr/bin/python3)
if(TARGET vlsmb2s_cli)
  add_test(NAME cli COMMAND ${VL2_PY} ${CMAKE_CURRENT_SOURCE_DIR}/cli/test_cli.py $<TARGET_FILE:vlsmb2s_cli>)
  add_test(NAME cli_service
    COMMAND ${VL2_PY} ${CMAKE_CURRENT_SOURCE_DIR}/cli/test_service.py $<TARGET_FILE:vlsmb2s_cli>)
  add_test(NAME e2e_impacket
    COMMAND ${VL2_PY} ${CMAKE_CURRENT_SOURCE_DIR}/e2e/test_impacket.py $<TARGET_FILE:vlsmb2s_cli>)
  add_test(NAME e2e_nmap
    COMMAND ${VL2_PY} ${CMAKE_CURRENT_SOURCE_DIR}/e2e/test_nmap.py $<TARGET_FILE:vlsmb2s_cli>)
  set_tests_properties(cli cli_service e2e_impacket e2e_nmap PROPERTIES TIMEOUT 600)
endif()
# A sanitized library cannot be loaded into an uninstrumented interpreter.
if(NOT VL2_SANITIZE AND NOT VL2_TSAN)
  add_test(NAME e2e_stats_ctypes
    COMMAND ${VL2_PY} ${CMAKE_CURRENT_SOURCE_DIR}/e2e/test_stats_ctypes.py $<TARGET_FILE:vlsmb2s>)
endif()
# Reading files with real clients; containment checked in-process for the counters.
if(TARGET vlsmb2s_cli)
  add_test(NAME e2e_files_smbclient
    COMMAND ${VL2_PY} ${CMAKE_CURRENT_SOURCE_DIR}/e2e/test_files_smbclient.py $<TARGET_FILE:vlsmb2s_cli>)
  set_tests_properties(e2e_files_smbclient PROPERTIES TIMEOUT 600)
endif()
if(NOT VL2_SANITIZE AND NOT VL2_TSAN)
  add_test(NAME e2e_files_containment
    COMMAND ${VL2_PY} ${CMAKE_CURRENT_SOURCE_DIR}/e2e/test_files_containment.py $<TARGET_FILE:vlsmb2s>)
  set_tests_properties(e2e_files_containment PROPERTIES TIMEOUT 600)
endif()
# The network tests drive the server with the engine tests' request builders.
if(TARGET test_net)
  target_sources(test_net PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/sess/harness.cpp)
endif()
# Share enumeration and folder listings with real clients.
if(TARGET vlsmb2s_cli)
  add_test(NAME e2e_listing
    COMMAND ${VL2_PY} ${CMAKE_CURRENT_SOURCE_DIR}/e2e/test_listing.py $<TARGET_FILE:vlsmb2s_cli>)
  set_tests_properties(e2e_listing PROPERTIES TIMEOUT 900)
endif()
# Hostile peers and traversal attempts against the command-line server.
if(TARGET vlsmb2s_cli)
  add_test(NAME e2e_hostile
    COMMAND ${VL2_PY} ${CMAKE_CURRENT_SOURCE_DIR}/e2e/test_hostile.py $<TARGET_FILE:vlsmb2s_cli>)
  add_test(NAME e2e_traversal
    COMMAND ${VL2_PY} ${CMAKE_CURRENT_SOURCE_DIR}/e2e/test_traversal.py $<TARGET_FILE:vlsmb2s_cli>)
  set_tests_properties(e2e_hostile e2e_traversal PROPERTIES TIMEOUT 300)
endif()
if(TARGET vlsmb2s_cli)
  add_test(NAME e2e_signed_guest
    COMMAND ${VL2_PY} ${CMAKE_CURRENT_SOURCE_DIR}/e2e/test_signed_guest.py $<TARGET_FILE:vlsmb2s_cli>)
  set_tests_properties(e2e_signed_guest PROPERTIES TIMEOUT 300)
endif()
if(TARGET vlsmb2s_cli)
  add_test(NAME e2e_logon_integrity
    COMMAND ${VL2_PY} ${CMAKE_CURRENT_SOURCE_DIR}/e2e/test_logon_integrity.py $<TARGET_FILE:vlsmb2s_cli>)
  set_tests_properties(e2e_logon_integrity PROPERTIES TIMEOUT 300)
endif()
# SMB 3.x signing, dialect range and encryption policy with smbclient and tshark.
if(TARGET vlsmb2s_cli)
  add_test(NAME e2e_smb3
    COMMAND ${VL2_PY} ${CMAKE_CURRENT_SOURCE_DIR}/e2e/test_smb3.py $<TARGET_FILE:vlsmb2s_cli>)
  set_tests_properties(e2e_smb3 PROPERTIES TIMEOUT 600)
endif()
# Encrypted SMB 3 sessions with smbclient, impacket and libsmbclient.
if(TARGET vlsmb2s_cli)
  add_test(NAME e2e_smb3_encryption
    COMMAND ${VL2_PY} ${CMAKE_CURRENT_SOURCE_DIR}/e2e/test_smb3_encryption.py $<TARGET_FILE:vlsmb2s_cli>)
  set_tests_properties(e2e_smb3_encryption PROPERTIES TIMEOUT 600)
endif()
# The Go SMB2 library as Debian packages it; the client is built offline
# into the build folder when the test runs.
if(TARGET vlsmb2s_cli)
  add_test(NAME e2e_gosmb2
    COMMAND ${VL2_PY} ${CMAKE_CURRENT_SOURCE_DIR}/e2e/test_gosmb2.py $<TARGET_FILE:vlsmb2s_cli> ${CMAKE_BINARY_DIR})
  set_tests_properties(e2e_gosmb2 PROPERTIES TIMEOUT 600)
endif()
# The unit, the installed tree and the Debian package (one extra build).
if(TARGET vlsmb2s_cli AND NOT VL2_SANITIZE AND NOT VL2_TSAN)
  add_test(NAME packaging COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/packaging/test_packaging.sh ${CMAKE_SOURCE_DIR})
  set_tests_properties(packaging PROPERTIES TIMEOUT 600 RUN_SERIAL TRUE)
endif()
