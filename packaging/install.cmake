# What an installation holds besides the programs: manual pages, the
# package's documents, the .gsd file type, the icon, bash completion and the
# DICOM node's service. Included at the end of the top-level CMakeLists.txt,
# once every program's target is known.
set(DGC_PACKAGE_NAME dicom-data-converter)
set(DGC_DOC_DIR ${CMAKE_INSTALL_DATADIR}/doc/${DGC_PACKAGE_NAME})
find_program(DGC_GZIP gzip REQUIRED)

# A file compressed as Debian wants it (gzip -9n: no name, no time stamp, so
# that the same source gives the same bytes), installed to destination.
set(DGC_GZIPPED_FILES)
function(dgc_install_gzipped source name destination)
  set(copy ${CMAKE_BINARY_DIR}/packaging/gz/${name})
  add_custom_command(OUTPUT ${copy}.gz
    COMMAND ${CMAKE_COMMAND} -E copy ${source} ${copy}
    COMMAND ${DGC_GZIP} -9nf ${copy}
    DEPENDS ${source}
    VERBATIM)
  set(DGC_GZIPPED_FILES ${DGC_GZIPPED_FILES} ${copy}.gz PARENT_SCOPE)
  install(FILES ${copy}.gz DESTINATION ${destination})
endfunction()

# One manual page per installed program.
set(DGC_MANUAL_PAGES dicom2gsd gsdinfo dicom-decode dicom-decode-gdcm)
foreach(program dicom-converter gsd-node)
  if(TARGET ${program})
    list(APPEND DGC_MANUAL_PAGES ${program})
  endif()
endforeach()
foreach(program ${DGC_MANUAL_PAGES})
  dgc_install_gzipped(${CMAKE_SOURCE_DIR}/man/${program}.1 ${program}.1
                      ${CMAKE_INSTALL_MANDIR}/man1)
endforeach()

dgc_install_gzipped(${CMAKE_SOURCE_DIR}/packaging/debian/changelog changelog ${DGC_DOC_DIR})
add_custom_target(dgc_gzipped_files ALL DEPENDS ${DGC_GZIPPED_FILES})
install(FILES ${CMAKE_SOURCE_DIR}/packaging/debian/copyright ${CMAKE_SOURCE_DIR}/README.md
        DESTINATION ${DGC_DOC_DIR})

# The .gsd file type (shared-mime-info reads its packages folder).
install(FILES ${CMAKE_SOURCE_DIR}/packaging/mime/${DGC_PACKAGE_NAME}.xml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/mime/packages)

# The window's icon, named by the desktop entry's Icon=.
if(TARGET dicom-converter)
  install(FILES ${CMAKE_SOURCE_DIR}/packaging/icons/dicom-converter.svg
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
endif()

# bash-completion loads a command's file by the command's name.
install(FILES ${CMAKE_SOURCE_DIR}/packaging/completion/dicom2gsd
              ${CMAKE_SOURCE_DIR}/packaging/completion/gsdinfo
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)

include(${CMAKE_CURRENT_LIST_DIR}/node_service.cmake)
