"""The installed tree, as the package or `cmake --install` lays it out under ROOT/usr, checked
from there: usage installed_tree.py ROOT DATA VERSION [--qt5] [--pixbuf] [--thumbnails].

- every file the package installs is there, and the plugins and the loader export nothing but
  their entry points;
- chronolith-image --version names VERSION, and --help lists the commands of its manual page;
- the desktop entry and the AppStream metadata validate;
- the shared MIME database, built from the installed MIME package alone (update-mime-database
  in a temporary XDG_DATA_DIRS), maps Paintshop Pro and Dr. Halo files to their new types;
- with --thumbnails, gdk-pixbuf-thumbnailer makes PNG thumbnails of Photoshop, PCX, SGI and
  Paintshop Pro files through the installed loader (a loaders cache made for ROOT), whose colours
  are the image's.
DATA is tests/data/formats."""
import gzip
import os
import re
import shutil
import subprocess
import sys
import tempfile

from PIL import Image

QUERY_LOADERS = "/usr/lib/x86_64-linux-gnu/gdk-pixbuf-2.0/gdk-pixbuf-query-loaders"
SYSTEM_LOADERS = "/usr/lib/x86_64-linux-gnu/gdk-pixbuf-2.0/2.10.0/loaders.cache"
APP_ID = "org.chronolith.Chronolith"
QT_PLUGIN = "lib/x86_64-linux-gnu/qt{}/plugins/imageformats/libchronolith_imageformats.so"
LOADER = "lib/x86_64-linux-gnu/gdk-pixbuf-2.0/2.10.0/loaders/libpixbufloader-chronolith.so"

failures = []


def check(condition, message):
    if not condition:
        failures.append(message)


def run(*command, **options):
    return subprocess.run(command, capture_output=True, text=True, **options)


def installed_files(usr, qt5, pixbuf):
    files = [
        "bin/chronolith-image", "bin/chronolith", "share/thumbnailers/chronolith.thumbnailer",
        "share/mime/packages/chronolith.xml", f"share/applications/{APP_ID}.desktop",
        f"share/metainfo/{APP_ID}.metainfo.xml", f"share/icons/hicolor/scalable/apps/{APP_ID}.svg",
        "share/man/man1/chronolith-image.1.gz", "share/man/man1/chronolith.1.gz",
        "share/doc/chronolith/copyright", "share/doc/chronolith/changelog.gz", QT_PLUGIN.format(6),
    ]
    files += [f"share/icons/hicolor/{n}x{n}/apps/{APP_ID}.png" for n in (16, 24, 32, 48, 64, 128, 256)]
    if qt5:
        files.append(QT_PLUGIN.format(5))
    if pixbuf:
        files.append(LOADER)
    for name in files:
        check(os.path.isfile(os.path.join(usr, name)), f"missing: {name}")
    for name in ("bin/chronolith-image", "bin/chronolith"):
        check(os.access(os.path.join(usr, name), os.X_OK), f"not executable: {name}")
    check(os.path.isfile(os.path.join(usr, "share/chronolith/calendar/Donnees.ini")),
          "no sample calendar")
    for size in (16, 256):
        path = os.path.join(usr, f"share/icons/hicolor/{size}x{size}/apps/{APP_ID}.png")
        if os.path.isfile(path):
            check(Image.open(path).size == (size, size), f"icon of {size} pixels has another size")


def exported_symbols(usr, qt5, pixbuf):
    allowed = {
        QT_PLUGIN.format(6): {"qt_plugin_instance", "qt_plugin_query_metadata_v2"},
        QT_PLUGIN.format(5): {"qt_plugin_instance", "qt_plugin_query_metadata"},
        LOADER: {"fill_info", "fill_vtable"},
    }
    if not qt5:
        del allowed[QT_PLUGIN.format(5)]
    if not pixbuf:
        del allowed[LOADER]
    for name, entries in allowed.items():
        output = run("nm", "-D", "--defined-only", os.path.join(usr, name)).stdout
        # 'u': the C++ library's unique template data, shared by every user of libstdc++; the
        # type information of Qt's own classes that the undefined-behaviour sanitizer emits.
        names = {fields[2] for fields in (line.split() for line in output.splitlines())
                 if len(fields) == 3 and fields[1] != "u" and
                 not re.match(r"_ZT[IS]\d+Q", fields[2])}
        names -= {"_edata", "_end", "__bss_start"}
        check(names == entries, f"{name} exports {sorted(names - entries)}")


def tool_and_manual(usr, version):
    tool = os.path.join(usr, "bin/chronolith-image")
    result = run(tool, "--version")
    check(result.returncode == 0 and result.stdout == f"chronolith-image {version}\n",
          f"--version printed {result.stdout!r}")
    result = run(tool, "--help")
    listed = set(re.findall(r"^  (\w+)", result.stdout, re.M))
    with gzip.open(os.path.join(usr, "share/man/man1/chronolith-image.1.gz"), "rt") as manual:
        synopsis = manual.read().split(".SH SYNOPSIS")[1].split(".SH")[0]
    documented = set(re.findall(r"^\.B chronolith-image (\w+)", synopsis, re.M))
    check(result.returncode == 0 and listed and listed == documented,
          f"--help lists {sorted(listed)}, the manual page {sorted(documented)}")


def validators(usr):
    desktop = os.path.join(usr, f"share/applications/{APP_ID}.desktop")
    result = run("desktop-file-validate", desktop)
    problems = [line for line in result.stdout.splitlines() if ": hint: " not in line]
    check(result.returncode == 0 and not problems, f"desktop-file-validate: {result.stdout}")
    metainfo = os.path.join(usr, f"share/metainfo/{APP_ID}.metainfo.xml")
    result = run("appstreamcli", "validate", "--no-net", "--no-color", metainfo)
    check(result.returncode == 0, f"appstreamcli validate: {result.stdout}")


def mime_types(usr, data, scratch):
    mime = os.path.join(scratch, "share/mime")
    shutil.copytree(os.path.join(usr, "share/mime/packages"), os.path.join(mime, "packages"))
    result = run("update-mime-database", mime)
    check(result.returncode == 0, f"update-mime-database: {result.stderr}")
    environment = dict(os.environ, XDG_DATA_DIRS=f"{scratch}/share:/usr/share",
                       XDG_CURRENT_DESKTOP="GNOME")
    for name, expected in (("psp/psp3_p8_none.psp", "image/x-paintshop-pro"),
                           ("cut/colors300.cut", "image/x-dr-halo-cut")):
        result = run("xdg-mime", "query", "filetype", os.path.join(data, name), env=environment)
        check(result.stdout.strip() == expected, f"{name}: type {result.stdout.strip()!r}")
    return environment


def mean_colour(image):
    pixels = list(image.convert("RGBA").getdata())
    return [sum(p[c] for p in pixels) / len(pixels) for c in range(4)]


def thumbnails(usr, data, scratch, environment):
    cache = os.path.join(scratch, "loaders.cache")
    ours = run(QUERY_LOADERS, os.path.join(usr, LOADER))
    check(ours.returncode == 0 and '"chronolith"' in ours.stdout, f"query-loaders: {ours.stderr}")
    with open(SYSTEM_LOADERS) as system, open(cache, "w") as out:
        out.write(system.read() + "\n" + ours.stdout)
    environment = dict(environment, GDK_PIXBUF_MODULE_FILE=cache)
    tool = os.path.join(usr, "bin/chronolith-image")
    for name in ("psd/im_rgba_rle.psd", "pcx/im_palette.pcx", "sgi/im_gray.sgi",
                 "psp/psp5_rgba_lz77.psp"):
        out = os.path.join(scratch, os.path.basename(name) + ".png")
        result = run("gdk-pixbuf-thumbnailer", "-s", "64", os.path.join(data, name), out,
                     env=environment)
        if result.returncode != 0 or not os.path.isfile(out):
            failures.append(f"{name}: no thumbnail: {result.stderr.strip()}")
            continue
        reference = os.path.join(scratch, os.path.basename(name) + ".ref.png")
        run(tool, "convert", os.path.join(data, name), reference)
        thumbnail, image = Image.open(out), Image.open(reference)
        check(thumbnail.format == "PNG" and max(thumbnail.size) == 64,
              f"{name}: thumbnail {thumbnail.format} {thumbnail.size}")
        got, want = mean_colour(thumbnail), mean_colour(image)
        check(all(abs(g - w) < 8 for g, w in zip(got, want)),
              f"{name}: mean colour {got} instead of {want}")


def main(root, data, version, flags):
    usr = os.path.join(root, "usr")
    qt5, pixbuf = "--qt5" in flags, "--pixbuf" in flags
    installed_files(usr, qt5, pixbuf)
    exported_symbols(usr, qt5, pixbuf)
    tool_and_manual(usr, version)
    validators(usr)
    with tempfile.TemporaryDirectory() as scratch:
        environment = mime_types(usr, data, scratch)
        if "--thumbnails" in flags:
            thumbnails(usr, data, scratch, environment)
    for failure in failures:
        print(failure)
    print(f"{len(failures)} failures")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4:]))
