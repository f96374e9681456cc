#!/usr/bin/env bash
# i686-vm.sh: runs a command inside a small virtual machine whose kernel runs 32-bit programs, for
# machines booted with 32-bit emulation off, where Wine's 32-bit loader cannot start.
#
# Usage: scripts/i686-vm.sh [--timeout SECONDS] COMMAND
# COMMAND is a bash command line run as root in the project folder. The guest is plain software
# emulation (QEMU's TCG: no /dev/kvm needed) booting Debian 12's own 6.1 kernel, which always runs
# 32-bit code, from a small busybox initramfs. It sees this machine's whole file system read-only
# through 9p, with a tmpfs over it for what it writes, so that the installed Wine, Xvfb and the
# build outputs are all there; only the job folder is shared for writing. The command's output is
# printed and its exit status returned; a guest that does not boot, or a run past its time, fails
# with a message that says so. The kernel, the initramfs and a Wine prefix made once in the guest
# are kept in TESSOREL_VM_CACHE (/var/cache/tessorel-vm) for the next run.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
limit=1800
if [ "${1:-}" = --timeout ]; then
    limit=$2
    shift 2
fi
[ $# -eq 1 ] || { echo "usage: scripts/i686-vm.sh [--timeout SECONDS] COMMAND" >&2; exit 2; }
command=$1
cache=${TESSOREL_VM_CACHE:-/var/cache/tessorel-vm}
mkdir -p "$cache"

fail() { echo "i686-vm: $*" >&2; exit 1; }

# --- Debian's 6.1 kernel, unpacked from its package (the machine's /boot is left alone) ----------
kernel_dir=$cache/kernel
if [ ! -f "$kernel_dir/ready" ]; then
    rm -rf "$kernel_dir" && mkdir -p "$kernel_dir/deb"
    package=$(apt-cache search --names-only '^linux-image-6\.1\.0-[0-9]+-amd64-unsigned$' |
              cut -d' ' -f1 | sort -V | tail -n 1)
    [ -n "$package" ] || fail "no linux-image-6.1.0-*-amd64-unsigned package found (apt-get update?)"
    (cd "$kernel_dir/deb" && apt-get download -q "$package" >/dev/null 2>&1) ||
        fail "cannot download $package"
    dpkg-deb -x "$kernel_dir"/deb/*.deb "$kernel_dir/x" || fail "cannot unpack $package"
    rm -rf "$kernel_dir/deb"
    touch "$kernel_dir/ready"
fi
vmlinuz=$(ls "$kernel_dir"/x/boot/vmlinuz-* | head -n 1)
modules=$(ls -d "$kernel_dir"/x/lib/modules/* | head -n 1)

# --- the initramfs: busybox, the modules for virtio, 9p and overlay, and /init --------------------
initrd=$cache/initrd.cpio.gz
if [ ! -f "$initrd" ] || [ "$initrd" -ot "$0" ]; then
    tree=$(mktemp -d)
    mkdir -p "$tree/bin" "$tree/modules"
    cp /bin/busybox "$tree/bin/busybox" || fail "busybox-static is not installed"
    file -b "$tree/bin/busybox" | grep -q 'statically linked' || fail "busybox is not the static one"
    # Each module after the modules it depends on, as its .modinfo names them.
    declare -A placed=()
    place() {
        local name=${1//-/_} path dep
        [ -n "${placed[$name]:-}" ] && return
        path=$(find "$modules/kernel" -name "$name.ko" -o -name "${name//_/-}.ko" | head -n 1)
        [ -n "$path" ] || fail "module $name not found in $modules"
        for dep in $(tr '\0' '\n' <"$path" | sed -n 's/^depends=//p' | tr ',' ' '); do place "$dep"; done
        placed[$name]=1
        cp "$path" "$tree/modules/$name.ko"
        echo "$name" >>"$tree/modules/order"
    }
    for m in virtio_pci 9pnet_virtio 9p overlay; do place "$m"; done
    cat >"$tree/init" <<'EOF'
#!/bin/busybox sh
# init: mounts the host's file system with a tmpfs over it, runs the job in a chroot, powers off.
/bin/busybox --install -s /bin
export PATH=/bin
mkdir -p /proc /sys /dev /host /upper /newroot
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
while read -r m; do insmod "/modules/$m.ko" || echo "init: cannot load $m"; done </modules/order
o=trans=virtio,version=9p2000.L,msize=262144
mount -t 9p -o "$o,ro,cache=loose" host /host || echo "init: cannot mount the host"
mount -t tmpfs -o size=90% tmpfs /upper
mkdir -p /upper/data /upper/work
mount -t overlay overlay -o lowerdir=/host,upperdir=/upper/data,workdir=/upper/work /newroot ||
    echo "init: cannot mount the overlay"
mkdir -p /newroot/tessorel-job
mount -t 9p -o "$o,cache=mmap" job /newroot/tessorel-job || echo "init: cannot mount the job folder"
mount -t proc proc /newroot/proc
mount -t sysfs sysfs /newroot/sys
mount -t devtmpfs devtmpfs /newroot/dev
mkdir -p /newroot/dev/pts /newroot/dev/shm
mount -t devpts devpts /newroot/dev/pts
for d in dev/shm tmp run var/tmp; do mount -t tmpfs tmpfs "/newroot/$d"; done
# The project and the cache may lie in one of those folders on the host: they are brought back over
# the fresh tmpfs, the project writable (its writes go to memory), the cache as it is.
n=0
while read -r how path; do
    case "$path" in /tmp/*|/var/tmp/*|/run/*|/dev/shm/*) ;; *) continue ;; esac
    n=$((n + 1))
    mkdir -p "/newroot$path" "/upper/$n/data" "/upper/$n/work"
    if [ "$how" = writable ]; then
        mount -t overlay overlay -o "lowerdir=/host$path,upperdir=/upper/$n/data,workdir=/upper/$n/work" \
            "/newroot$path" || echo "init: cannot bring back $path"
    else
        mount -o bind "/host$path" "/newroot$path" || echo "init: cannot bring back $path"
    fi
done </newroot/tessorel-job/folders
echo "init: running the job"
chroot /newroot /bin/bash /tessorel-job/job.sh >/newroot/tessorel-job/output 2>&1
echo $? >/newroot/tessorel-job/status
sync
poweroff -f
EOF
    chmod +x "$tree/init"
    (cd "$tree" && find . | cpio -o -H newc 2>/dev/null | gzip -1 >"$initrd.new") &&
        mv "$initrd.new" "$initrd" || fail "cannot build the initramfs"
    rm -rf "$tree"
fi

# --- the job -------------------------------------------------------------------------------------
job=$(mktemp -d "${TMPDIR:-/tmp}/tessorel-vm.XXXXXX")
trap 'rm -rf "$job"' EXIT
prefix=/tmp/tessorel-wine-32-0
printf 'writable %s\nas-is %s\n' "$root" "$cache" >"$job/folders"
cat >"$job/job.sh" <<EOF
export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin HOME=/root
export TESSOREL_WINEPREFIX=$prefix
# Wine's prefix is made once (it takes minutes here) and kept in the cache, which the guest sees
# where it is on this machine, for the next run.
[ -f '$cache/prefix.tar' ] && tar -xf '$cache/prefix.tar' -C /tmp
cd '$root' || exit 125
bash -c $(printf '%q' "$command")
status=\$?
if [ ! -f '$cache/prefix.tar' ] && [ -f $prefix/.tessorel-ready ]; then
    /usr/lib/wine/wineserver -k 2>/dev/null
    tar -cf /tessorel-job/prefix.tar.new -C /tmp tessorel-wine-32-0 && mv /tessorel-job/prefix.tar.new /tessorel-job/prefix.tar
fi
exit \$status
EOF

command -v qemu-system-x86_64 >/dev/null || fail "qemu-system-x86 is not installed"
started=$(date +%s)
timeout "$limit" qemu-system-x86_64 \
    -accel tcg,thread=multi -cpu max,-smap -machine q35 -m 2048 -smp 2 \
    -kernel "$vmlinuz" -initrd "$initrd" -append "console=ttyS0 quiet panic=-1" \
    -nographic -no-reboot -nodefaults -serial "file:$job/console" \
    -virtfs local,path=/,mount_tag=host,security_model=none,readonly=on,multidevs=remap \
    -virtfs local,path="$job",mount_tag=job,security_model=none,multidevs=remap \
    </dev/null >"$job/qemu" 2>&1
rc=$?
echo "i686-vm: the guest ran for $(( $(date +%s) - started )) s"
[ -f "$job/output" ] && cat "$job/output"
if [ "$rc" = 124 ]; then
    tail -n 20 "$job/console" >&2
    fail "the guest did not finish within $limit s"
fi
if [ ! -f "$job/status" ]; then
    cat "$job/qemu" >&2
    tail -n 40 "$job/console" >&2
    fail "the guest did not run the job (it did not boot, or its init failed)"
fi
[ -f "$job/prefix.tar" ] && mv "$job/prefix.tar" "$cache/prefix.tar"
exit "$(cat "$job/status")"
