# Debian 12 packages that building and running WinOrvex need (sourced by the scripts).
BUILD_PACKAGES=(cmake ninja-build g++ pkg-config qt6-base-dev qt6-base-dev-tools
                libqt6sql6-sqlite qt6-qpa-plugins libgl-dev fonts-dejavu-core)
# What the tests need besides: python3 reads exported tables back with its csv module;
# setpriv (util-linux) drops privileges for the permission tests; ps (procps) is what
# bench_processes measures the process snapshot against; gio (libglib2.0-bin) launches the
# autostart entry the way GNOME does.
TEST_PACKAGES=(python3 util-linux procps libglib2.0-bin)
