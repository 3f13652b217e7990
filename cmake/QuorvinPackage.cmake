# The Debian package (cpack -G DEB in a build folder): the three programs, the desktop entry,
# the icons, the AppStream metainfo, the man pages and the documents. Dependencies come from the
# shared libraries the programs link (dpkg-shlibdeps), plus the ffmpeg program they run and the
# Qt plugins the window loads at run time rather than links: the platform plugins (a display
# connection) and the SVG plugins (the window icon).
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quorvin)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Batch audio converter with loudness normalization")
set(CPACK_PACKAGE_DESCRIPTION
  "Quorvin converts lists of audio files, and the sound tracks of video files, into WAV, MP3, AAC, MP4, M4A or WMA, with ReplayGain 1.0 loudness measurement and normalization. It comes as a Qt window and as the command-line program quorvin-cli.")
set(CPACK_PACKAGE_CONTACT "Quorvin developers")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Quorvin developers")
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "ffmpeg, qt6-qpa-plugins, libqt6svg6, xdg-utils")
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR})
include(CPack)
