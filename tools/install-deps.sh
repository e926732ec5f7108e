#!/usr/bin/env bash
# Installs the Debian packages that are missing for what you are about to do, and nothing more.
#
#   tools/install-deps.sh [demo] [test] [bench] [fuzz] [package]
#
# With no argument: what building and running both programs need. Each argument adds the
# packages of that purpose. Recommended packages are left out: nothing here needs them, and
# they more than double the download. Prints nothing when everything is already there.
set -eu

build=(
  g++ make cmake pkg-config                      # the tool chain
  libopencv-dev libx11-dev qtbase5-dev           # the viewer: image, window, OpenCV's toolkit
  libpng-dev                                     # scanlog render's pictures (its videos: OpenCV's FFmpeg)
  libcli11-dev zlib1g-dev libsqlite3-dev libfastcdr-dev libyaml-cpp-dev liblz4-dev libzstd-dev
  librosbag-storage-dev libsensor-msgs-dev       # scanlog's readers
  libgeometry-msgs-dev libnav-msgs-dev libtf2-msgs-dev  # the poses scanlog map reads
)
package=(dpkg-dev file)                          # building the Debian package
display=(xvfb xauth xdotool x11-utils imagemagick)  # a virtual display and pictures of windows
demo=("${display[@]}")
test=(
  googletest libgtest-dev "${display[@]}"
  ffmpeg                                        # ffprobe, which checks rendered videos
  "${package[@]}" lintian desktop-file-utils    # and checking the Debian package
)
bench=(libbenchmark-dev time "${display[@]}")
fuzz=(clang libclang-rt-dev)

packages=("${build[@]}")
for purpose in "$@"; do
  case "$purpose" in
    demo) packages+=("${demo[@]}") ;;
    test) packages+=("${test[@]}") ;;
    bench) packages+=("${bench[@]}") ;;
    fuzz) packages+=("${fuzz[@]}") ;;
    package) packages+=("${package[@]}") ;;
    *) echo "install-deps.sh: unknown purpose '$purpose' (demo, test, bench, fuzz or package)" >&2; exit 2 ;;
  esac
done

missing=()
for package in $(printf '%s\n' "${packages[@]}" | sort -u); do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

command=(apt-get install --no-install-recommends "${missing[@]}")

tellWhatToInstall() {
  echo "These packages are missing: ${missing[*]}"
  echo "Install them (as root, or ask an administrator to), then run make again:"
  echo "  sudo ${command[*]}"
  exit 1
}

# sudo may ask for the user's password, which it can only do on a terminal. Without one (a
# script, CI), a sudo that needs a password would fail, so the command is printed instead.
sudo=()
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo > /dev/null 2>&1 || tellWhatToInstall
  sudo -n true 2> /dev/null || [ -t 0 ] || tellWhatToInstall
  sudo=(sudo)
fi

echo "Installing: ${missing[*]}"
if ! "${sudo[@]}" apt-get update -qq || ! "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive "${command[@]}" -y -qq; then
  [ ${#sudo[@]} -eq 0 ] || tellWhatToInstall  # not allowed to, or a wrong password
  exit 1
fi
