# Sourced by scripts/wheels.sh and scripts/test_wheels.sh: find_python 3.12
# prints the interpreter of that CPython version for this machine, the
# newest pyenv install of it (~/.pyenv/versions/3.12.*) or else python3.12 on
# PATH, when it is that version and has venv; it fails when there is none.
find_python() {
  local version="$1" candidate
  for candidate in $(ls -d "$HOME"/.pyenv/versions/"$version".*/bin/python"$version" 2>/dev/null | sort -V -r) \
    "$(command -v "python$version" || true)"; do
    if [ -n "$candidate" ] && [ -x "$candidate" ] \
      && "$candidate" -c "import sys; sys.exit(sys.version_info[:2] != (${version%%.*}, ${version#*.}))" 2>/dev/null \
      && "$candidate" -c "import venv, ensurepip" 2>/dev/null; then
      echo "$candidate"
      return 0
    fi
  done
  return 1
}
