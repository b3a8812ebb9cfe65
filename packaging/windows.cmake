# The Windows zip (cpack in a Windows build folder): the relay and its dialog, the section watcher, the control
# library with its import library and C header, the scripts that register and unregister the
# control, the tours as Windows scripts, the README and the interface reference.
#   trevask-<version>-win64.zip, trevask-<version>-win32.zip
install(TARGETS trevask trevask-dialog trevask-sections RUNTIME DESTINATION bin)
install(TARGETS talvenorctl RUNTIME DESTINATION bin ARCHIVE DESTINATION lib)
install(FILES ${PROJECT_SOURCE_DIR}/control/talvenorctl.h DESTINATION include)
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/docs/interface.md DESTINATION doc)
install(PROGRAMS ${PROJECT_SOURCE_DIR}/deploy/windows/register.cmd ${PROJECT_SOURCE_DIR}/deploy/windows/unregister.cmd
        DESTINATION .)
install(FILES ${PROJECT_SOURCE_DIR}/examples/scripts/robot_tour.vbs ${PROJECT_SOURCE_DIR}/examples/scripts/robot_tour.js
        DESTINATION examples)
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
