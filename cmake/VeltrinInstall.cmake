# Installation in the GNU layout and the Debian package. Included at the end of the top
# CMakeLists.txt, once every program's target exists: each program is installed when it is
# part of this build.
#
#   bin/                          veltrin-ping, veltrin-ping-cli
#   libexec/veltrin-ping/         veltrin-ping-helper (cap_net_raw is given by the package)
#   share/veltrin-ping/           address.dat, help.html, example.spl
#   share/applications/           org.veltrin.VeltrinPing.desktop
#   share/icons/hicolor/          scalable SVG and PNG sizes
#   share/metainfo/               AppStream metadata
#   share/mime/packages/          the address-log type
#   share/man/man1/               veltrin-ping(1)

set(VELTRIN_APP_ID org.veltrin.VeltrinPing)
set(veltrin_res ${PROJECT_SOURCE_DIR}/resources)
set(veltrin_pkg ${PROJECT_SOURCE_DIR}/packaging/debian)
# Debian wants the documentation folder named after the package, not after the project.
set(veltrin_docdir ${CMAKE_INSTALL_DATADIR}/doc/veltrin-ping)
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

# `cmake --build --target programs` builds what a user runs, without the test programs.
add_custom_target(programs)
foreach(program veltrin-ping veltrin-ping-cli veltrin-ping-helper)
  if(TARGET ${program})
    add_dependencies(programs ${program})
  endif()
endforeach()

if(TARGET veltrin-ping)
  install(TARGETS veltrin-ping RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
if(TARGET veltrin-ping-cli)
  install(TARGETS veltrin-ping-cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
if(TARGET veltrin-ping-helper)
  install(TARGETS veltrin-ping-helper RUNTIME DESTINATION ${CMAKE_INSTALL_LIBEXECDIR}/veltrin-ping)
endif()

install(FILES ${veltrin_res}/address.dat ${veltrin_res}/help.html ${veltrin_res}/example.spl
        DESTINATION ${CMAKE_INSTALL_DATADIR}/veltrin-ping)

# Desktop integration belongs to the window program.
if(TARGET veltrin-ping)
  install(FILES ${veltrin_res}/${VELTRIN_APP_ID}.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
  install(FILES ${veltrin_res}/${VELTRIN_APP_ID}.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
  install(FILES ${veltrin_res}/veltrin-ping-mime.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/mime/packages
          RENAME veltrin-ping.xml)
  install(FILES ${veltrin_res}/icons/${VELTRIN_APP_ID}.svg
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
  foreach(size 16 24 32 48 64 128 256)
    install(FILES ${veltrin_res}/icons/${size}x${size}/${VELTRIN_APP_ID}.png
            DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps)
  endforeach()
endif()

# The man page and the Debian changelog are installed compressed, reproducibly (no name, no
# time stamp in the gzip header).
find_program(VELTRIN_GZIP gzip REQUIRED)
set(VELTRIN_DEB_VERSION ${PROJECT_VERSION}-1)
configure_file(${veltrin_pkg}/changelog.in ${PROJECT_BINARY_DIR}/packaging/changelog.Debian @ONLY)
set(veltrin_man_gz ${PROJECT_BINARY_DIR}/packaging/veltrin-ping.1.gz)
set(veltrin_changelog_gz ${PROJECT_BINARY_DIR}/packaging/changelog.Debian.gz)
add_custom_command(OUTPUT ${veltrin_man_gz}
  COMMAND ${VELTRIN_GZIP} -9nc ${veltrin_res}/man/veltrin-ping.1 > ${veltrin_man_gz}
  DEPENDS ${veltrin_res}/man/veltrin-ping.1 VERBATIM)
add_custom_command(OUTPUT ${veltrin_changelog_gz}
  COMMAND ${VELTRIN_GZIP} -9nc ${PROJECT_BINARY_DIR}/packaging/changelog.Debian > ${veltrin_changelog_gz}
  DEPENDS ${PROJECT_BINARY_DIR}/packaging/changelog.Debian VERBATIM)
add_custom_target(veltrin_docs ALL DEPENDS ${veltrin_man_gz} ${veltrin_changelog_gz})
install(FILES ${veltrin_man_gz} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
if(TARGET veltrin-ping-cli)
  # One page describes both programs.
  file(CREATE_LINK veltrin-ping.1.gz ${PROJECT_BINARY_DIR}/packaging/veltrin-ping-cli.1.gz SYMBOLIC)
  install(FILES ${PROJECT_BINARY_DIR}/packaging/veltrin-ping-cli.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()
install(FILES ${veltrin_pkg}/copyright ${veltrin_changelog_gz} DESTINATION ${veltrin_docdir})

# ---- Debian package: cpack -G DEB (see the "package" presets) --------------------------------
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME veltrin-ping)
set(CPACK_PACKAGE_VENDOR "Veltrin")
set(CPACK_PACKAGE_CONTACT "Veltrin Ping developers <ping@veltrin.org>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "desktop and console monitor of IPv4 host reachability")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# Stripped binaries: the debug-info step below moves the symbols into a -dbgsym package and
# strips what it moved (stripping earlier would leave it nothing to move).
set(CPACK_STRIP_FILES OFF)
set(CPACK_DEBIAN_DEBUGINFO_PACKAGE ON)
set(CPACK_POST_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/RepackDbgsym.cmake)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://veltrin.org/ping/")
# The synopsis is the summary above; these paragraphs become the extended description.
set(CPACK_PACKAGE_DESCRIPTION
    "Keeps a list of IPv4 hosts (addresses, host names or web addresses) and
pings them one after another, showing the time-to-live, round-trip time and
size of the latest reply of each. A detail window per host keeps loss and
timing statistics and dumps the last packet; lists and logs are saved as
text, and a report can be mailed over SMTP when the program closes.

A console mode monitors without a display and exits with a status that
scripts can test. ICMP is sent by a small packet helper that holds the only
capability (cap_net_raw).")
# Library dependencies come from dpkg-shlibdeps; setcap is needed by the maintainer script;
# libcurl and libmicrohttpd are opened when first used, so dpkg-shlibdeps cannot see them.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libcap2-bin, libsqlite3-0, libcurl4, libmicrohttpd12")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "traceroute | iputils-tracepath")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${veltrin_pkg}/postinst)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
