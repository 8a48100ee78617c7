# The Debian package, built by CPack's DEB generator from the install rules (`make package`):
# the editor, chronolith-image, both Qt image plugins, the gdk-pixbuf loader, the thumbnailer
# entry, the MIME package, the desktop entry, icon and metadata, and the manual pages.
#
# The package needs no maintainer script: Debian's gdk-pixbuf, shared-mime-info,
# hicolor-icon-theme and desktop-file-utils packages watch their folders with dpkg file
# triggers and rebuild the loader cache, the MIME database, the icon cache and the desktop
# database when a package adds or removes files there, as they do for Debian's own loader and
# icon packages.
include(GNUInstallDirs)
set(chronolith_doc_dir ${CMAKE_INSTALL_DATADIR}/doc/chronolith)
set(chronolith_changelog ${CMAKE_BINARY_DIR}/packaging/changelog.gz)
add_custom_command(OUTPUT ${chronolith_changelog}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/packaging
    COMMAND gzip -9n -c ${CMAKE_SOURCE_DIR}/packaging/changelog > ${chronolith_changelog}
    DEPENDS ${CMAKE_SOURCE_DIR}/packaging/changelog VERBATIM)
add_custom_target(chronolith_changelog ALL DEPENDS ${chronolith_changelog})
install(FILES ${CMAKE_SOURCE_DIR}/packaging/copyright ${chronolith_changelog}
    DESTINATION ${chronolith_doc_dir})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME chronolith)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Chronolith developers <chronolith@example.org>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "geological calendar editor and image format readers")
# CPack indents each line and turns an empty one into the " ." of a Debian description.
set(CPACK_PACKAGE_DESCRIPTION "Chronolith edits a geological calendar kept in INI files: the time scale
with the colours of the international chart, dated events, and the pictures
and pages shown for each period. Its windows are in French.

Its image library reads Photoshop, Paintshop Pro, PCX, SGI, Photo-CD,
Dr. Halo, RLA, Autodesk, TIFF, Targa, GIF and PNG files. The package offers
them to Qt 6 and Qt 5 programs through image plugins, to GTK programs through
a gdk-pixbuf loader, and to file managers through a thumbnailer, with MIME
types for the formats that had none; chronolith-image converts, describes
and thumbnails such files from the command line.")
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Dependencies come from the libraries the programs and plugins link (dpkg-shlibdeps).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "shared-mime-info, hicolor-icon-theme")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
include(CPack)
