# Sourced by the checks that build and test the package in clean chroots
# of a Debian release, as sbuild and autopkgtest's unshare backend do:
# a minimal root file system per release, made once by mmdebstrap from the
# distribution's archive and kept as a tarball, and used afresh every
# time inside a user namespace (unshare), so that nothing of one build or
# test run is left for the next, and nothing of this machine gets in.
# (An overlay on one unpacked copy would save the unpacking, but an
# overlay mounted in a user namespace cannot rename directories, which
# dpkg does.)
#
# The tarballs, and the packages apt downloads for them, are kept outside
# the source tree, in FWLAUNCH_CI_CACHE (/var/cache/fwlaunch-ci for root,
# else ~/.cache/fwlaunch-ci); one older than FWLAUNCH_CI_MAX_AGE_DAYS (7),
# or made with other options, is made again.
#
# The user namespace maps the caller to root and the first block of its
# subordinate IDs (/etc/subuid, /etc/subgid) to the other users; as root
# or not, the caller needs such a block (scripts/install-deps adds one).

: "${FWLAUNCH_CI_MAX_AGE_DAYS:=7}"
if [ -z "${FWLAUNCH_CI_CACHE:-}" ]; then
    if [ "$(id -u)" -eq 0 ]; then
        FWLAUNCH_CI_CACHE=/var/cache/fwlaunch-ci
    else
        FWLAUNCH_CI_CACHE=${XDG_CACHE_HOME:-$HOME/.cache}/fwlaunch-ci
    fi
fi
ci_arch=$(dpkg --print-architecture)

# Runs a command as root of a new user namespace, outside any chroot: to
# unpack and remove root file systems whose files belong to its users.
ci_userns() {
    unshare --map-auto --map-root-user --user -- "$@"
}

# The URIs of the Debian archive apt on this machine uses, and of its
# security archive (deb.debian.org when apt names none).
ci_targets=$(apt-get indextargets --format '$(REPO_URI) $(RELEASE)' 'Identifier: Packages' 2> /dev/null || true)
ci_main_mirror=$(echo "$ci_targets" | awk '$2 !~ /-(security|updates|backports)$/ { print $1; exit }')
ci_security_mirror=$(echo "$ci_targets" | awk '$2 ~ /-security$/ { print $1; exit }')
ci_main_mirror=${ci_main_mirror:-http://deb.debian.org/debian/}
ci_main_mirror=${ci_main_mirror%/}
ci_security_mirror=${ci_security_mirror:-http://deb.debian.org/debian-security/}
ci_security_mirror=${ci_security_mirror%/}

# ci_sources RELEASE: the release's apt sources, with its updates and its
# security updates.
ci_sources() {
    printf 'deb %s %s main\n' "$ci_main_mirror" "$1" "$ci_main_mirror" "$1-updates" \
        "$ci_security_mirror" "$1-security"
}

# ci_archives RELEASE USER: the folder that keeps the packages apt
# downloads for USER in the release's chroots (mmdebstrap, build,
# lintian, install, autopkgtest). Each user of the cache has its own,
# since apt cannot share one between two chroots at the same time; and
# holds it while it runs, with flock on the folder's name with .lock.
ci_archives() {
    mkdir -p "$FWLAUNCH_CI_CACHE/$1-$ci_arch-archives/$2"
    echo "$FWLAUNCH_CI_CACHE/$1-$ci_arch-archives/$2"
}

# ci_tarball RELEASE KIND: the path of the release's root file system of
# that KIND (ci_tarball_of), made when missing or old:
#   build    the buildd variant: the essential packages, apt and
#            build-essential, what sbuild builds in;
#   testbed  the minbase variant: the essential packages, those of
#            priority required and apt, the test bed of autopkgtest;
#   lintian  minbase and the release's lintian.
ci_tarball() {
    case $2 in
        build) ci_tarball_of "$1" "$2" --variant=buildd ;;
        testbed) ci_tarball_of "$1" "$2" --variant=minbase ;;
        lintian) ci_tarball_of "$1" "$2" "--variant=minbase --include=lintian" ;;
        *) echo "unknown chroot kind $2" >&2; return 1 ;;
    esac
}

# ci_tarball_of RELEASE NAME OPTIONS: the path of the release's root file
# system NAME made by mmdebstrap with OPTIONS, made when missing, older
# than FWLAUNCH_CI_MAX_AGE_DAYS or made with other options. The package
# lists stay in the tarball, so that an apt-get update inside fetches
# only what changed (and no translations). dpkg does not wait for its
# writes to reach the disk (force-unsafe-io): these root file systems are
# thrown away, not recovered after a crash. Two callers making the same
# tarball wait for each other (the lock on descriptor 9), and the
# release's package cache (ci_archives) is held on descriptor 8 while
# mmdebstrap fills it.
ci_tarball_of() {
    release=$1 name=$2 options=$3
    tarball=$FWLAUNCH_CI_CACHE/$release-$ci_arch-$name.tar
    archives=$(ci_archives "$release" mmdebstrap)
    recipe="$options languages:none unsafe-io $(ci_sources "$release" | tr '\n' ' ')"
    (
        flock 9
        if [ -f "$tarball" ] && [ -z "$(find "$tarball" -mtime +"$FWLAUNCH_CI_MAX_AGE_DAYS")" ] &&
            [ "$(cat "$tarball.recipe" 2> /dev/null)" = "$recipe" ]; then
            exit 0
        fi
        exec 8> "$archives.lock"
        flock 8
        start=$(date +%s)
        # mmdebstrap learns which packages apt would install by handing
        # apt a pipe by its number N, for apt to run `cat >&N` with
        # /bin/sh; Debian's /bin/sh, dash, takes a single digit there
        # and fails on 10 or more ("Bad fd number"). N is the lowest
        # number free after mmdebstrap's own few, so mmdebstrap starts
        # with 3 to 9 closed: our locks (8 and 9, still held here, by
        # this subshell), ctest's log (3) and whatever else a caller left
        # open. Those above 9 take no number below 10 and are left.
        # shellcheck disable=SC2086
        ci_sources "$release" | mmdebstrap --quiet --format=tar --architectures="$ci_arch" $options \
            --aptopt='Acquire::Languages "none"' --dpkgopt=force-unsafe-io --skip=cleanup/apt/lists \
            --setup-hook="mkdir -p \"\$1/var/cache/apt/archives\" && find '$archives' -maxdepth 1 -name '*.deb' -exec cp -t \"\$1/var/cache/apt/archives\" {} +" \
            --customize-hook="find \"\$1/var/cache/apt/archives\" -maxdepth 1 -name '*.deb' -exec cp -n -t '$archives' {} +" \
            "$release" "$tarball.new" - > "$tarball.log" 2>&1 3>&- 4>&- 5>&- 6>&- 7>&- 8>&- 9>&- ||
            { cat "$tarball.log" >&2; rm -f "$tarball.new"; echo "mmdebstrap $release $name failed" >&2; exit 1; }
        mv "$tarball.new" "$tarball"
        echo "$recipe" > "$tarball.recipe"
        echo "made $(basename "$tarball") in $(($(date +%s) - start)) s" >&2
    ) 9> "$tarball.lock" || return 1
    echo "$tarball"
}

# ci_remove DIR: removes a folder whose files belong to the namespace's
# users.
ci_remove() {
    if [ -d "$1" ]; then ci_userns rm -rf "$1"; fi
}

# ci_chroot RELEASE KIND DIR USER: makes DIR (a new folder) a throwaway
# chroot of the release's root file system of KIND, unpacked afresh, for
# ci_run, with the package cache of USER (ci_archives); ci_remove DIR
# throws it away.
ci_chroot() {
    tarball=$(ci_tarball "$1" "$2") || return 1
    mkdir -p "$3/root"
    ci_userns tar --exclude=./dev --directory "$3/root" --extract --file "$tarball" || return 1
    ci_archives "$1" "$4" > "$3/archives"
}

# ci_run DIR [--bind OUTSIDE INSIDE]... -- COMMAND...: runs COMMAND as
# root in the chroot DIR (ci_chroot), with its own /proc, the few device
# nodes a build and apt need, the release's packages downloaded into the
# per-release cache, and the folders bound in.
ci_run() {
    dir=$1; shift
    flock "$(cat "$dir/archives").lock" unshare --map-auto --map-root-user --user --mount --pid --fork -- sh -c '
        set -eu
        dir=$1; shift
        root=$dir/root archives=$(cat "$dir/archives")
        while [ "$1" = --bind ]; do
            mkdir -p "$root$3"
            mount --rbind "$2" "$root$3"
            shift 3
        done
        shift
        mkdir -p "$root/dev"
        for node in null zero full random urandom tty; do
            touch "$root/dev/$node"
            mount --bind "/dev/$node" "$root/dev/$node"
        done
        ln -sfT /proc/self/fd "$root/dev/fd"
        mkdir -p "$root/dev/pts" "$root/dev/shm"
        mount -t devpts -o newinstance,ptmxmode=666 none "$root/dev/pts"
        ln -sfT pts/ptmx "$root/dev/ptmx"
        mount -t tmpfs tmpfs "$root/dev/shm"
        mount --rbind /sys "$root/sys"
        mkdir -p "$archives/partial"
        mount --bind "$archives" "$root/var/cache/apt/archives"
        cp /etc/resolv.conf "$root/etc/resolv.conf" 2> /dev/null || true
        exec env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 \
            unshare --root "$root" --mount-proc --pid --fork -- "$@"
    ' ci_run "$dir" "$@"
}
