#!/bin/sh
# Unpacks the Debian source packages of RE2 and utf8proc into FOLDER for the Windows build, in the
# versions the Linux build links (those of libre2-dev and libutf8proc-dev), and regenerates the
# three RE2 tables that Debian's source leaves out. Needs root the first time, to let apt fetch
# source packages.
#
#   windows/third_party.sh FOLDER
set -eu
folder=$1
mkdir -p "$folder"
cd "$folder"

have_sources() {
    ls -d re2-*/re2/unicode_groups.cc utf8proc-*/utf8proc.c >/dev/null 2>&1
}
have_sources && exit 0

# apt fetches source packages only from deb-src entries: add one for each deb entry when none is
# configured yet.
if ! apt-cache showsrc re2 2>/dev/null | grep -q '^Package: re2'; then
    if [ -f /etc/apt/sources.list.d/debian.sources ]; then
        sed 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources \
            > /etc/apt/sources.list.d/swp-deb-src.sources
    else
        grep -h '^deb ' /etc/apt/sources.list | sed 's/^deb /deb-src /' > /etc/apt/sources.list.d/swp-deb-src.list
    fi
    apt-get update -qq
fi

rm -rf re2-* utf8proc-* re2_* utf8proc_*
re2_version=$(dpkg-query -W -f '${source:Version}' libre2-dev)
utf8proc_version=$(dpkg-query -W -f '${source:Version}' libutf8proc-dev)
apt-get source -qq "re2=$re2_version" "utf8proc=$utf8proc_version"

# As Debian's build does (REBUILD_TABLES=1), from the Unicode data of the unicode-data package.
cd re2-*/
perl re2/make_perl_groups.pl > re2/perl_groups.cc
python3 re2/make_unicode_casefold.py > re2/unicode_casefold.cc
python3 re2/make_unicode_groups.py > re2/unicode_groups.cc
cd ..
have_sources
