# The Debian package of the three programs (`cpack -G DEB` in a build folder configured with
# CMAKE_INSTALL_PREFIX=/usr; scripts/package makes a release build and runs it). Everything
# `cmake --install` puts in place goes in, the rights file as a conffile; the maintainer scripts
# in cmake/debian make the group, the extension's user and the folders, and enable the helper's
# socket.
include(GNUInstallDirs)

set(KIV_PACKAGE_MAINTAINER "Brannock Cloud KIV maintainers <kiv-maintainers@brannockcloud.com>"
    CACHE STRING "Maintainer field of the Debian package")
if(NOT CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  message(STATUS "Debian package: the units name programs below ${CMAKE_INSTALL_PREFIX}; "
                 "configure with -DCMAKE_INSTALL_PREFIX=/usr to package")
endif()

# A package's documentation folder holds its copyright and changelog, the changelog compressed
# reproducibly (no name, no time stamp; its date is $SOURCE_DATE_EPOCH when set).
set(doc ${CMAKE_CURRENT_BINARY_DIR}/package-doc)
file(MAKE_DIRECTORY ${doc})
string(TIMESTAMP KIV_PACKAGE_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
file(WRITE ${doc}/changelog.Debian
"kiv (${KIV_BUNDLE_SHORT_VERSION}-${KIV_BUNDLE_VERSION}) stable; urgency=medium

  * Brannock Cloud KIV roaming agent ${KIV_BUNDLE_SHORT_VERSION}.

 -- ${KIV_PACKAGE_MAINTAINER}  ${KIV_PACKAGE_DATE}
")
execute_process(COMMAND gzip -9nf ${doc}/changelog.Debian COMMAND_ERROR_IS_FATAL ANY)
install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/cmake/debian/copyright ${doc}/changelog.Debian.gz
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/kiv)

# `cpack` and `ninja install` install what is built (the three programs) rather than building
# every test and benchmark first.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kiv)
set(CPACK_PACKAGE_VERSION ${KIV_BUNDLE_SHORT_VERSION})
set(CPACK_DEBIAN_PACKAGE_RELEASE ${KIV_BUNDLE_VERSION})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_PACKAGE_CONTACT ${KIV_PACKAGE_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${KIV_PACKAGE_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Brannock Cloud KIV roaming agent (DNS filtering)")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Keeps every DNS query of the computer flowing to the Brannock Cloud filtering
resolvers, tagged with the device's identity and location. The managing
application (brannockcloud) registers the device and configures the DNS-proxy
extension (kivdnsproxy); a privileged helper (kivhelper) changes DNS settings,
trusts the service's certificate authority and keeps the settings file.")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://brannockcloud.com/")
# The libraries from dpkg-shlibdeps; the maintainer scripts' systemd tools, the trust-store
# update and the units' manager named here.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "systemd, ca-certificates, passwd")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "polkitd, dbus")
set(CPACK_STRIP_FILES ON)
# The rights file lives in /etc whatever the prefix's rule says (helper/CMakeLists.txt): staged
# with DESTDIR, so that its absolute path lands in the package.
set(CPACK_SET_DESTDIR ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
configure_file(${CMAKE_CURRENT_SOURCE_DIR}/cmake/debian/conffiles.in ${CMAKE_CURRENT_BINARY_DIR}/debian/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${CMAKE_CURRENT_BINARY_DIR}/debian/conffiles
    ${CMAKE_CURRENT_SOURCE_DIR}/cmake/debian/postinst
    ${CMAKE_CURRENT_SOURCE_DIR}/cmake/debian/prerm
    ${CMAKE_CURRENT_SOURCE_DIR}/cmake/debian/postrm)
include(CPack)
