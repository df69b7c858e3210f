# What a package of Tarnwick Bridge holds beyond the program, its desktop entry and its icon,
# and how CPack makes a .deb of it (scripts/package).
include(GNUInstallDirs)

# The systemd user unit: `systemctl --user enable --now tarnwick-bridge`. It names the program
# without a folder, which systemd looks up in /usr/local/bin, /usr/bin and the like, so that
# the same unit serves a package and `cmake --install`.
install(FILES ${CMAKE_CURRENT_LIST_DIR}/tarnwick-bridge.service DESTINATION lib/systemd/user)

if(TARGET tarnwick-device)
    install(TARGETS tarnwick-device RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

# Manual pages and the changelog, compressed as Debian keeps them, and the copyright file.
find_program(TARNWICK_GZIP gzip REQUIRED)
foreach(file tarnwick-bridge.1 tarnwick-device.1 changelog)
    add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/packaging/${file}.gz
        COMMAND ${TARNWICK_GZIP} -9nc ${CMAKE_CURRENT_LIST_DIR}/${file}
                > ${CMAKE_BINARY_DIR}/packaging/${file}.gz
        DEPENDS ${CMAKE_CURRENT_LIST_DIR}/${file} VERBATIM)
    list(APPEND tarnwick_compressed ${CMAKE_BINARY_DIR}/packaging/${file}.gz)
endforeach()
add_custom_target(tarnwick_packaging_files ALL DEPENDS ${tarnwick_compressed})
install(FILES ${CMAKE_BINARY_DIR}/packaging/tarnwick-bridge.1.gz
              ${CMAKE_BINARY_DIR}/packaging/tarnwick-device.1.gz
    DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${CMAKE_BINARY_DIR}/packaging/changelog.gz ${CMAKE_CURRENT_LIST_DIR}/copyright
    DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/tarnwick-bridge)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tarnwick-bridge)
set(CPACK_PACKAGE_VENDOR "Tarnwick")
set(CPACK_PACKAGE_CONTACT "Tarnwick Bridge developers <bridge@tarnwick.app>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "lets paired devices drive the Codex CLI on this computer")
set(CPACK_PACKAGE_DESCRIPTION
    "Tarnwick Bridge runs the Codex CLI's app-server on this computer and lets\n\
phones, tablets and other computers on the local network that the user\n\
paired call it over TLS. It runs with a window, in a terminal, or as a\n\
systemd user service, and comes with tarnwick-device, the device side on\n\
the command line.")
set(CPACK_DEBIAN_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The window's QML modules are loaded at run time, which dpkg-shlibdeps cannot see.
set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "qml6-module-qtqml, qml6-module-qtqml-workerscript, qml6-module-qtquick, qml6-module-qtquick-controls, qml6-module-qtquick-layouts, qml6-module-qtquick-templates, qml6-module-qtquick-window, qml6-module-qtquick-shapes, avahi-daemon")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "gnome-keyring, fonts-material-design-icons-iconfont")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# A package installs under /usr, whatever prefix the build was configured with.
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
include(CPack)
