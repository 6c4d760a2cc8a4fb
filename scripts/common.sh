# Shared by scripts/demo and scripts/test: package installation and stage timing.
# Source it from the repository root.

QUILLON_ROOT=$(pwd)
# ccache (when installed) shares compiled objects between clones of the
# repository on one machine: paths are taken relative to the clone's root.
export CCACHE_BASEDIR="$QUILLON_ROOT" CCACHE_NOHASHDIR=1
declare -a QUILLON_STAGE_NAMES=()
declare -a QUILLON_STAGE_SECONDS=()

# Installs every package of scripts/packages.txt that is not installed yet,
# through sudo when not root.
install_packages() {
  local wanted=() missing=() package
  mapfile -t wanted < <(sed -e 's/#.*//' -e 's/[[:space:]]//g' "$QUILLON_ROOT/scripts/packages.txt" | grep -v '^$')
  for package in "${wanted[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
      missing+=("$package")
    fi
  done
  if [ ${#missing[@]} -eq 0 ]; then
    echo "All ${#wanted[@]} packages are installed."
    return 0
  fi
  echo "Installing: ${missing[*]}"
  local sudo=()
  if [ "$(id -u)" -ne 0 ]; then
    command -v sudo >/dev/null || { echo "error: not root and no sudo to install ${missing[*]}" >&2; return 1; }
    sudo=(sudo)
  fi
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
}

# debian_archive [SUITE]: the address of the Debian archive that this
# machine's apt sources name for SUITE (default bookworm; bookworm-security
# gives the security archive), so that a machine behind its own mirror uses
# it. Reads /etc/apt/sources.list.d/*.sources (deb822) and
# /etc/apt/sources.list; falls back to Debian's own addresses.
debian_archive() {
  local suite=${1:-bookworm} found
  found=$(
    {
      # deb822 stanzas become one line each: "Types|URIs|Suites".
      cat /etc/apt/sources.list.d/*.sources 2>/dev/null | awk '
        /^[[:space:]]*$/ { if (t != "") print t "|" u "|" s; t = u = s = ""; next }
        /^Types:/ { sub(/^Types:[[:space:]]*/, ""); t = $0 }
        /^URIs:/ { sub(/^URIs:[[:space:]]*/, ""); u = $0 }
        /^Suites:/ { sub(/^Suites:[[:space:]]*/, ""); s = $0 }
        END { if (t != "") print t "|" u "|" s }'
      # One-line form: "deb [options] URI SUITE COMPONENTS...".
      sed -e 's/#.*//' -e 's/\[[^]]*\]//' /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null |
        awk '$1 == "deb" { print "deb|" $2 "|" $3 }'
    } | awk -F'|' -v suite="$suite" '
      { n = split($1, types, " "); deb = 0; for (i = 1; i <= n; i++) if (types[i] == "deb") deb = 1
        m = split($3, suites, " "); for (i = 1; i <= m; i++) if (deb && suites[i] == suite) { split($2, uris, " "); print uris[1]; exit } }'
  )
  if [ -n "$found" ]; then
    echo "${found%/}"
  elif [ "${suite%-security}" != "$suite" ]; then
    echo http://deb.debian.org/debian-security
  else
    echo http://deb.debian.org/debian
  fi
}

# stage NAME COMMAND...: runs the command and records how long it took.
stage() {
  local name=$1
  shift
  echo "=== $name"
  local start=$SECONDS status=0
  "$@" || status=$?
  local took=$((SECONDS - start))
  QUILLON_STAGE_NAMES+=("$name")
  QUILLON_STAGE_SECONDS+=("$took")
  echo "=== $name: ${took}s$([ $status -eq 0 ] || echo " (failed with $status)")"
  return $status
}

print_stage_times() {
  local i total=0
  echo "=== Stage times"
  for i in "${!QUILLON_STAGE_NAMES[@]}"; do
    printf '  %-20s %5ds\n' "${QUILLON_STAGE_NAMES[$i]}" "${QUILLON_STAGE_SECONDS[$i]}"
    total=$((total + QUILLON_STAGE_SECONDS[i]))
  done
  printf '  %-20s %5ds\n' "total" "$total"
}
