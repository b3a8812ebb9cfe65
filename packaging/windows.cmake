# The Windows zip (cpack in a Windows build folder): the relay and its dialog, the section watcher, the control
# library with its import library and C header, the scripts that register and unregister the
# control, the examples (a recorded session to replay, the C++ client, the tours as Windows scripts),
# the Wireshark dissector, and a README of its own (a Windows quick start, links inside the zip
# only) with the interface reference and the control's choices.
#   trevask-<version>-win64.zip, trevask-<version>-win32.zip
install(TARGETS trevask trevask-dialog trevask-sections RUNTIME DESTINATION bin)
install(TARGETS talvenorctl RUNTIME DESTINATION bin ARCHIVE DESTINATION lib)
install(FILES ${PROJECT_SOURCE_DIR}/control/talvenorctl.h DESTINATION include)
configure_file(${PROJECT_SOURCE_DIR}/packaging/windows/README.md.in ${CMAKE_BINARY_DIR}/zip/README.md @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/zip/README.md DESTINATION .)
install(FILES ${PROJECT_SOURCE_DIR}/docs/interface.md ${PROJECT_SOURCE_DIR}/docs/control.md DESTINATION doc)
install(FILES ${PROJECT_SOURCE_DIR}/docs/images/trevask-dialog-windows.png DESTINATION doc/images)
install(PROGRAMS ${PROJECT_SOURCE_DIR}/deploy/windows/register.cmd ${PROJECT_SOURCE_DIR}/deploy/windows/unregister.cmd
        DESTINATION .)
install(FILES ${PROJECT_SOURCE_DIR}/examples/scripts/robot_tour.vbs ${PROJECT_SOURCE_DIR}/examples/scripts/robot_tour.js
              ${PROJECT_SOURCE_DIR}/examples/recordings/simulated-robot.pcapng
        DESTINATION examples)
install(FILES ${PROJECT_SOURCE_DIR}/examples/cpp/sensor_reader.cpp DESTINATION examples/cpp)
install(FILES ${PROJECT_SOURCE_DIR}/tools/wireshark/trevask.lua DESTINATION wireshark)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/bindings/python/talvenor DESTINATION python
        PATTERN "__pycache__" EXCLUDE)

if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(windows_flavour win64)
else()
  set(windows_flavour win32)
endif()
set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME trevask)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME trevask-${PROJECT_VERSION}-${windows_flavour})
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_STRIP_FILES ON)
include(CPack)
