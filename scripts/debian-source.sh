# Sourced by the scripts that build a dependency from Debian's source packages
# (windows-deps, ffmpeg4-deps) and by setup and test-in-debian: how a step
# fails, which Debian archive this machine uses, fetching the source packages
# of one pinned Debian release through a private apt folder, so that the
# system's apt configuration stays untouched and the build is the same
# whatever the host's own release, and building a dependency once per
# machine into a cache folder.
#
# The caller sets `script` (its name, for messages) and, for `step`, `log`
# (the file that collects the steps' output).

# Says what failed and what to do (and the end of the log, if any), then
# exits 1.
fail() {  # what failed, what to do
  echo "$script: $1 failed." >&2
  echo "$script: what to do: $2" >&2
  if [ -n "${log:-}" ] && [ -s "$log" ]; then
    echo "$script: the end of its log, $log:" >&2
    tail -n 25 "$log" | sed 's/^/    /' >&2
  fi
  exit 1
}

# Runs a command with its output added to the log; stops the script with
# `fail` when the command fails.
step() {  # what it does, what to do if it fails, command...
  local what=$1 hint=$2
  shift 2
  printf '\n==== %s: %s\n' "$what" "$*" >> "$log"
  "$@" >> "$log" 2>&1 || fail "$what" "$hint"
}

# Stops with a hint unless every named command is on the search path.
need_commands() {  # what installs them, command...
  local installer=$1 command
  shift
  for command in "$@"; do
    command -v "$command" > /dev/null 2>&1 ||
      fail "finding the command $command" "$installer"
  done
}

# Every URI of this machine's apt sources, one a line: deb822 files
# (sources.list.d/*.sources) and one-line files (sources.list,
# sources.list.d/*.list), any of them present or not. Disabled deb822
# paragraphs and comments are left out. KARVON_APT_ETC stands for /etc/apt.
apt_source_uris() {
  local etc=${KARVON_APT_ETC:-/etc/apt} file
  for file in "$etc/sources.list" "$etc"/sources.list.d/*.list; do
    [ -f "$file" ] || continue
    # deb [options] URI suite components...
    sed -n 's/^[[:space:]]*deb\(-src\)\{0,1\}[[:space:]]\{1,\}\(\[[^]]*\][[:space:]]\{1,\}\)\{0,1\}\([^[:space:]#]\{1,\}\).*/\3/p' \
      "$file"
  done
  for file in "$etc"/sources.list.d/*.sources; do
    [ -f "$file" ] || continue
    awk '
      function flush() { if (enabled && uris != "") print uris; uris = ""; enabled = 1; field = "" }
      BEGIN { enabled = 1 }
      /^#/ { next }
      /^[[:space:]]*$/ { flush(); next }
      /^[[:space:]]/ { if (field == "uris") uris = uris " " $0; next }
      {
        name = tolower(substr($0, 1, index($0, ":") - 1)); value = substr($0, index($0, ":") + 1)
        field = name
        if (name == "uris") uris = value
        if (name == "enabled" && value ~ /^[[:space:]]*no[[:space:]]*$/) enabled = 0
      }
      END { flush() }' "$file" | tr -s ' \t' '\n\n' | sed '/^$/d'
  done
}

# The Debian archive and its security archive that this machine's apt uses
# (URIs ending in /debian and /debian-security), else Debian's own (below
# KARVON_DEBIAN_FALLBACK, http://deb.debian.org); set debian_mirror and
# debian_security_mirror. KARVON_DEBIAN_MIRROR and
# KARVON_DEBIAN_SECURITY_MIRROR override them.
find_debian_mirrors() {
  local uris fallback=${KARVON_DEBIAN_FALLBACK:-http://deb.debian.org}
  uris=$(apt_source_uris)
  debian_mirror=${KARVON_DEBIAN_MIRROR:-$(printf '%s\n' "$uris" | grep -m 1 -E '/debian/?$' || true)}
  debian_mirror=${debian_mirror:-$fallback/debian}
  debian_security_mirror=${KARVON_DEBIAN_SECURITY_MIRROR:-$(printf '%s\n' "$uris" |
    grep -m 1 -E '/debian-security/?$' || true)}
  debian_security_mirror=${debian_security_mirror:-$fallback/debian-security}
}

# Debian's archive keyring: .gpg up to Debian 12, .pgp from Debian 13 on.
debian_keyring() {
  local keyring
  for keyring in /usr/share/keyrings/debian-archive-keyring.gpg \
                 /usr/share/keyrings/debian-archive-keyring.pgp; do
    if [ -f "$keyring" ]; then
      echo "$keyring"
      return 0
    fi
  done
  fail "finding Debian's archive keyring" "install the package debian-archive-keyring"
}

# Writes the private apt folder's only source list: the source archives of
# one release, with its updates and security suites or without them.
write_debian_source_list() {  # apt folder, release, keyring, all | release-only
  local apt_dir=$1 release=$2 keyring=$3 suites=$2
  [ "$4" = release-only ] || suites="$release $release-updates"
  rm -f "$apt_dir/parts/"*
  {
    printf 'Types: deb-src\nURIs: %s\nSuites: %s\nComponents: main\nSigned-By: %s\n' \
      "$debian_mirror" "$suites" "$keyring"
    [ "$4" = release-only ] ||
      printf '\nTypes: deb-src\nURIs: %s\nSuites: %s\nComponents: main\nSigned-By: %s\n' \
        "$debian_security_mirror" "$release-security" "$keyring"
  } > "$apt_dir/parts/debian-$release.sources"
}

# Fetches the source packages of one Debian release into a folder and unpacks
# them there, through a private apt folder whose only sources are that
# release's source archives: the newest, from its updates and security suites;
# when those cannot be fetched (an index that names files the archive or its
# mirror does not serve), the release's own. Adds "<source> <version>" for each
# package to the versions file.
fetch_debian_sources() {  # apt folder, release, into folder, versions file, package...
  local apt_dir=$1 release=$2 into=$3 versions=$4
  shift 4
  local keyring dsc package suites
  find_debian_mirrors
  keyring=$(debian_keyring)
  mkdir -p "$apt_dir/parts" "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial" "$into"
  local apt_opts=(-o "Dir::Etc::sourcelist=/dev/null" -o "Dir::Etc::sourceparts=$apt_dir/parts"
    -o "Dir::State::Lists=$apt_dir/lists" -o "Dir::Cache=$apt_dir/cache"
    -o "APT::Sandbox::User=root")
  local reach="check that this machine reaches Debian's archive at $debian_mirror and \
$debian_security_mirror (taken from apt's sources; KARVON_DEBIAN_MIRROR and \
KARVON_DEBIAN_SECURITY_MIRROR set others), then run again"
  for suites in all release-only; do
    write_debian_source_list "$apt_dir" "$release" "$keyring" "$suites"
    local index="reading the source index of Debian $release"
    [ "$suites" = all ] || index="$index (the release alone)"
    step "$index" "$reach" \
      flock "$apt_dir/lock" apt-get "${apt_opts[@]}" update
    # apt-get source downloads into the current folder.
    if [ "$suites" = release-only ]; then
      step "fetching the Debian $release source packages $*" "$reach" \
        env -C "$into" flock "$apt_dir/lock" apt-get "${apt_opts[@]}" source -qq --download-only "$@"
    elif ! env -C "$into" flock "$apt_dir/lock" \
        apt-get "${apt_opts[@]}" source -qq --download-only "$@" >> "$log" 2>&1; then
      echo "$script: the newest Debian $release sources of $* cannot be fetched; taking those of the release itself" >&2
      rm -f "$into"/*
      continue
    fi
    break
  done
  for package in "$@"; do
    dsc=$(compgen -G "$into/${package}_*.dsc" | head -n 1 || true)
    [ -n "$dsc" ] || fail "finding the fetched source package $package" "$reach"
    step "unpacking $dsc" "install dpkg-dev (scripts/setup does), then run again" \
      env -C "$into" dpkg-source --no-check -x "$dsc"
    printf '%s %s\n' "$(sed -n 's/^Source: //p' "$dsc")" "$(sed -n 's/^Version: //p' "$dsc")" \
      >> "$versions"
  done
}

# True when the prefix holds every named file (globs allowed).
prefix_holds() {  # prefix, file...
  local prefix=$1 pattern
  shift
  for pattern in "$@"; do
    compgen -G "$prefix/$pattern" > /dev/null || return 1
  done
}

# True when a build completed the prefix and it still holds every named file:
# a prefix that a failed or interrupted build left, or that has lost its
# libraries since, is not complete.
prefix_complete() {  # prefix, file...
  [ -f "$1/.complete" ] && prefix_holds "$@"
}

# The cache folder named by the environment variable, else <name> in the
# user's cache folder; made if need be. Prints it.
cache_folder() {  # variable, name
  local folder=${!1:-${XDG_CACHE_HOME:-${HOME:-/root}/.cache}/$2}
  mkdir -p "$folder" 2> /dev/null ||
    fail "making the cache folder $folder" "set $1 to a folder you can write"
  echo "$folder"
}

# Builds a dependency once per machine into <cache>/install-<key> and prints
# that prefix; with --prefix as the script's argument, only prints it. A
# completed build marks the prefix .complete; a prefix without the mark, or
# that lost any of the named files since, is built again. One build per key
# at a time: a second caller waits, then finds it complete. The build
# function runs with `prefix` (made empty), `work` (an empty folder for the
# sources, removed afterwards) and `log` (its steps' log) set.
build_once() {  # cache folder, key, what it builds, build function, script argument, file...
  local cache_root=$1 key=$2 what=$3 build=$4 argument=$5
  shift 5
  prefix="$cache_root/install-$key"
  if [ "$argument" = --prefix ] || prefix_complete "$prefix" "$@"; then
    echo "$prefix"
    return 0
  fi
  exec 9> "$cache_root/build-$key.lock"
  flock 9
  if prefix_complete "$prefix" "$@"; then
    echo "$prefix"
    return 0
  fi
  log="$cache_root/build-$key.log"
  : > "$log"
  if [ -e "$prefix" ]; then
    echo "$script: $prefix is incomplete (left by a failed or interrupted build): building it again" >&2
  fi
  echo "$script: building $what, once per machine (a few minutes); log: $log" >&2
  work="$cache_root/src-$key"
  rm -rf "$work" "$prefix"
  mkdir -p "$work" "$prefix"
  "$build"
  cd "$cache_root"
  prefix_holds "$prefix" "$@" ||
    fail "installing $what into $prefix (files are missing)" "read the log, then run again"
  rm -rf "$work"
  touch "$prefix/.complete"
  echo "$prefix"
}
