# `cpack -G DEB` in a Release build folder makes the Debian package of what the install rules
# install: the viewer, its desktop entry, icons and metainfo, its manual page, and the copyright
# file and changelog (package/).

set(CPACK_PACKAGE_NAME fractal-viewer)
set(CPACK_PACKAGE_VENDOR "${FRACTAL_DEVELOPER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Interactive viewer of the Mandelbrot set")
set(CPACK_PACKAGE_CONTACT "${FRACTAL_DEVELOPER} <${FRACTAL_CONTACT}>")
set(CPACK_PACKAGE_HOMEPAGE_URL "${FRACTAL_HOMEPAGE}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
# The long description; CPack puts the summary above it as the synopsis. One line here is one
# line of the control file, each under 80 columns; an empty line separates paragraphs.
string(CONCAT CPACK_DEBIAN_PACKAGE_DESCRIPTION
       "One window shows a 400 x 400-pixel picture of the set, drawn row by row by\n"
       "the escape-time method: points that escape in shades of red, the set itself\n"
       "in black. Each click magnifies the picture two times about the point under\n"
       "the pointer and doubles the iteration cap, also in the middle of a drawing.\n"
       "Every picture is bit-identical on every machine.\n"
       "\n"
       "The viewer runs on X11, and natively on Wayland.")
# The libraries the viewer links come from dpkg-shlibdeps. SDL loads the rest only when it needs
# them, which dpkg-shlibdeps cannot see: on Wayland, the title bar is drawn by libdecor's plugin
# (the compositor may draw none; SDL's package only recommends it), and the picture is presented
# through EGL and OpenGL, which Mesa's drivers run (in software where there is no GPU).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libdecor-0-plugin-1-cairo, libegl1, libgl1, libgl1-mesa-dri")

include(CPack)
