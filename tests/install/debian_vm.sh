#!/usr/bin/env bash
# A clean Debian 12 in a container or virtual machine, for walking through the
# README by hand as a new user would: build, `sudo make install`, onboarding
# and the two services under a real systemd. Not part of ctest or .ci/run: it
# needs root, debootstrap, dpkg-repack, systemd-nspawn (systemd-container) or
# qemu-system-x86 with /dev/kvm, and some minutes of downloads from
# deb.debian.org.
#
#   tests/install/debian_vm.sh image     # debootstrap bookworm into $VM_DIR/root
#   tests/install/debian_vm.sh nspawn    # boot that folder with systemd-nspawn (the host's network)
#   tests/install/debian_vm.sh boot      # or: a disk image of it under qemu/KVM (2 vCPUs, 6 GB)
#   tests/install/debian_vm.sh copy      # a git bundle of HEAD to ~me/talmo.bundle in the guest
#   tests/install/debian_vm.sh ssh [CMD] # a shell (or CMD) as the user `me`, who may sudo
#   tests/install/debian_vm.sh stop
#
# Either way sshd answers on 127.0.0.1:$VM_SSH_PORT. qemu needs a KVM that
# boots a stock Debian kernel (a PVM host's does not: it hangs at boot). The
# nspawn guest shares the host's network, so its Talmo holds the host's
# ports 8000 and 45051 while it runs.
#
# Node.js 20 goes in system-wide, as NodeSource's package would put it: the
# host's own `nodejs` package repacked with dpkg-repack (the host needs Node
# 20 from such a package), with the host's npm tree copied over it, since a
# global `npm i -g npm` leaves the package's file list out of date. CA
# certificates the host trusts beyond Debian's (a TLS-inspecting proxy in
# front of the registries) are trusted in the guest too, by the system and by
# npm. Inside, `git clone talmo.bundle talmo` and follow the README from there.
set -euo pipefail

VM_DIR=${VM_DIR:-/var/tmp/talmo-vm}
VM_SSH_PORT=${VM_SSH_PORT:-2225}
VM_SIZE=${VM_SIZE:-12G}
MIRROR=${MIRROR:-http://deb.debian.org/debian}
root=$VM_DIR/root
key=$VM_DIR/id_ed25519
ssh_opts=(-i "$key" -p "$VM_SSH_PORT" -o StrictHostKeyChecking=no -o UserKnownHostsFile=/dev/null -o LogLevel=ERROR)

image() {
  mkdir -p "$VM_DIR"
  [ -d "$root/etc" ] || debootstrap --variant=minbase \
    --include=linux-image-amd64,systemd-sysv,systemd-timesyncd,udev,dbus,sudo,openssh-server,ca-certificates,git,make,iproute2,ifupdown,isc-dhcp-client,netbase,less,procps,curl,file \
    bookworm "$root" "$MIRROR"

  echo talmo-vm > "$root/etc/hostname"
  printf '127.0.1.1\ttalmo-vm\n' >> "$root/etc/hosts"
  echo '/dev/vda / ext4 defaults 0 1' > "$root/etc/fstab"
  cp /etc/resolv.conf "$root/etc/resolv.conf"

  # The user who follows the README: may sudo (without a password here, only
  # so that the walk-through can be driven over ssh).
  [ -f "$key" ] || ssh-keygen -q -t ed25519 -N '' -f "$key"
  chroot "$root" id me >/dev/null 2>&1 || chroot "$root" useradd -m -s /bin/bash -G sudo me
  echo 'me ALL=(ALL:ALL) NOPASSWD: ALL' > "$root/etc/sudoers.d/me"
  chmod 0440 "$root/etc/sudoers.d/me"
  install -d -m 0700 -o 1000 -g 1000 "$root/home/me/.ssh"
  install -m 0600 -o 1000 -g 1000 "$key.pub" "$root/home/me/.ssh/authorized_keys"

  # Node.js 20 system-wide, as a package.
  (cd "$VM_DIR" && rm -f nodejs_*.deb && dpkg-repack nodejs >/dev/null 2>&1)
  cp "$VM_DIR"/nodejs_*.deb "$root/tmp/nodejs.deb"
  mount -t proc proc "$root/proc"
  trap 'umount "$root/proc"' EXIT
  chroot "$root" apt-get install -y -q /tmp/nodejs.deb
  umount "$root/proc"; trap - EXIT
  tar -C / -cf - usr/lib/node_modules/npm | tar -C "$root" -xf -
  rm -f "$root/tmp/nodejs.deb"
  chroot "$root" apt-get clean

  # The host's extra CAs, one file each; npm is told to read the system's list.
  python3 - "$root" <<'PY'
import re, sys
pem = re.compile(r'-----BEGIN CERTIFICATE-----.*?-----END CERTIFICATE-----', re.S)
guest = set(pem.findall(open(sys.argv[1] + '/etc/ssl/certs/ca-certificates.crt').read()))
extra = [c for c in pem.findall(open('/etc/ssl/certs/ca-certificates.crt').read()) if c not in guest]
for i, c in enumerate(extra):
    open(f'{sys.argv[1]}/usr/local/share/ca-certificates/host-extra-{i}.crt', 'w').write(c + '\n')
PY
  chroot "$root" update-ca-certificates
  mkdir -p "$root/usr/etc"
  echo cafile=/etc/ssl/certs/ca-certificates.crt > "$root/usr/etc/npmrc"
}

boot() {
  # The disk image gets the network by DHCP from qemu.
  printf 'auto lo\niface lo inet loopback\nauto eth0\niface eth0 inet dhcp\n' > "$root/etc/network/interfaces"
  rm -f "$root/etc/ssh/sshd_config.d/nspawn.conf" "$VM_DIR/disk.raw"
  mkfs.ext4 -q -F -L talmo-root -d "$root" "$VM_DIR/disk.raw" "$VM_SIZE"
  cp "$root"/boot/vmlinuz-* "$VM_DIR/vmlinuz"
  cp "$root"/boot/initrd.img-* "$VM_DIR/initrd.img"
  qemu-system-x86_64 -enable-kvm -cpu host -m 6G -smp 2 \
    -kernel "$VM_DIR/vmlinuz" -initrd "$VM_DIR/initrd.img" \
    -append 'root=/dev/vda rw console=ttyS0 net.ifnames=0' \
    -drive "file=$VM_DIR/disk.raw,format=raw,if=virtio" \
    -netdev "user,id=n0,hostfwd=tcp:127.0.0.1:$VM_SSH_PORT-:22" -device virtio-net-pci,netdev=n0 \
    -display none -serial "file:$VM_DIR/console.log" -pidfile "$VM_DIR/qemu.pid" -daemonize
  wait_for_ssh
}

# The folder itself as a container: its systemd as PID 1, the host's network
# (nothing to configure; the host's own interfaces are left alone).
nspawn() {
  echo '# The host network is shared, and not the guest'"'"'s to change.' > "$root/etc/network/interfaces"
  printf 'Port %s\nListenAddress 127.0.0.1\n' "$VM_SSH_PORT" > "$root/etc/ssh/sshd_config.d/nspawn.conf"
  setsid systemd-nspawn -b -D "$root" -M talmo-vm --register=no --keep-unit --console=passive \
    > "$VM_DIR/console.log" 2>&1 < /dev/null &
  echo $! > "$VM_DIR/nspawn.pid"
  wait_for_ssh
}

wait_for_ssh() {
  for _ in $(seq 60); do
    ssh "${ssh_opts[@]}" -o ConnectTimeout=2 me@127.0.0.1 true 2>/dev/null && { echo "guest up: $0 ssh"; return; }
    sleep 2
  done
  echo "the guest did not answer on ssh; see $VM_DIR/console.log" >&2; return 1
}

case ${1:-} in
  image) image ;;
  boot) boot ;;
  nspawn) nspawn ;;
  copy)
    bundle=$(mktemp --suffix=.bundle); trap 'rm -f "$bundle"' EXIT
    repo=$(dirname "$0")/../..
    git -C "$repo" bundle create "$bundle" HEAD $(git -C "$repo" branch --show-current)
    scp -i "$key" -P "$VM_SSH_PORT" -o StrictHostKeyChecking=no -o UserKnownHostsFile=/dev/null -o LogLevel=ERROR \
      "$bundle" me@127.0.0.1:talmo.bundle ;;
  ssh) shift; exec ssh -t "${ssh_opts[@]}" me@127.0.0.1 "$@" ;;
  stop)  # nspawn passes SIGTERM on as a clean shutdown
    for pidfile in "$VM_DIR/qemu.pid" "$VM_DIR/nspawn.pid"; do
      [ -f "$pidfile" ] && kill "$(cat "$pidfile")" && rm -f "$pidfile"
    done ;;
  *) sed -n '2,30p' "$0"; exit 2 ;;
esac
