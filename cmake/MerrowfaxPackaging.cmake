# Debian packages from the install components (scripts/package runs cpack):
#   app   -> merrowfax        the window, merrowfax-cli, desktop entry, icon,
#                             metainfo, their man pages
#   relay -> merrowfax-relay  the relay service, its man page, systemd unit and
#                             configuration file (a conffile)
# Library dependencies come from dpkg-shlibdeps; what the window loads at run
# time (QML modules, plugins, icons) is listed here.

set(MERROWFAX_HOMEPAGE "https://merrowfax.net" CACHE STRING "Homepage named by the packages")
set(MERROWFAX_MAINTAINER "Merrowfax developers <packages@merrowfax.net>" CACHE STRING
    "Maintainer named by the packages")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME merrowfax)
set(CPACK_PACKAGE_VENDOR Merrowfax)
set(CPACK_PACKAGE_CONTACT "${MERROWFAX_MAINTAINER}")
set(CPACK_PACKAGE_HOMEPAGE_URL "${MERROWFAX_HOMEPAGE}")
# No CPACK_PACKAGE_DESCRIPTION_SUMMARY: each package's description below
# starts with its own summary line.
# The packages keep the build's own paths: the unit and the configuration
# file name them (/usr and /etc when configured with the prefix /usr).
set(CPACK_PACKAGING_INSTALL_PREFIX "${CMAKE_INSTALL_PREFIX}")
set(CPACK_STRIP_FILES ON)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL app)
if(TARGET merrowfax-relay)
    list(APPEND CPACK_COMPONENTS_ALL relay)
endif()
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${MERROWFAX_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_DEBIAN_APP_PACKAGE_NAME merrowfax)
set(CPACK_COMPONENT_APP_DESCRIPTION
    "Texts, calls and walkie-talkie between Merrowfax numbers
Merrowfax gives you a virtual number that works between Merrowfax users.
Between two numbers it carries texts, photos, files and voice messages, voice
and video calls, a push-to-talk walkie-talkie and screen sharing with remote
control. Devices on the same network talk directly; elsewhere a relay service
carries the traffic.

This package holds the window (merrowfax) and the same application without a
window for scripts and bots (merrowfax-cli).")
if(MERROWFAX_APP)
    # Loaded by the window at run time, so no library dependency names them.
    string(JOIN ", " CPACK_DEBIAN_APP_PACKAGE_DEPENDS
        qml6-module-qtquick qml6-module-qtquick-window qml6-module-qtquick-controls
        qml6-module-qtquick-templates qml6-module-qtquick-layouts qml6-module-qtquick-dialogs
        qml6-module-qtqml-workerscript qml6-module-qtqml-models
        qml6-module-qt-labs-folderlistmodel libqt6svg6 adwaita-icon-theme)
    string(JOIN ", " CPACK_DEBIAN_APP_PACKAGE_RECOMMENDS
        sound-theme-freedesktop libcanberra-pulse "pulseaudio | pipewire-pulse"
        gstreamer1.0-plugins-good avahi-daemon)
endif()

set(CPACK_DEBIAN_RELAY_PACKAGE_NAME merrowfax-relay)
set(CPACK_COMPONENT_RELAY_DESCRIPTION
    "Merrowfax relay service
The service that carries Merrowfax traffic between devices that are not on
the same network: one WebSocket per device for records, presence and call
media, the public directory and the signed statements that prove a number on
a local network. One process on one port; storage in SQLite.

The systemd unit merrowfax-relay.service runs it with
/etc/merrowfax-relay/relay.conf; it is not enabled on install.")
set(CPACK_DEBIAN_RELAY_PACKAGE_CONTROL_EXTRA
    ${PROJECT_BINARY_DIR}/debian/merrowfax-relay/postinst
    ${PROJECT_BINARY_DIR}/debian/merrowfax-relay/prerm
    ${PROJECT_BINARY_DIR}/debian/merrowfax-relay/postrm
    ${PROJECT_BINARY_DIR}/debian/merrowfax-relay/conffiles)

include(CPack)

# Everything the packages hold, without the tests: what scripts/package builds.
add_custom_target(merrowfax_package_files)
foreach(target IN ITEMS merrowfax merrowfax-cli merrowfax-relay merrowfax_man)
    if(TARGET ${target})
        add_dependencies(merrowfax_package_files ${target})
    endif()
endforeach()
