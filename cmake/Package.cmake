# The Debian package of the whole product ("cpack -G DEB" in the build folder): the
# programs and default resources under /opt/morvek, the systemd units of the agent as
# initiator and as helper, and the maintainer scripts that make the agent's system
# account and state folder on install and remove them on purge.
set(MORVEK_PACKAGE_PREFIX /opt/morvek)
set(MORVEK_STATE_FOLDER /var/lib/morvek)
set(deb ${PROJECT_SOURCE_DIR}/packaging/deb)

# Only the package gets the files outside its prefix and the links into the state
# folder; "cmake --install" of a private prefix leaves them out. file(INSTALL) puts
# DESTDIR before an absolute destination itself.
install(CODE "
  set(prefix \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}\")
  file(INSTALL \"${deb}/morvek-agent.service\" \"${deb}/morvek-helper.service\"
       DESTINATION \"/lib/systemd/system\" FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
  file(INSTALL \"${deb}/morvek-helper.default\" DESTINATION \"/etc/default\"
       RENAME morvek-helper FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
  file(INSTALL \"${deb}/morvek.profile.sh\" DESTINATION \"/etc/profile.d\"
       RENAME morvek.sh FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
  file(MAKE_DIRECTORY \"\${prefix}/bin\" \"\${prefix}/lib/morvek\")
  file(CREATE_LINK \"${MORVEK_STATE_FOLDER}/Logs\" \"\${prefix}/bin/Logs\" SYMBOLIC)
  file(CREATE_LINK \"${MORVEK_STATE_FOLDER}/History\" \"\${prefix}/lib/morvek/History\" SYMBOLIC)
  " COMPONENT system EXCLUDE_FROM_ALL)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME morvek)
set(CPACK_PACKAGE_VENDOR Tavrix)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Tavrix <morvek@tavrix.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Morvek build accelerator: console, agent and build system")
set(CPACK_PACKAGING_INSTALL_PREFIX ${MORVEK_PACKAGE_PREFIX})
set(CPACK_COMPONENTS_ALL Unspecified system)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "passwd")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "distcc")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${deb}/postinst ${deb}/prerm ${deb}/postrm ${deb}/conffiles)
include(CPack)
