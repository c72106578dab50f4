# The DICOM node as a system service: its systemd unit and its default
# settings (an EnvironmentFile); the program itself installs with the others.

set(DGC_NODE_UNIT ${CMAKE_SOURCE_DIR}/node/gsd-node.service)
set(DGC_NODE_CONFIG ${CMAKE_SOURCE_DIR}/node/gsd-node.conf)
# Read by the package's maintainer scripts (deb.cmake): empty without a unit.
set(DGC_NODE_USER "")
set(DGC_NODE_SPOOL "")
set(DGC_NODE_CONFIG_PATH "")
if(NOT EXISTS ${DGC_NODE_UNIT} OR NOT EXISTS ${DGC_NODE_CONFIG})
  return()
endif()
set_property(DIRECTORY ${CMAKE_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
             ${DGC_NODE_UNIT} ${DGC_NODE_CONFIG})

# Debian 12 keeps packaged units in /lib/systemd/system; systemd also reads
# <prefix>/lib/systemd/system for /usr/local.
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  set(DGC_SYSTEMD_UNIT_DIR /lib/systemd/system)
else()
  set(DGC_SYSTEMD_UNIT_DIR lib/systemd/system)
endif()
set(DGC_NODE_CONFIG_DIR ${CMAKE_INSTALL_FULL_SYSCONFDIR}/${DGC_PACKAGE_NAME})
set(DGC_NODE_CONFIG_PATH ${DGC_NODE_CONFIG_DIR}/gsd-node.conf)

# The unit as installed: it starts the installed program and reads the
# installed settings, wherever the prefix put them.
file(READ ${DGC_NODE_UNIT} unit)
string(REGEX REPLACE "(ExecStart=[-@:+!]*)[^ \n]*gsd-node" "\\1${CMAKE_INSTALL_FULL_BINDIR}/gsd-node"
       unit "${unit}")
string(REGEX REPLACE "(EnvironmentFile=-?)[^\n]*gsd-node\\.conf" "\\1${DGC_NODE_CONFIG_PATH}"
       unit "${unit}")
file(WRITE ${CMAKE_BINARY_DIR}/packaging/gsd-node.service "${unit}")
install(FILES ${CMAKE_BINARY_DIR}/packaging/gsd-node.service DESTINATION ${DGC_SYSTEMD_UNIT_DIR})
install(FILES ${DGC_NODE_CONFIG} DESTINATION ${DGC_NODE_CONFIG_DIR})

# The user the unit runs as and the spool of the default settings: the
# package creates both, owned by that user.
if(unit MATCHES "\nUser=([^\n]+)")
  set(DGC_NODE_USER ${CMAKE_MATCH_1})
endif()
file(READ ${DGC_NODE_CONFIG} config)
if(config MATCHES "\nGSD_NODE_SPOOL=([^\n]+)")
  set(DGC_NODE_SPOOL ${CMAKE_MATCH_1})
endif()
