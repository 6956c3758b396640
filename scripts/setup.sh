#!/usr/bin/env bash
# Installs what a fresh machine lacks: Debian's C/C++ libraries, a Python 3.12
# virtual environment in .venv with the Python packages. Idempotent and quiet
# when everything is already there.
set -euo pipefail
cd "$(dirname "$0")/.."

DEB_PACKAGES=(g++ make cmake libsnappy-dev libflatbuffers-dev flatbuffers-compiler libgtest-dev libsimde-dev)
missing=()
for p in "${DEB_PACKAGES[@]}"; do
  if [ "$p" = cmake ] && command -v cmake >/dev/null; then continue; fi
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing Debian packages: ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
fi

find_python312() {
  if command -v python3.12 >/dev/null 2>&1 && python3.12 --version >/dev/null 2>&1; then
    command -v python3.12; return 0
  fi
  if command -v pyenv >/dev/null 2>&1; then
    for p in "$(pyenv root)"/versions/3.12.*/bin/python3.12; do
      if [ -x "$p" ] && "$p" --version >/dev/null 2>&1; then echo "$p"; return 0; fi
    done
  fi
  for p in /usr/bin/python3.12 /usr/local/bin/python3.12; do
    if [ -x "$p" ] && "$p" --version >/dev/null 2>&1; then echo "$p"; return 0; fi
  done
  return 1
}

venv_ok() {
  [ -x .venv/bin/python ] && .venv/bin/python -c 'import sys; sys.exit(sys.version_info[:2] != (3, 12))' 2>/dev/null
}

if ! venv_ok; then
  if ! PY=$(find_python312); then
    echo "setup: no working Python 3.12 interpreter found." >&2
    echo "       Tried 'python3.12' on PATH, \$(pyenv root)/versions/3.12.*/bin/python3.12" >&2
    echo "       and /usr/bin/python3.12. Install Python 3.12 (e.g. 'pyenv install 3.12')." >&2
    exit 1
  fi
  echo "setup: creating .venv with $PY"
  rm -rf .venv
  "$PY" -m venv .venv
fi

stamp=.venv/.requirements-stamp
if [ ! -f "$stamp" ] || ! cmp -s requirements-dev.txt "$stamp"; then
  echo "setup: installing Python packages into .venv"
  .venv/bin/python -m pip install -q --upgrade pip >/dev/null 2>&1 || true
  .venv/bin/python -m pip install -q -r requirements-dev.txt
  cp requirements-dev.txt "$stamp"
fi

# Development path: the repository root, so `import morla` finds the source package
# (the default build copies the extension into it).
site=$(.venv/bin/python -c 'import sysconfig; print(sysconfig.get_paths()["purelib"])')
echo "$(pwd)" > "$site/morla-dev.pth"
