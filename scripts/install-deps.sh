#!/usr/bin/env bash
# Installs everything the agent and its tests need on a Debian 12 machine.
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive
packages=(
  build-essential cmake pkg-config ccache
  libfmt-dev libboost-dev libboost-program-options-dev liburiparser-dev
  libhiredis-dev libcurl4-openssl-dev nlohmann-json3-dev libcli11-dev help2man
  libgtest-dev libgmock-dev libbenchmark-dev
  clang clang-format libclang-rt-14-dev
  redis-server docker.io ncat e2fsprogs iproute2 busybox-static
  docker-registry apache2-utils curl procps util-linux docker-compose python3
  libsystemd-dev mmdebstrap systemd-container lintian
  protobuf-compiler protobuf-compiler-grpc libgrpc++-dev libprotobuf-dev python3-grpcio
  python3-protobuf openssl gdb jq time
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  apt-get update -q
  apt-get install -y -q "${missing[@]}"
fi
# Probes pass fractional timeouts ("-w 5.0"), which only ncat accepts.
update-alternatives --set nc /usr/bin/ncat >/dev/null
