#!/usr/bin/python3
"""Build libjxl 0.11 (and the highway it needs) from Debian 13's own source
packages into a private prefix, for a Debian 12 machine whose archive has
neither.

Nothing under /etc/apt, /var/lib/apt or dpkg's database changes: the sources
are located with a private apt configuration (its own sources list, state and
cache directories; the machine's keyring, which already holds Debian 13's
keys, verifies the indexes), downloaded, checked against the signed indexes'
hashes, unpacked with Debian's patches applied, and built with the machine's
own compiler against its own brotli, lcms2, libpng, libjpeg and giflib.

The prefix is shared by every clone on the machine and named after what it
holds; a prefix without its completion stamp (an interrupted build) is removed
and built again. Prints the prefix on standard output, progress on standard
error. Standard library only: it runs on Debian's /usr/bin/python3.

    scripts/deps.py            find or build the prefix, print it
    scripts/deps.py --find     print the prefix if one is complete, else exit 1
    scripts/deps.py --clean    remove every prefix (and the download cache)
    scripts/deps.py --licenses put the sources' copyright files into a prefix
                               built before they were kept (wheels ship them)
"""

from __future__ import annotations

import fcntl
import hashlib
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import urllib.error
import urllib.request
from pathlib import Path

# Bump when the build recipe changes, so that every machine rebuilds once.
RECIPE = "r1"
SUITE = "trixie"
KEYRING = "/usr/share/keyrings/debian-archive-keyring.gpg"
CMAKE = "/usr/bin/cmake"


def log(msg: str) -> None:
    print(f"bootstrap: {msg}", file=sys.stderr, flush=True)


def warn(msg: str) -> None:
    print(f"bootstrap: WARNING: {msg}", file=sys.stderr, flush=True)


def deps_root() -> Path:
    if override := os.environ.get("KESTRELPIX_DEPS"):
        return Path(override)
    if os.geteuid() == 0:
        return Path("/opt/kestrelpix/deps")
    cache = os.environ.get("XDG_CACHE_HOME") or str(Path.home() / ".cache")
    return Path(cache) / "kestrelpix" / "deps"


def complete_prefixes(root: Path) -> list[Path]:
    found = [p for p in root.glob(f"libjxl-*.{RECIPE}") if (p / ".complete").is_file()]
    return sorted(found, key=lambda p: p.stat().st_mtime)


# --- the machine's own Debian mirror -----------------------------------------

def _stanzas(text: str) -> list[dict[str, str]]:
    out, cur = [], {}
    for line in text.splitlines() + [""]:
        if not line.strip():
            if cur:
                out.append(cur)
            cur = {}
        elif not line.startswith("#") and ":" in line and not line[0].isspace():
            key, _, value = line.partition(":")
            cur[key.strip().lower()] = value.strip()
    return out


def machine_mirrors() -> tuple[str, str]:
    """The URIs of the machine's Debian archive and its security archive."""
    main = security = ""
    apt = Path("/etc/apt")
    for f in sorted(apt.glob("sources.list.d/*.sources")):
        for st in _stanzas(f.read_text(errors="replace")):
            if "deb" not in st.get("types", "").split():
                continue
            suites = st.get("suites", "").split()
            for uri in st.get("uris", "").split():
                if re.search(r"/debian-security/?$", uri) and not security:
                    security = uri
                elif re.search(r"/debian/?$", uri) and not main and \
                        any("security" not in s for s in suites):
                    main = uri
    one_line = [apt / "sources.list", *sorted(apt.glob("sources.list.d/*.list"))]
    for f in one_line:
        if not f.is_file():
            continue
        for line in f.read_text(errors="replace").splitlines():
            words = re.sub(r"\[[^]]*\]", " ", line.split("#", 1)[0]).split()
            if len(words) < 3 or words[0] != "deb":
                continue
            uri = words[1]
            if re.search(r"/debian-security/?$", uri) and not security:
                security = uri
            elif re.search(r"/debian/?$", uri) and not main:
                main = uri
    main = (main or "http://deb.debian.org/debian").rstrip("/")
    security = (security or re.sub(r"/debian$", "/debian-security", main)).rstrip("/")
    return main, security


# --- a private apt ------------------------------------------------------------

class PrivateApt:
    """apt-get and apt-cache with their own sources, state and cache."""

    def __init__(self, workdir: Path, main: str, security: str) -> None:
        self.dir = workdir
        for sub in ("lists/partial", "cache/archives/partial", "etc/parts", "etc/prefs"):
            (workdir / sub).mkdir(parents=True, exist_ok=True)
        sig = f"[signed-by={KEYRING}]"
        (workdir / "etc/sources.list").write_text(
            f"deb-src {sig} {main} {SUITE} main\n"
            f"deb-src {sig} {security} {SUITE}-security main\n"
            f"deb {sig} {main} {SUITE} main\n")
        self.options = [
            f"-oDir::Etc::SourceList={workdir}/etc/sources.list",
            f"-oDir::Etc::SourceParts={workdir}/etc/parts",
            f"-oDir::Etc::Preferences={workdir}/etc/prefs/none",
            f"-oDir::Etc::PreferencesParts={workdir}/etc/prefs",
            f"-oDir::State={workdir}",
            f"-oDir::State::Lists={workdir}/lists",
            f"-oDir::Cache={workdir}/cache",
            "-oDir::State::status=/var/lib/dpkg/status",
            "-oAPT::Sandbox::User=root" if os.geteuid() == 0 else "-oAPT::Sandbox::User=",
            "-oDebug::NoLocking=1",
        ]

    def run(self, tool: str, *args: str) -> str:
        done = subprocess.run([tool, *self.options, *args], capture_output=True, text=True)
        if done.returncode:
            raise SystemExit(f"bootstrap: {tool} {' '.join(args)} failed:\n{done.stderr}")
        return done.stdout

    def update(self) -> None:
        self.run("apt-get", "-qq", "update")

    def source_versions(self, package: str) -> list[str]:
        text = self.run("apt-cache", "showsrc", "--only-source", package)
        versions = {st["version"] for st in _stanzas(text) if "version" in st}
        return sorted(versions, key=_VersionKey, reverse=True)

    def uris(self, *args: str) -> list[tuple[str, str, str]]:
        """(url, file name, sha256) for each file apt would fetch; the hashes come
        from the signed index."""
        out = []
        for line in self.run("apt-get", "-qq", "--print-uris", *args).splitlines():
            m = re.match(r"'([^']+)' (\S+) \d+ (?:\S+ )*?SHA256:([0-9a-f]{64})", line)
            if m:
                out.append((m.group(1), m.group(2), m.group(3)))
        return out


class _VersionKey:
    def __init__(self, version: str) -> None:
        self.version = version

    def __lt__(self, other: "_VersionKey") -> bool:
        return subprocess.run(["dpkg", "--compare-versions", self.version, "lt",
                               other.version]).returncode == 0


# --- downloads ----------------------------------------------------------------

def sha256(path: Path) -> str:
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            h.update(block)
    return h.hexdigest()


def download(url: str, dest: Path) -> bool:
    """Fetch url to dest; False when the server does not have it."""
    try:
        with urllib.request.urlopen(url, timeout=60) as r, open(dest, "wb") as f:
            shutil.copyfileobj(r, f)
        return True
    except urllib.error.HTTPError as e:
        if e.code == 404:
            dest.unlink(missing_ok=True)
            return False
        raise


def fetch_verified(url: str, dest: Path, digest: str) -> bool:
    if not download(url, dest):
        return False
    if sha256(dest) != digest:
        raise SystemExit(f"bootstrap: {dest.name}: SHA-256 does not match the signed index")
    return True


def dsc_hashes(dsc: Path) -> dict[str, str]:
    hashes, inside = {}, False
    for line in dsc.read_text(errors="replace").splitlines():
        if line.startswith("Checksums-Sha256:"):
            inside = True
        elif inside and line.startswith(" "):
            digest, _size, name = line.split()
            hashes[name] = digest
        else:
            inside = False
    return hashes


def fetch_source(apt: PrivateApt, package: str, dest: Path) -> tuple[str, Path]:
    """Download the newest complete revision of a source package and unpack it
    with Debian's patches applied. Returns (version, source tree)."""
    versions = apt.source_versions(package)
    if not versions:
        raise SystemExit(f"bootstrap: no source package {package} in {SUITE}")
    newest = versions[0]
    files = apt.uris("source", "--download-only", f"{package}={newest}")
    missing = [name for url, name, digest in files if not fetch_verified(url, dest / name, digest)]
    version = newest
    if missing:
        # The mirror lists a revision whose packaging files it does not serve yet
        # (seen with a security revision): take the newest earlier revision that
        # is complete, its upstream tarball verified by the index entry above and
        # its packaging by its own .dsc.
        if any(".orig." in name for name in missing):
            raise SystemExit(f"bootstrap: {package} {newest}: upstream tarball missing "
                             f"from the mirror ({', '.join(missing)})")
        known = {name: digest for _u, name, digest in files}
        dsc_url = next(url for url, name, _d in files if name.endswith(".dsc"))
        version = _fallback_revision(package, newest, versions[1:], dsc_url, dest, known)
        warn(f"{package} {newest} is listed but its packaging files are missing from the "
             f"mirror ({', '.join(missing)}); using the newest complete revision, {version}")
    dsc = dest / f"{package}_{_noepoch(version)}.dsc"
    tree = dest / f"{package}-src"
    subprocess.run(["dpkg-source", "--no-check", "-x", str(dsc), str(tree)], check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return version, tree


def _noepoch(version: str) -> str:
    return version.split(":", 1)[-1]


def _fallback_revision(package: str, newest: str, older: list[str], dsc_url: str,
                       dest: Path, known: dict[str, str]) -> str:
    candidates = []
    m = re.match(r"(.*~deb\d+u)(\d+)$", newest)
    if m:
        candidates += [f"{m.group(1)}{n}" for n in range(int(m.group(2)) - 1, 0, -1)]
        candidates.append(re.sub(r"~deb\d+u$", "", m.group(1)))
    candidates += older
    base = dsc_url.rsplit("/", 1)[0]
    dirs = [base]
    for a, b in (("/debian-security/pool/updates/", "/debian/pool/"),
                 ("/debian/pool/", "/debian-security/pool/updates/")):
        if a in base:
            dirs.append(base.replace(a, b))
    for version in filter(None, dict.fromkeys(candidates)):
        name = f"{package}_{_noepoch(version)}.dsc"
        for d in dirs:
            if not download(f"{d}/{name}", dest / name):
                continue
            hashes = dsc_hashes(dest / name)
            # The upstream tarball must be the very one the signed index vouches for.
            if any(n in known and known[n] != h for n, h in hashes.items() if ".orig." in n):
                continue
            ok = True
            for n, h in hashes.items():
                if (dest / n).is_file() and sha256(dest / n) == h:
                    continue
                if not download(f"{d}/{n}", dest / n) or sha256(dest / n) != h:
                    ok = False
                    break
            if ok:
                return version
    raise SystemExit(f"bootstrap: no complete revision of {package} found on the mirror")


# --- the build ----------------------------------------------------------------

def run_logged(cmd: list[str], logfile: Path, env: dict[str, str] | None = None) -> None:
    with open(logfile, "a") as out:
        out.write(f"\n$ {' '.join(cmd)}\n")
        out.flush()
        done = subprocess.run(cmd, stdout=out, stderr=subprocess.STDOUT, env=env)
    if done.returncode:
        tail = "".join(logfile.read_text(errors="replace").splitlines(True)[-40:])
        raise SystemExit(f"bootstrap: build step failed: {' '.join(cmd)}\n{tail}\n"
                         f"bootstrap: full log: {logfile}")


def cmake_build(src: Path, build: Path, prefix: Path, options: list[str],
                logfile: Path, env: dict[str, str]) -> None:
    jobs = str(os.cpu_count() or 2)
    run_logged([CMAKE, "-S", str(src), "-B", str(build), "-G", "Ninja",
                "-DCMAKE_BUILD_TYPE=Release", f"-DCMAKE_INSTALL_PREFIX={prefix}",
                "-DCMAKE_INSTALL_LIBDIR=lib", f"-DCMAKE_INSTALL_RPATH={prefix}/lib",
                f"-DCMAKE_PREFIX_PATH={prefix}", "-DBUILD_SHARED_LIBS=ON",
                "-DBUILD_TESTING=OFF", *options], logfile, env)
    run_logged([CMAKE, "--build", str(build), "-j", jobs], logfile, env)
    run_logged([CMAKE, "--install", str(build)], logfile, env)


HWY_OPTIONS = ["-DHWY_ENABLE_CONTRIB=OFF", "-DHWY_ENABLE_EXAMPLES=OFF", "-DHWY_ENABLE_TESTS=OFF",
               "-DHWY_SYSTEM_GTEST=ON"]
JXL_OPTIONS = [
    "-DJPEGXL_FORCE_SYSTEM_HWY=ON", "-DJPEGXL_FORCE_SYSTEM_BROTLI=ON",
    "-DJPEGXL_FORCE_SYSTEM_LCMS2=ON", "-DJPEGXL_ENABLE_SKCMS=OFF",
    "-DJPEGXL_ENABLE_TOOLS=ON", "-DJPEGXL_ENABLE_DEVTOOLS=OFF",
    "-DJPEGXL_ENABLE_BENCHMARK=OFF", "-DJPEGXL_ENABLE_EXAMPLES=OFF",
    "-DJPEGXL_ENABLE_DOXYGEN=OFF", "-DJPEGXL_ENABLE_MANPAGES=OFF",
    "-DJPEGXL_ENABLE_PLUGINS=OFF", "-DJPEGXL_ENABLE_JNI=OFF", "-DJPEGXL_ENABLE_SJPEG=OFF",
    "-DJPEGXL_ENABLE_OPENEXR=OFF", "-DJPEGXL_ENABLE_JPEGLI=OFF",
    "-DJPEGXL_ENABLE_TCMALLOC=OFF", "-DJPEGXL_ENABLE_FUZZERS=OFF",
    "-DJPEGXL_ENABLE_VIEWERS=OFF", "-DJPEGXL_ENABLE_COVERAGE=OFF",
]


def build(root: Path) -> Path:
    main, security = machine_mirrors()
    work = Path(tempfile.mkdtemp(prefix="work-", dir=root))
    try:
        log(f"locating Debian {SUITE}'s highway and jpeg-xl sources on {main} "
            "(private apt configuration; the system's apt is not touched)")
        apt = PrivateApt(work / "apt", main, security)
        apt.update()
        dl = work / "src"
        dl.mkdir()
        hwy_version, hwy_src = fetch_source(apt, "highway", dl)
        jxl_version, jxl_src = fetch_source(apt, "jpeg-xl", dl)
        testdata = apt.uris("download", "libjxl-testdata")
        if not testdata:
            raise SystemExit("bootstrap: libjxl-testdata not found")
        url, name, digest = testdata[0]
        if not fetch_verified(url, dl / name, digest):
            raise SystemExit(f"bootstrap: {url} not found on the mirror")

        prefix = root / f"libjxl-{jxl_version}+highway-{hwy_version}.{RECIPE}"
        if prefix.exists():
            shutil.rmtree(prefix)
        prefix.mkdir()
        logfile = work / "build.log"
        env = dict(os.environ, PKG_CONFIG_PATH=f"{prefix}/lib/pkgconfig",
                   CC="gcc", CXX="g++")
        t0 = time.monotonic()
        log(f"building highway {hwy_version} (under a minute)")
        cmake_build(hwy_src, work / "build-hwy", prefix, HWY_OPTIONS, logfile, env)
        log(f"building libjxl {jxl_version} (about 10 minutes on 2 cores)")
        cmake_build(jxl_src, work / "build-jxl", prefix, JXL_OPTIONS, logfile, env)
        log("unpacking libjxl-testdata")
        unpacked = work / "testdata"
        subprocess.run(["dpkg-deb", "-x", str(dl / name), str(unpacked)], check=True)
        shutil.move(str(unpacked / "usr/share/libjxl-testdata"), prefix / "share/libjxl-testdata")
        for sub in ("share/doc", "share/man"):
            shutil.rmtree(prefix / sub, ignore_errors=True)
        keep_copyright(prefix, {"highway": hwy_src, "jpeg-xl": jxl_src})
        (prefix / ".complete").write_text(json.dumps({
            "jpeg-xl": jxl_version, "highway": hwy_version, "libjxl-testdata": name,
            "recipe": RECIPE, "mirror": main, "seconds": round(time.monotonic() - t0),
        }, indent=1) + "\n")
        log(f"libjxl {jxl_version} ready in {prefix} ({time.monotonic() - t0:.0f} s)")
        return prefix
    finally:
        shutil.rmtree(work, ignore_errors=True)


def keep_copyright(prefix: Path, sources: dict[str, Path]) -> None:
    """Debian's copyright file of each source package (every upstream licence
    that applies, collected by the maintainers) into share/doc/<source>/, as a
    Debian package installs it: binary wheels carry the libraries, and their
    licences must travel with them."""
    for package, tree in sources.items():
        doc = prefix / "share" / "doc" / package
        doc.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(tree / "debian" / "copyright", doc / "copyright")


def add_copyright(prefix: Path) -> None:
    """keep_copyright for a prefix built before copyright files were kept."""
    main, security = machine_mirrors()
    work = Path(tempfile.mkdtemp(prefix="work-", dir=prefix.parent))
    try:
        apt = PrivateApt(work / "apt", main, security)
        apt.update()
        sources = {}
        for package in ("highway", "jpeg-xl"):
            dl = work / package
            dl.mkdir()
            sources[package] = fetch_source(apt, package, dl)[1]
        keep_copyright(prefix, sources)
    finally:
        shutil.rmtree(work, ignore_errors=True)


def main() -> int:
    root = deps_root()
    args = sys.argv[1:]
    if args == ["--licenses"]:
        found = complete_prefixes(root) if root.is_dir() else []
        if not found:
            raise SystemExit("bootstrap: no complete prefix to add copyright files to")
        if not all((found[-1] / "share/doc" / p / "copyright").is_file()
                   for p in ("highway", "jpeg-xl")):
            log(f"fetching the copyright files of highway and jpeg-xl for {found[-1]}")
            add_copyright(found[-1])
        return 0
    if args == ["--clean"]:
        if root.exists():
            shutil.rmtree(root)
            log(f"removed {root}")
        return 0
    found = complete_prefixes(root) if root.is_dir() else []
    if args == ["--find"]:
        if found:
            print(found[-1])
            return 0
        return 1
    if found:
        print(found[-1])
        return 0
    root.mkdir(parents=True, exist_ok=True)
    with open(root / ".lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        found = complete_prefixes(root)  # another clone may have built it meanwhile
        if not found:
            for stale in root.glob("libjxl-*"):
                log(f"removing the half-built {stale.name}")
                shutil.rmtree(stale, ignore_errors=True)
            for stale in root.glob("work-*"):
                shutil.rmtree(stale, ignore_errors=True)
            found = [build(root)]
    print(found[-1])
    return 0


if __name__ == "__main__":
    sys.exit(main())
