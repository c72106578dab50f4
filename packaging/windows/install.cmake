# A Windows installation: one folder with the programs and the guide beside
# them (the Help button opens dicom.chm there), and doc/ with the README,
# the copyright and the guide as one HTML page. Its packages, made from that
# folder as `cmake --install` fills it (target windows_packages):
#   dicom-data-converter-VERSION-x64.msi   wixl, from dicom-data-converter.wxs
#   dicom-data-converter-VERSION-x64.zip   the same folder, for sites that do not install
# Included at the end of the top-level CMakeLists.txt in a Windows build.
set(DGC_PACKAGE_NAME dicom-data-converter)
install(FILES ${CMAKE_SOURCE_DIR}/README.md ${CMAKE_SOURCE_DIR}/packaging/debian/copyright
        DESTINATION doc)
install(FILES ${CMAKE_SOURCE_DIR}/app/help/src/index.html DESTINATION doc RENAME dicom.html)

set(stage ${CMAKE_BINARY_DIR}/packages/${DGC_PACKAGE_NAME}-${PROJECT_VERSION}-x64)
set(msi ${CMAKE_BINARY_DIR}/packages/${DGC_PACKAGE_NAME}-${PROJECT_VERSION}-x64.msi)
set(zip ${CMAKE_BINARY_DIR}/packages/${DGC_PACKAGE_NAME}-${PROJECT_VERSION}-x64.zip)
# Programs and Features' icon: the window's (app/), from the stage too.
file(RELATIVE_PATH icon ${stage} ${CMAKE_BINARY_DIR}/app/dicom-converter.ico)
find_program(DGC_WIXL wixl)
if(DGC_WIXL)
  add_custom_target(windows_packages
    COMMAND ${CMAKE_COMMAND} -E rm -rf ${stage} ${msi} ${zip}
    COMMAND ${CMAKE_COMMAND} --install ${CMAKE_BINARY_DIR} --prefix ${stage} --strip
    # wixl finds the files by paths relative to where it runs.
    COMMAND ${CMAKE_COMMAND} -E chdir ${stage}
            ${DGC_WIXL} -a x64 -D Version=${PROJECT_VERSION} -D SourceDir=.
            -D IconFile=${icon} -o ${msi}
            ${CMAKE_CURRENT_LIST_DIR}/dicom-data-converter.wxs
    COMMAND ${CMAKE_COMMAND} -E chdir ${CMAKE_BINARY_DIR}/packages
            ${CMAKE_COMMAND} -E tar cf ${zip} --format=zip
            ${DGC_PACKAGE_NAME}-${PROJECT_VERSION}-x64
    DEPENDS ${CMAKE_CURRENT_LIST_DIR}/dicom-data-converter.wxs
    COMMENT "The MSI and the zip of the Windows installation"
    VERBATIM)
  add_dependencies(windows_packages dicom2gsd gsdinfo ${DGC_HELPERS})
  if(TARGET dicom-converter)
    add_dependencies(windows_packages dicom-converter)
  endif()
endif()
