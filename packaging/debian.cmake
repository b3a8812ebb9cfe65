# Installation and Debian packages (cpack -G DEB in the build folder):
#   trevask            the relay (headless; no toolkit), its service, man pages, examples, dissector
#   trevask-dialog     the relay's dialog (Qt)
#   trevask-tools      robot-sim, trevask-sections, trevask-mqtt and trevask-ros2 with their services,
#                      the dashboards, the broker's set-up
#   libtalvenorctl2    the client library (its Qt widget goes with the tools)
#   libtalvenorctl-dev its C header and pkg-config file
#   python3-talvenor   the Python package, on the system library
# Debian's multiarch library folder (/usr/lib/aarch64-linux-gnu), which GNUInstallDirs chooses by
# itself only in native builds.
if(CMAKE_CROSSCOMPILING AND CMAKE_LIBRARY_ARCHITECTURE AND CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  set(CMAKE_INSTALL_LIBDIR lib/${CMAKE_LIBRARY_ARCHITECTURE} CACHE PATH "Object code libraries")
endif()
include(GNUInstallDirs)

set(man_pages trevask.1 robot-sim.1 trevask-sections.1 trevask.conf.5 trevask-mqtt.1 trevask-ros2.1 talvenor-dashboard.1)
set(tool_man_pages robot-sim.1 trevask-sections.1 trevask-mqtt.1)
if(TARGET talvenor-dashboard)  # a build without Qt (the arm64 one) has no dashboard
  list(APPEND tool_man_pages talvenor-dashboard.1)
endif()
if(TARGET trevask-ros2)  # a build without the DDS library has no ROS 2 bridge
  list(APPEND tool_man_pages trevask-ros2.1)
endif()
set(man_outputs)
foreach(page ${man_pages})
  set(out ${CMAKE_CURRENT_BINARY_DIR}/man/${page}.gz)
  # Each page carries the one version of the project.
  add_custom_command(OUTPUT ${out}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/man
    COMMAND sed "s/@VERSION@/${PROJECT_VERSION}/" ${PROJECT_SOURCE_DIR}/docs/man/${page} | gzip -9n > ${out}
    DEPENDS ${PROJECT_SOURCE_DIR}/docs/man/${page} ${PROJECT_SOURCE_DIR}/VERSION)
  list(APPEND man_outputs ${out})
endforeach()
add_custom_target(man_pages ALL DEPENDS ${man_outputs})

# The relay.
install(TARGETS trevask RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT relay)
install(FILES ${PROJECT_SOURCE_DIR}/deploy/systemd/trevask@.service DESTINATION lib/systemd/system COMPONENT relay)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/man/trevask.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT relay)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/man/trevask.conf.5.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man5
        COMPONENT relay)
install(FILES ${PROJECT_SOURCE_DIR}/deploy/debian/robot.conf.example ${PROJECT_SOURCE_DIR}/deploy/udev/99-trevask-robot.rules
        DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples COMPONENT relay)
install(FILES ${PROJECT_SOURCE_DIR}/tools/wireshark/trevask.lua DESTINATION ${CMAKE_INSTALL_DATADIR}/trevask/wireshark
        COMPONENT relay)

# The relay's dialog, apart: the relay itself needs no toolkit.
if(TARGET trevask-dialog)
  install(TARGETS trevask-dialog RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT dialog)
endif()

# The tools.
set(tool_targets robot-sim trevask-sections talvenor-regsvr talvenor-typelib)
foreach(t trevask-mqtt trevask-ros2 talvenor-dashboard)
  if(TARGET ${t})
    list(APPEND tool_targets ${t})
  endif()
endforeach()
install(TARGETS ${tool_targets} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
list(TRANSFORM tool_man_pages PREPEND ${CMAKE_CURRENT_BINARY_DIR}/man/)
list(TRANSFORM tool_man_pages APPEND .gz)
install(FILES ${tool_man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tools)
install(FILES ${PROJECT_SOURCE_DIR}/deploy/systemd/trevask-mqtt@.service DESTINATION lib/systemd/system COMPONENT tools)
if(TARGET trevask-ros2)
  install(FILES ${PROJECT_SOURCE_DIR}/deploy/systemd/trevask-ros2@.service DESTINATION lib/systemd/system
          COMPONENT tools)
endif()
install(PROGRAMS ${PROJECT_SOURCE_DIR}/deploy/mosquitto/make-config.sh
        DESTINATION ${CMAKE_INSTALL_DATADIR}/trevask/mosquitto COMPONENT tools)
install(FILES ${PROJECT_SOURCE_DIR}/deploy/mosquitto/users.example
        DESTINATION ${CMAKE_INSTALL_DATADIR}/trevask/mosquitto COMPONENT tools)
if(TARGET web_dashboard)
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/clients/web/dist/ DESTINATION ${CMAKE_INSTALL_DATADIR}/trevask/web
          COMPONENT tools)
endif()

# The client library.
install(TARGETS talvenorctl LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT library NAMELINK_COMPONENT development)
if(TARGET talvenorctl-qt)
  # The Qt widget goes with the dashboard that uses it, so the library itself needs no Qt.
  install(TARGETS talvenorctl-qt LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT tools)
endif()
install(FILES ${PROJECT_SOURCE_DIR}/control/talvenorctl.h ${PROJECT_SOURCE_DIR}/control/talvenorctl_server.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/talvenor
        COMPONENT development)
configure_file(talvenorctl.pc.in ${CMAKE_CURRENT_BINARY_DIR}/talvenorctl.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/talvenorctl.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
        COMPONENT development)

# The Python package, as plain files beside the system's own, with the project's version.
install(DIRECTORY ${PROJECT_SOURCE_DIR}/bindings/python/talvenor DESTINATION lib/python3/dist-packages
        COMPONENT python PATTERN "__pycache__" EXCLUDE PATTERN "_lib" EXCLUDE)
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/_version.py "VERSION = \"${PROJECT_VERSION}\"\n")
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/_version.py DESTINATION lib/python3/dist-packages/talvenor COMPONENT python)

set(CPACK_PACKAGE_NAME trevask)
set(CPACK_PACKAGE_VENDOR "the trevask developers")
set(CPACK_PACKAGE_CONTACT "trevask developers <trevask@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "relay and client library for a small mobile robot")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL relay tools library development python)
if(TARGET trevask-dialog)
  list(APPEND CPACK_COMPONENTS_ALL dialog)
endif()
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# The packages are for the processor the programs were built for: a cross build's, not this machine's.
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(aarch64|arm64)$")
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE arm64)
elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64)$")
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE amd64)
endif()
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The tools link the client library built here: dpkg-shlibdeps finds it in the build folder, and the
# dependency on its package comes from the components' dependencies below.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR}/control)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://localhost/trevask")
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)

set(CPACK_DEBIAN_RELAY_PACKAGE_NAME trevask)
set(CPACK_DEBIAN_RELAY_PACKAGE_DEPENDS "adduser")
set(CPACK_DEBIAN_RELAY_PACKAGE_SUGGESTS "trevask-dialog, trevask-tools, tshark")
set(CPACK_DEBIAN_RELAY_PACKAGE_CONTROL_EXTRA
    "${PROJECT_SOURCE_DIR}/deploy/debian/relay/postinst;${PROJECT_SOURCE_DIR}/deploy/debian/relay/prerm;${PROJECT_SOURCE_DIR}/deploy/debian/relay/postrm")
set(CPACK_COMPONENT_RELAY_DESCRIPTION
    "relay between a small mobile robot and its client programs\n The relay owns the link to the robot (serial, Bluetooth serial module or Wi-Fi),\n keeps it alive and publishes what the robot sends into shared-memory sections.\n Runs as a dialog, headless, or as the systemd service trevask@ROBOT.")
set(CPACK_DEBIAN_DIALOG_PACKAGE_NAME trevask-dialog)
set(CPACK_COMPONENT_DIALOG_DEPENDS relay)
set(CPACK_COMPONENT_DIALOG_DESCRIPTION
    "dialog of the trevask relay\n The relay's window: choose the link, connect, watch its status and quality.\n trevask without link options opens it.")
set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME trevask-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_RECOMMENDS "mosquitto")
set(CPACK_COMPONENT_TOOLS_DEPENDS library)
set(CPACK_COMPONENT_TOOLS_DESCRIPTION
    "tools around the trevask relay\n The simulated robot, a section watcher, the MQTT bridge, the dashboards and the\n broker's configuration for the robots.")
set(CPACK_DEBIAN_LIBRARY_PACKAGE_NAME libtalvenorctl2)
set(CPACK_COMPONENT_LIBRARY_DESCRIPTION
    "talvenor control library\n Reads a robot's sensors and drives its motors, servos, camera, microphone,\n loudspeaker and LCDs through its relay.")
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libtalvenorctl-dev)
set(CPACK_COMPONENT_DEVELOPMENT_DEPENDS library)
set(CPACK_COMPONENT_DEVELOPMENT_DESCRIPTION "talvenor control library: C header and pkg-config file")
set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME python3-talvenor)
set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS "python3")
set(CPACK_DEBIAN_PYTHON_PACKAGE_ARCHITECTURE all)
set(CPACK_COMPONENT_PYTHON_DEPENDS library)
set(CPACK_COMPONENT_PYTHON_DESCRIPTION "talvenor control for Python\n The control's methods, properties and events from Python, on libtalvenorctl2.\n With numpy (python3-numpy) pictures and voice come as arrays.")
set(CPACK_DEBIAN_PYTHON_PACKAGE_SUGGESTS "python3-numpy")
include(CPack)
