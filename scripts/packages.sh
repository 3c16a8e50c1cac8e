# Debian 12 packages that building and running WinOrvex need (sourced by the scripts).
# libssl-dev: OpenSSL's libcrypto computes the MD5 and SHA-1 of scanned files.
BUILD_PACKAGES=(cmake ninja-build g++ pkg-config qt6-base-dev qt6-base-dev-tools
                libqt6sql6-sqlite qt6-qpa-plugins libgl-dev fonts-dejavu-core libssl-dev)
# What `cpack -G DEB` needs to build the Debian package: dpkg-shlibdeps computes
# the library dependencies.
PACKAGE_PACKAGES=(dpkg-dev file)
# What the tests need besides: python3 reads exported tables back with its csv module;
# setpriv (util-linux) drops privileges for the permission tests; ps (procps) is what
# bench_processes measures the process snapshot against; desktop-file-validate,
# appstreamcli and groff/man check the desktop entry, the metainfo and the manual page;
# gio (libglib2.0-bin) launches the autostart entry the way GNOME does.
TEST_PACKAGES=(python3 util-linux procps desktop-file-utils appstream groff-base man-db
               libglib2.0-bin)
