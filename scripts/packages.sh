# packages.sh: sourced; installs Debian packages for the test command, through a package archive
# that may be caught mid-sync.
# packages_install WHAT PACKAGE...  installs the PACKAGEs that are missing (as root), trying a few
# times; on failure it returns 1 with one line in $packages_failure naming the packages and apt's
# reason, for the caller to report.
#
# An index that cannot be fetched (a mirror caught mid-sync: "File has unexpected size") is
# reported and the set-up goes on with the indexes that were fetched. But then one architecture
# may see a security update that the other cannot, and a Multi-Arch "same" pair (liblzma5 and
# liblzma5:i386, say) must stay at one version: so once an index is missing or an install fails,
# every install takes the release's own versions (-t CODENAME), which both architectures have.

packages_foreign=(${TESSOREL_APT_FOREIGN:-})  # architectures a later install will need
packages_tries=3
packages_pause=${TESSOREL_APT_PAUSE:-10}
packages_updated=
packages_target=()
packages_failure=

packages_missing() {
    local p
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || echo "$p"
    done
}

# apt-get update, a few times while an index fails; then on with what was fetched. The foreign
# architectures are added first, so that even the first install sees whether their indexes came.
packages_update() {
    local try log arch
    for arch in "${packages_foreign[@]}"; do
        dpkg --print-foreign-architectures | grep -qx "$arch" || dpkg --add-architecture "$arch"
    done
    log=$(mktemp)
    for ((try = 1; try <= packages_tries; try++)); do
        if apt-get update -q >"$log" 2>&1; then
            rm -f "$log"
            return 0
        fi
        echo "== apt-get update, try $try of $packages_tries: an index could not be fetched:"
        grep -E '^(E|W): ' "$log" | grep -v 'have been ignored' | sed 's/^/   /' | head -n 5
        ((try < packages_tries)) && sleep "$packages_pause"
    done
    rm -f "$log"
    packages_release_only
    echo "== going on with the indexes that were fetched, and the release's own versions"
}

# From here on, install the release's own versions (-t CODENAME), which every architecture has.
packages_release_only() {
    local codename
    codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
    [ -z "$codename" ] || packages_target=(-t "$codename")
}

packages_install() {
    local what=$1 try log missing
    shift
    packages_failure=
    mapfile -t missing < <(packages_missing "$@")
    ((${#missing[@]})) || return 0
    echo "== installing ($what): ${missing[*]}"
    if [ "$(id -u)" != 0 ]; then
        packages_failure="run as root to install ${missing[*]}"
        return 1
    fi
    export DEBIAN_FRONTEND=noninteractive
    log=$(mktemp)
    for ((try = 1; try <= packages_tries; try++)); do
        [ -n "$packages_updated" ] || { packages_update; packages_updated=1; }
        if apt-get install -y -q --no-install-recommends "${packages_target[@]}" "${missing[@]}" \
            >"$log" 2>&1; then
            rm -f "$log"
            return 0
        fi
        echo "== installing ($what), try $try of $packages_tries, failed:" \
             "$(grep -E '^E: ' "$log" | head -n 1)"
        packages_release_only
        ((try < packages_tries)) && { sleep "$packages_pause"; packages_updated=; }
    done
    # apt's reason: its error lines, and the first dependencies it could not meet.
    packages_failure="cannot install ${missing[*]}: $(grep -E '^E: |Depends: ' "$log" |
        sed 's/^ *//' | head -n 4 | paste -sd ';' | sed 's/;/; /g')"
    rm -f "$log"
    return 1
}
