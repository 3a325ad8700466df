#!/bin/sh
# Builds the Debian package of what "make install" installs, then checks it with lintian.
# Usage: sh packaging/make_deb.sh BUILD_FOLDER [STAGE_FOLDER]
# (swp-host, swp-search and the manual pages already built in BUILD_FOLDER; the package goes to
# STAGE_FOLDER, BUILD_FOLDER/deb by default; LINTIAN=no leaves the check out)
set -eu
build=$(cd "$1" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
stage=${2:-"$build/deb"}
mkdir -p "$stage"
stage=$(cd "$stage" && pwd)
root="$stage/root"
rm -rf "$stage"
mkdir -p "$root/DEBIAN" "$stage/debian"

DESTDIR="$root" cmake --install "$build" --prefix /usr --strip >/dev/null
# Debian keeps units in /lib/systemd/system and its manual pages compressed.
mkdir -p "$root/lib/systemd"
mv "$root/usr/lib/systemd/system" "$root/lib/systemd/system"
rmdir "$root/usr/lib/systemd"
gzip -9n "$root/usr/share/man/man1/swp-host.1" "$root/usr/share/man/man1/swp-search.1"

version=$("$build/swp-host" --version | sed 's/^swp-host //')
arch=$(dpkg --print-architecture)
# The package's dates are those of the sources: the last commit, or now outside a git clone.
last=${SOURCE_DATE_EPOCH:-$(git -C "$here" log -1 --format=%ct 2>/dev/null || date +%s)}
first=$(git -C "$here" log --reverse --format=%ct 2>/dev/null | head -n 1)
years=$(date -u -d @"${first:-$last}" +%Y)
[ "$(date -u -d @"$last" +%Y)" = "$years" ] || years="$years-$(date -u -d @"$last" +%Y)"
doc="$root/usr/share/doc/swp-host"
mkdir -p "$doc" "$root/usr/share/lintian/overrides"
cp "$here/debian/lintian-overrides" "$root/usr/share/lintian/overrides/swp-host"
sed "s/@YEARS@/$years/" "$here/debian/copyright" > "$doc/copyright"
sed "s/@VERSION@/$version/; s/@DATE@/$(date -R -u -d @"$last")/" "$here/debian/changelog" | gzip -9n > "$doc/changelog.gz"

# The libraries the package needs from other packages; its own two are found in its own folder.
printf 'Source: swp-host\n\nPackage: swp-host\nArchitecture: any\n' > "$stage/debian/control"
depends=$(cd "$stage" && dpkg-shlibdeps -O -lroot/usr/lib/swp-host root/usr/bin/swp-host root/usr/bin/swp-search \
          root/usr/lib/swp-host/libswp.so root/usr/lib/swp-host/libwin32.so 2>/dev/null | sed -n 's/^shlibs:Depends=//p')
size=$(du -sk --exclude=DEBIAN "$root" | cut -f1)
sed "s/@VERSION@/$version/; s/@ARCH@/$arch/; s/@DEPENDS@/$depends/; s/@SIZE@/$size/" "$here/debian/control" \
    > "$root/DEBIAN/control"
echo /etc/swp-host/settings.ini > "$root/DEBIAN/conffiles"
# The service's life with the package: enabled and started on installation, restarted after an
# upgrade, stopped on removal, its state and settings removed on purge.
for script in postinst prerm postrm; do
    install -m 755 "$here/debian/$script" "$root/DEBIAN/$script"
done
(cd "$root" && find . -path ./DEBIAN -prune -o -type f -printf '%P\0' | LC_ALL=C sort -z | xargs -0 md5sum) \
    > "$root/DEBIAN/md5sums"
chmod -R u+rwX,go+rX,go-w "$root"
chmod 600 "$root/etc/swp-host/settings.ini"  # it may hold the password

package="$stage/swp-host_${version}_${arch}.deb"
dpkg-deb --root-owner-group -Zxz --build "$root" "$package" >/dev/null
echo "built $package"
if [ "${LINTIAN:-yes}" != no ] && command -v lintian >/dev/null 2>&1; then
    lintian --fail-on error,warning "$package"
    echo "lintian: no errors or warnings"
fi
