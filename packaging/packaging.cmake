# Install rules and the Debian package (`make package`: build/jwshow_<version>_<arch>.deb).
# CPack's DEB generator packs what these rules install: one build system for the
# program and its package, no second description of the build to keep in step, and
# dpkg-shlibdeps (CPACK_DEBIAN_PACKAGE_SHLIBDEPS) derives the library dependencies
# from the binaries themselves.
#
#   /usr/lib/jwshow/        the program and the companion side by side (the program
#                           looks for the companion in its own folder)
#   /usr/bin/jwshow         a link to the program; /usr/bin/jwshowctl
#   /usr/share/...          menu entry, icons, AppStream metadata, manual pages, copyright
#   /etc/ufw/applications.d/jwshow, /usr/lib/firewalld/services/jwshow.xml

set(JW_APP_ID org.example.jwshow) # after the help page's domain; never to change once released
set(JW_PACKAGING_DIR ${CMAKE_CURRENT_LIST_DIR})
set(JW_PACKAGING_OUT ${CMAKE_BINARY_DIR}/packaging)

install(TARGETS jwshow JWRCServer_x64 RUNTIME DESTINATION ${JW_INSTALL_PRIVATE_DIR})
install(TARGETS jwshowctl RUNTIME DESTINATION ${JW_INSTALL_BIN_DIR})
file(RELATIVE_PATH JW_LINK_TARGET /${JW_INSTALL_BIN_DIR} /${JW_INSTALL_PRIVATE_DIR}/jwshow)
install(CODE "
  set(link \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${JW_INSTALL_BIN_DIR}/jwshow\")
  message(STATUS \"Installing: \${link} -> ${JW_LINK_TARGET}\")
  file(REMOVE \"\${link}\")
  file(CREATE_LINK ${JW_LINK_TARGET} \"\${link}\" SYMBOLIC)")

install(FILES ${JW_PACKAGING_DIR}/${JW_APP_ID}.desktop DESTINATION share/applications)
install(FILES ${JW_PACKAGING_DIR}/${JW_APP_ID}.metainfo.xml DESTINATION share/metainfo)
install(FILES ${CMAKE_SOURCE_DIR}/src/resources/tray.png
        DESTINATION share/icons/hicolor/32x32/apps RENAME jwshow.png)
install(FILES ${CMAKE_SOURCE_DIR}/src/resources/icon.png
        DESTINATION share/icons/hicolor/64x64/apps RENAME jwshow.png)
# Under /etc, as ufw looks nowhere else: a conffile (packaging/conffiles).
install(FILES ${JW_PACKAGING_DIR}/ufw-jwshow DESTINATION /etc/ufw/applications.d RENAME jwshow)
install(FILES ${JW_PACKAGING_DIR}/firewalld-jwshow.xml
        DESTINATION lib/firewalld/services RENAME jwshow.xml)
install(FILES ${JW_PACKAGING_DIR}/copyright DESTINATION share/doc/jwshow)

# Manual pages and the changelog go compressed, without a time stamp in the gzip
# header, so that the same sources give the same package.
set(JW_GZ_FILES)
foreach(page jwshow jwshowctl)
  configure_file(${JW_PACKAGING_DIR}/${page}.1.in ${JW_PACKAGING_OUT}/${page}.1 @ONLY)
  list(APPEND JW_GZ_FILES ${JW_PACKAGING_OUT}/${page}.1)
endforeach()
configure_file(${JW_PACKAGING_DIR}/changelog ${JW_PACKAGING_OUT}/changelog COPYONLY)
list(APPEND JW_GZ_FILES ${JW_PACKAGING_OUT}/changelog)
set(JW_GZ_OUTPUTS)
foreach(file ${JW_GZ_FILES})
  add_custom_command(OUTPUT ${file}.gz COMMAND gzip -9nkf ${file} DEPENDS ${file} VERBATIM)
  list(APPEND JW_GZ_OUTPUTS ${file}.gz)
endforeach()
add_custom_target(jw_package_docs ALL DEPENDS ${JW_GZ_OUTPUTS})
install(FILES ${JW_PACKAGING_OUT}/jwshow.1.gz ${JW_PACKAGING_OUT}/jwshowctl.1.gz
        DESTINATION share/man/man1)
install(FILES ${JW_PACKAGING_OUT}/changelog.gz DESTINATION share/doc/jwshow)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME jwshow)
# A native package: the project packages itself, so the version is the project's
# release (not the protocol's "1.0.4.111", which phones see and which stays put).
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_CONTACT "JWShow team <jwshow@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "phone remote control for presentation computers")
# The summary comes first by itself; this is the long description after it.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Phones on the same network, or a browser page opened from the pairing QR
code, control the presentation on this computer: they show pictures and
play videos full screen, draw on whiteboards over the shown picture and move
the pointer. The program lives in the tray and lists the connected phones;
jwshowctl talks to it from the command line.")
set(CPACK_DEBIAN_PACKAGE_SECTION x11)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE https://jwshow.example.org/)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# libvlc loads its demuxers, decoders and video output as plug-ins, which no
# binary links against; the texts are Chinese.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "vlc-plugin-base, vlc-plugin-video-output")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "fonts-wqy-microhei | fonts-noto-cjk")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "ufw | firewalld")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${JW_PACKAGING_DIR}/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
set(CPACK_STRIP_FILES TRUE)
set(CPACK_SOURCE_GENERATOR "")
include(CPack)
