# The Debian package: cpack -G DEB in a build configured with
# -DCMAKE_INSTALL_PREFIX=/usr (the programs keep the decoder's path and the
# node's unit its settings' path from the prefix they were built for).
set(CPACK_PACKAGE_NAME ${DGC_PACKAGE_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT
    "DICOM Data Converter developers <maintainers@users.noreply.c-seed-553e7b29.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "convert gated SPECT DICOM studies into Gated SPECT Data files")
set(CPACK_PACKAGE_DESCRIPTION_FILE ${CMAKE_CURRENT_LIST_DIR}/debian/description)
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "xchm, xdg-utils")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

# The scripts that create the decoder helpers' system user and, with the
# node's service, the node's user and spool on install and stop the node on
# removal; the node's conffile. The service is never enabled or started by
# the package.
set(script_dir ${CMAKE_BINARY_DIR}/packaging/debian)
foreach(script postinst prerm postrm)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/debian/${script}.in ${script_dir}/${script} @ONLY)
endforeach()
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${script_dir}/postinst ${script_dir}/prerm
                                       ${script_dir}/postrm)
if(DGC_NODE_CONFIG_PATH)
  file(WRITE ${script_dir}/conffiles "${DGC_NODE_CONFIG_PATH}\n")
  list(APPEND CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${script_dir}/conffiles)
endif()
set(CPACK_DEBIAN_PACKAGE_DEPENDS adduser)

# Why the helpers are installed 0711, for lintian (a package's overrides).
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/debian/lintian-overrides
          DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME ${DGC_PACKAGE_NAME})
endif()

# Checked when cpack runs, so that a package never carries wrong paths or a
# changelog of another version.
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_BINARY_DIR}/packaging/cpack_checks.cmake)
set(DGC_PACKAGE_CHANGELOG ${CMAKE_CURRENT_LIST_DIR}/debian/changelog)
configure_file(${CMAKE_CURRENT_LIST_DIR}/cpack_checks.cmake.in ${CPACK_PROJECT_CONFIG_FILE} @ONLY)

include(CPack)
