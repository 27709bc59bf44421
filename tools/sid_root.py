"""A Debian sid root for testing on the newest CPython releases.

    sid_root.py create ROOT [--mirror URL] PACKAGE...
    sid_root.py run ROOT COMMAND

`create` builds a minimal root of Debian's sid suite with debootstrap and
installs PACKAGE... into it with apt-get.  A root whose stamp names the same
mirror and packages is reused as it is; any other is built again, in
ROOT.partial first, so that an interrupted build is never taken for a
finished one.  The mirror is the one this machine's apt uses unless given.

`run` runs COMMAND with bash inside ROOT, with /proc and a fresh /dev/shm
mounted there.  Everything runs in private mount and PID namespaces: the
mounts are never seen outside, and the kernel undoes them, and ends every
process left inside, however the command ends (a trap unmounts them first on
an orderly exit).  The command sees a clean environment: HOME=/root, the
host's certificate bundle (copied into the root) for pip, and the few
variables that tune pip and OpenBLAS on this machine.

Nothing outside ROOT (and ROOT.partial) is written.
"""

import argparse
import glob
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

SUITE = "sid"
STAMP = ".kestrix-root"
CERTS = "etc/ssl/certs/ca-certificates.crt"  # where Debian's OpenSSL looks first
# The registry is a dated snapshot whose Release file has expired.
APT = ["apt-get", "-o", "Acquire::Check-Valid-Until=false", "-o", "DPkg::Lock::Timeout=600"]
PASSED_THROUGH = ("PIP_DEFAULT_TIMEOUT", "PIP_DISABLE_PIP_VERSION_CHECK", "PIP_INDEX_URL", "PIP_EXTRA_INDEX_URL",
                  "OPENBLAS_CORETYPE", "OPENBLAS_L2_SIZE", "CI")

# Runs "$@" chrooted into $1 with /proc and /dev/shm mounted; meant for a
# fresh private mount namespace.
IN_NAMESPACE = r"""
set -e
root=$1; shift
trap 'umount "$root/dev/shm" 2>/dev/null || true; umount "$root/proc" 2>/dev/null || true' EXIT
mount -t proc proc "$root/proc"
mount -t tmpfs -o mode=1777 tmpfs "$root/dev/shm"
chroot "$root" "$@"
"""

NAMESPACES = ["unshare", "--mount", "--propagation", "private", "--pid", "--fork", "--kill-child", "--"]


def apt_mirror():
    """The first Debian archive URI of this machine's apt sources (the
    security archive aside), in either source format."""
    files = ["/etc/apt/sources.list", *sorted(glob.glob("/etc/apt/sources.list.d/*.list")),
             *sorted(glob.glob("/etc/apt/sources.list.d/*.sources"))]
    for name in files:
        try:
            text = Path(name).read_text()
        except OSError:
            continue
        uris = re.findall(r"^\s*deb\s+(?:\[[^\]]*\]\s+)?(\S+)", text, re.M)
        uris += [u for line in re.findall(r"^URIs:\s*(.+)$", text, re.M) for u in line.split()]
        for uri in uris:
            if uri.rstrip("/").endswith("/debian"):
                return uri.rstrip("/")
    sys.exit("no Debian archive in this machine's apt sources; give --mirror")


def host_certificates():
    for candidate in (os.environ.get("SSL_CERT_FILE"), os.environ.get("PIP_CERT"), "/etc/ssl/certs/ca-certificates.crt"):
        if candidate and os.path.isfile(candidate):
            return candidate
    return None


def environment():
    env = {"HOME": "/root", "PATH": "/usr/local/bin:/usr/bin:/bin", "LANG": "C.UTF-8", "DEBIAN_FRONTEND": "noninteractive"}
    if host_certificates():
        for name in ("SSL_CERT_FILE", "REQUESTS_CA_BUNDLE", "PIP_CERT"):
            env[name] = "/" + CERTS
    env.update({k: os.environ[k] for k in PASSED_THROUGH if k in os.environ})
    return env


def refresh_host_files(root):
    """Name resolution and the certificates pip trusts, as the host has them."""
    copies = [("/etc/resolv.conf", root / "etc/resolv.conf")]
    if host_certificates():
        copies.append((host_certificates(), root / CERTS))
    for source, target in copies:
        target.parent.mkdir(parents=True, exist_ok=True)
        # A symbolic link in the root points into the host here: replace it,
        # never write through it.
        target.unlink(missing_ok=True)
        shutil.copyfile(source, target)


def run(root, command):
    root = Path(root).resolve()
    refresh_host_files(root)
    argv = ["/usr/bin/env", "-i", *[f"{k}={v}" for k, v in environment().items()], "/bin/bash", "-c", command]
    return subprocess.run([*NAMESPACES, "bash", "-c", IN_NAMESPACE, "sid-root", str(root), *argv]).returncode


def create(root, mirror, packages):
    root = Path(root).resolve()
    stamp = f"{SUITE} {mirror}\n" + "\n".join(sorted(packages)) + "\n"
    if (root / STAMP).is_file() and (root / STAMP).read_text() == stamp:
        print(f"reusing the {SUITE} root {root}")
        return 0
    partial = root.with_name(root.name + ".partial")
    for old in (partial, root):
        shutil.rmtree(old, ignore_errors=True)
    partial.parent.mkdir(parents=True, exist_ok=True)
    print(f"building a {SUITE} root in {partial} from {mirror}", flush=True)
    # debootstrap mounts /proc and /sys in the root itself while it installs:
    # a private mount namespace keeps those mounts from outliving it too.
    status = subprocess.run(["unshare", "--mount", "--propagation", "private", "--",
                             "debootstrap", "--variant=minbase", SUITE, str(partial), mirror]).returncode
    if status:
        return status
    install = " ".join([*APT, "install", "-y", "--no-install-recommends", *packages])
    status = run(partial, f"set -e; {' '.join(APT)} update; {install}; apt-get clean")
    if status:
        return status
    (partial / STAMP).write_text(stamp)
    partial.rename(root)
    return 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    commands = parser.add_subparsers(dest="command", required=True)
    make = commands.add_parser("create")
    make.add_argument("root")
    make.add_argument("--mirror")
    make.add_argument("packages", nargs="+")
    inside = commands.add_parser("run")
    inside.add_argument("root")
    inside.add_argument("shell_command")
    args = parser.parse_args()
    if args.command == "create":
        return create(args.root, (args.mirror or apt_mirror()).rstrip("/"), args.packages)
    return run(args.root, args.shell_command)


if __name__ == "__main__":
    sys.exit(main())
