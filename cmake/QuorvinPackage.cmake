# The Debian packages (cpack -G DEB in a build folder), one per installed part:
#  - quorvin-cli: the command-line converter, the AAC encoder program, their manual pages and
#    shell completion. It links Qt Core only, so a machine without a display installs no
#    window stack.
#  - quorvin: the window, its desktop entry, icons, metainfo, manual page and documents; it
#    depends on quorvin-cli (the window runs qvfaac).
# Dependencies come from the shared libraries each part links (dpkg-shlibdeps), plus the
# ffmpeg program they run and the Qt plugins the window loads at run time rather than links:
# the platform plugins (a display connection) and the SVG plugins (the window icon).
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quorvin)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Quorvin developers <developers@quorvin.org>")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Quorvin developers <developers@quorvin.org>")
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR})

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL cli gui)
set(CPACK_COMPONENTS_GROUPING IGNORE)

set(CPACK_DEBIAN_CLI_PACKAGE_NAME quorvin-cli)
set(CPACK_DEBIAN_CLI_PACKAGE_DEPENDS "ffmpeg")
set(CPACK_DEBIAN_CLI_DESCRIPTION "batch audio converter with loudness normalization (command line)
quorvin-cli converts lists of audio files, and the sound tracks of video
files, into WAV, MP3, AAC, MP4, M4A, WMA, FLAC, Opus or Ogg Vorbis. It measures
loudness with the ReplayGain 1.0 analysis or as EBU R128 integrated loudness,
with album gain, and can normalize every file towards a target. It never
overwrites a file, keeps tags and cover art, and works on several files at
once.
.
This package holds the command-line program (no display needed), the AAC
encoder program qvfaac, their manual pages and shell completion.")

set(CPACK_DEBIAN_GUI_PACKAGE_NAME quorvin)
set(CPACK_DEBIAN_GUI_PACKAGE_DEPENDS
  "quorvin-cli (= ${PROJECT_VERSION}), ffmpeg, qt6-qpa-plugins, libqt6svg6, xdg-utils")
set(CPACK_DEBIAN_GUI_DESCRIPTION "batch audio converter with loudness normalization
Quorvin converts lists of audio files, and the sound tracks of video files,
into WAV, MP3, AAC, MP4, M4A, WMA, FLAC, Opus or Ogg Vorbis. It measures
loudness with the ReplayGain 1.0 analysis or as EBU R128 integrated loudness,
with album gain, and can normalize every file towards a target. It never
overwrites a file, keeps tags and cover art, and works on several files at
once, with preview playback, progress, cancel and a log.
.
This package holds the Qt window; the command-line program is in quorvin-cli.")
include(CPack)
