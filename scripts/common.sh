# Shared by the scripts: Debian packages the build needs, and the build itself.
# shellcheck shell=bash

VEXO_PACKAGES=(cmake g++ make pkg-config libgtest-dev libgmock-dev libbenchmark-dev
               libflatbuffers-dev flatbuffers-compiler libssl-dev nlohmann-json3-dev libcli11-dev python3 python3-numpy
               libsentencepiece-dev sentencepiece libcpp-httplib-dev clang curl
               libpcre2-dev libutf8proc-dev nodejs
               chromium chromium-driver python3-selenium haproxy nginx prometheus python3-yaml
               python3-venv python3-setuptools python3-wheel python3-build mypy dpkg-dev lintian)

# Installs the missing packages when running as root; otherwise names the
# one command that would install them and fails.
ensure_packages() {
  local missing=()
  local pkg
  for pkg in "${VEXO_PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
  done
  # Some builds of Node.js bring npm along (and conflict with Debian's npm).
  command -v npm >/dev/null || missing+=(npm)
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$(id -u)" -eq 0 ]; then
    echo "Installing ${missing[*]}"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}"
  else
    echo "Missing packages. Install them with:"
    echo "  sudo apt-get install -y ${missing[*]}"
    exit 1
  fi
}

# build <dir> [cmake options...]: configures and builds the tree into <dir>.
build() {
  local dir=$1
  shift
  cmake -S . -B "$dir" "$@" >/dev/null
  cmake --build "$dir" -j "$(nproc)"
}
