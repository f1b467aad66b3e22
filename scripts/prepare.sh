# Shared by scripts/run and scripts/test (sourced, not run): installs the
# Debian packages the build and the tests need, then configures and builds.

set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="$ROOT/build"

# Everything the build, the tests and the benchmarks use.
PACKAGES=(
  cmake ninja-build g++ pkg-config
  libgtest-dev libbenchmark-dev
  python3-dev python3-numpy python3-pytest python3-scipy
  python3-tifffile python3-tqdm python3-matplotlib python3-distributed python3-skimage python3-opencv
  python3-venv python3-pip python3-setuptools python3-wheel python3-sphinx
)

install_missing_packages() {
  local missing=() package
  for package in "${PACKAGES[@]}"; do
    if [ "$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)" != "install ok installed" ]; then
      missing+=("$package")
    fi
  done
  [ ${#missing[@]} -eq 0 ] && return 0

  echo "Installing: ${missing[*]}"
  local sudo=()
  if [ "$(id -u)" -ne 0 ]; then
    command -v sudo >/dev/null || { echo "Missing packages and no sudo: ${missing[*]}" >&2; exit 1; }
    sudo=(sudo)
  fi
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
}

configure_and_build() {
  cmake -S "$ROOT" -B "$BUILD" -G Ninja
  # Two jobs: the machines this runs on are small and often shared.
  cmake --build "$BUILD" -j2
}

install_missing_packages
configure_and_build
