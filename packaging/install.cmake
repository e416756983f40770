# Install layout and the Debian package (cpack -G DEB).
include(GNUInstallDirs)

set_target_properties(vlsmb2s PROPERTIES VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR})

# Debian keeps units in /lib/systemd/system; elsewhere they go under the prefix.
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  set(VL2_UNITDIR "/lib/systemd/system" CACHE PATH "systemd unit folder")
else()
  set(VL2_UNITDIR "${CMAKE_INSTALL_PREFIX}/lib/systemd/system" CACHE PATH "systemd unit folder")
endif()

configure_file(${CMAKE_SOURCE_DIR}/packaging/vlsmb2s.pc.in ${CMAKE_BINARY_DIR}/vlsmb2s.pc @ONLY)
# Man pages and the changelog go in compressed, without a time stamp.
foreach(f vlsmb2s.8 debian/changelog)
  get_filename_component(n ${f} NAME)
  add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/${n}.gz
    COMMAND gzip -9n -c ${CMAKE_SOURCE_DIR}/packaging/${f} > ${CMAKE_BINARY_DIR}/${n}.gz
    DEPENDS ${CMAKE_SOURCE_DIR}/packaging/${f})
endforeach()
add_custom_target(vl2_docs ALL DEPENDS ${CMAKE_BINARY_DIR}/vlsmb2s.8.gz ${CMAKE_BINARY_DIR}/changelog.gz)

if(TARGET vlsmb2s_cli)
  install(TARGETS vlsmb2s_cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
install(TARGETS vlsmb2s LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES ${CMAKE_SOURCE_DIR}/include/vlsmb2s.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${CMAKE_BINARY_DIR}/vlsmb2s.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
install(FILES ${CMAKE_BINARY_DIR}/vlsmb2s.8.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
install(FILES ${CMAKE_SOURCE_DIR}/packaging/vlsmb2s.service DESTINATION ${VL2_UNITDIR})
install(FILES ${CMAKE_SOURCE_DIR}/packaging/vlsmb2s.conf DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/vlsmb2s)
install(FILES ${CMAKE_SOURCE_DIR}/packaging/avahi/vlsmb2s.service DESTINATION ${CMAKE_INSTALL_DATADIR}/vlsmb2s/avahi)
install(FILES ${CMAKE_SOURCE_DIR}/packaging/debian/copyright ${CMAKE_BINARY_DIR}/changelog.gz
  DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_PACKAGE_NAME vlsmb2s)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "vlsmb2s developers <vlsmb2s@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "small read-only SMB2 file server")
set(CPACK_PACKAGE_DESCRIPTION "vlsmb2s publishes folders and single files read-only to SMB2 clients
(dialects 2.0.2 and 2.1) with NTLMv2 or guest logons, as a service with a
config file, reload on SIGHUP and an access log, and as a C library.")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  ${CMAKE_SOURCE_DIR}/packaging/debian/postinst ${CMAKE_SOURCE_DIR}/packaging/debian/postrm
  ${CMAKE_SOURCE_DIR}/packaging/debian/conffiles ${CMAKE_SOURCE_DIR}/packaging/debian/triggers)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
