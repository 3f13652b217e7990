#!/usr/bin/env bash
# Installs what Quorvin needs (Debian 12 packages, through sudo when not root), builds it, and
# then starts it (run), runs every test (test), runs every test in a build with
# AddressSanitizer and UndefinedBehaviorSanitizer (test-sanitize), or runs the tests of the
# child processes, the console pipe and playback (the code with threads) in a build with
# ThreadSanitizer (test-thread), or runs the main window on a real X desktop (Xvfb with the
# Openbox window manager) driven by real input events (test-desktop), or builds the Debian
# package and checks it (package).
set -euo pipefail

mode=${1:-run}
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
jobs=$(nproc 2>/dev/null || echo 2)

packages=(build-essential cmake pkg-config
  qt6-base-dev qt6-svg-dev qt6-qpa-plugins libgl-dev fonts-dejavu-core
  libavformat-dev libavcodec-dev libavutil-dev libswresample-dev libmp3lame-dev libsdl2-dev
  libtag1-dev ffmpeg xdg-utils)
# libebur128: the reference the R128 engine's tests and benchmark compare with.
test_packages=(googletest libgtest-dev xvfb xauth libebur128-dev)
# The desktop stage: a window manager, real input events, window geometry, a screenshot and a
# sound server.
desktop_packages=(xvfb openbox xdotool x11-utils imagemagick pulseaudio)
# The tests that run more than one thread of ours: the reader thread of the console pipe and
# the audio callback, the batches that run files on several workers, and the add that probes
# files on several threads.
thread_tests=(tools_childprocess_test tools_consolepipe_test tools_toolrun_test
  tools_pipeencoder_test audio_playback_test batchrunner_test convert_batch_test loudness_batch_test
  cli_e2e_test sourceimporter_test)

install_packages() {
  local missing=() p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  ((${#missing[@]} == 0)) && return 0
  local sudo=()
  if [ "$(id -u)" -ne 0 ]; then sudo=(sudo); fi
  echo "Installing: ${missing[*]}"
  "${sudo[@]}" apt-get update
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
}

configure_and_build() {  # build folder, then extra cmake arguments
  local build=$1
  shift
  cmake -S "$root" -B "$build" "$@"
  cmake --build "$build" -j "$jobs"
}

# Checks a package's contents and dependencies: the files given after "--files" and the
# dependencies after "--depends" must be there; then lintian must find no error and no warning.
check_package() {  # deb --files path... --depends package...
  local deb=$1 listing depends path missing=0 mode=
  shift
  listing=$(dpkg-deb -c "$deb" | awk '{print $6}')
  depends=$(dpkg-deb -f "$deb" Depends)
  for path in "$@"; do
    case $path in
      --files | --depends) mode=$path ;;
      *)
        if [[ $mode == --files ]] && ! grep -qxF "$path" <<<"$listing"; then
          echo "$(basename "$deb") lacks $path" >&2
          missing=1
        elif [[ $mode == --depends ]] && ! grep -qE "(^|, )$path( |,|$)" <<<"$depends"; then
          echo "$(basename "$deb") does not depend on $path (Depends: $depends)" >&2
          missing=1
        fi
        ;;
    esac
  done
  ((missing == 0)) || return 1
  # Errors and warnings fail; informational tags are shown but pass.
  lintian --fail-on error,warning --info "$deb"
  echo "Package checked: $deb"
  echo "Depends: $depends"
}

run_tests() {  # build folder, then extra cmake arguments
  local build=$1
  shift
  configure_and_build "$build" -DCMAKE_BUILD_TYPE=Debug -DQV_WERROR=ON "$@"
  QT_QPA_PLATFORM=offscreen SDL_AUDIODRIVER=dummy \
    ctest --test-dir "$build" --output-on-failure -j "$jobs"
}

case "$mode" in
  run)
    install_packages "${packages[@]}"
    configure_and_build "$root/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQV_BUILD_TESTS=OFF
    # At its first start the program writes a working configuration when there is none.
    exec "$root/build/src/ui/quorvin"
    ;;
  test)
    install_packages "${packages[@]}" "${test_packages[@]}"
    run_tests "$root/build-test"
    ;;
  test-sanitize)
    install_packages "${packages[@]}" "${test_packages[@]}"
    export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:strict_string_checks=1
    export LSAN_OPTIONS=suppressions=$root/tests/support/lsan.supp:print_suppressions=0
    export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
    run_tests "$root/build-sanitize" -DQV_SANITIZE=ON -DQV_BUILD_BENCH=OFF
    ;;
  test-thread)
    install_packages "${packages[@]}" "${test_packages[@]}"
    build=$root/build-thread
    tsan=-fsanitize=thread
    cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Debug -DQV_WERROR=ON -DQV_BUILD_BENCH=OFF \
      -DCMAKE_C_FLAGS="$tsan" -DCMAKE_CXX_FLAGS="$tsan" \
      -DCMAKE_EXE_LINKER_FLAGS="$tsan" -DCMAKE_SHARED_LINKER_FLAGS="$tsan"
    cmake --build "$build" -j "$jobs" --target "${thread_tests[@]}"
    export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$root/tests/tools/tsan.supp"
    pattern=$(IFS='|'; echo "${thread_tests[*]}")
    # ThreadSanitizer needs the classic address-space layout on kernels with wide mmap
    # randomisation.
    QT_QPA_PLATFORM=offscreen SDL_AUDIODRIVER=dummy setarch "$(uname -m)" -R \
      ctest --test-dir "$build" --output-on-failure -j "$jobs" -R "^($pattern)\$"
    ;;
  test-desktop)
    install_packages "${packages[@]}" "${desktop_packages[@]}"
    cmake -S "$root" -B "$root/build-test" -DCMAKE_BUILD_TYPE=Debug -DQV_WERROR=ON
    cmake --build "$root/build-test" -j "$jobs" --target quorvin qvfaac
    bash "$root/scripts/desktoptest.sh" "$root/build-test"
    ;;
  package)
    install_packages "${packages[@]}" dpkg-dev file appstream desktop-file-utils lintian
    configure_and_build "$root/build-package" -DCMAKE_BUILD_TYPE=Release -DQV_BUILD_TESTS=OFF \
      -DQV_BUILD_BENCH=OFF -DCMAKE_INSTALL_PREFIX=/usr
    appstreamcli validate --no-net "$root/data/org.quorvin.Quorvin.metainfo.xml"
    desktop-file-validate "$root/data/quorvin.desktop"
    rm -f "$root"/build-package/quorvin*.deb
    (cd "$root/build-package" && cpack -G DEB)
    check_package "$root"/build-package/quorvin-cli_*.deb --files ./usr/bin/quorvin-cli \
      ./usr/bin/qvfaac ./usr/share/man/man1/quorvin-cli.1.gz ./usr/share/man/man1/qvfaac.1.gz \
      ./usr/share/bash-completion/completions/quorvin-cli \
      ./usr/share/zsh/vendor-completions/_quorvin-cli \
      ./usr/share/fish/vendor_completions.d/quorvin-cli.fish \
      ./usr/share/doc/quorvin-cli/copyright ./usr/share/doc/quorvin-cli/changelog.gz \
      --depends ffmpeg libqt6core6 libtag1v5 libmp3lame0
    # The command line needs no window stack.
    if dpkg-deb -f "$root"/build-package/quorvin-cli_*.deb Depends | grep -qE 'libqt6(gui|widgets)'; then
      echo "quorvin-cli depends on Qt's window libraries" >&2
      exit 1
    fi
    check_package "$root"/build-package/quorvin_*.deb --files ./usr/bin/quorvin \
      ./usr/share/applications/quorvin.desktop \
      ./usr/share/icons/hicolor/scalable/apps/quorvin.svg \
      ./usr/share/icons/hicolor/48x48/apps/quorvin.png \
      ./usr/share/icons/hicolor/256x256/apps/quorvin.png \
      ./usr/share/metainfo/org.quorvin.Quorvin.metainfo.xml ./usr/share/man/man1/quorvin.1.gz \
      ./usr/share/doc/quorvin/README.md ./usr/share/doc/quorvin/CHANGELOG.md \
      ./usr/share/doc/quorvin/copyright ./usr/share/doc/quorvin/changelog.gz \
      --depends quorvin-cli ffmpeg xdg-utils libqt6widgets6 libsdl2-2.0-0 qt6-qpa-plugins libqt6svg6
    ;;
  *)
    echo "usage: $0 run|test|test-sanitize|test-thread|test-desktop|package" >&2
    exit 2
    ;;
esac
