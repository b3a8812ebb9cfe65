# Makes the Windows installer of a Windows build folder:
#   cmake -DBUILD_DIR=build-win64 -DBITS=64 -DVERSION=1.4.0 -DOUTPUT=trevask.msi -P packaging/msi/make_msi.cmake
# The installed files are staged with `cmake --install --strip`; the registry rows come from the
# build (packaging/msi/CMakeLists.txt makes them in its build folder). Each bit width keeps its UpgradeCode for ever, so that a newer
# installer of that width replaces an older one; the ProductCode follows from it and the version,
# new with every version and the same for every build of one. The interfaces' rows of each registry
# view are one component with a fixed identity: both installers write the 32-bit view's, which
# therefore stays while either of them is installed.
foreach(v BUILD_DIR BITS VERSION OUTPUT)
  if(NOT DEFINED ${v})
    message(FATAL_ERROR "make_msi.cmake needs -D${v}=...")
  endif()
endforeach()
find_program(WIXL wixl REQUIRED)
get_filename_component(BUILD_DIR ${BUILD_DIR} ABSOLUTE)
get_filename_component(OUTPUT ${OUTPUT} ABSOLUTE)
if(BITS EQUAL 64)
  set(upgrade_code 7E00D50E-7B6B-41CB-8FD0-0CDB8829AC75)
  set(defines -a x64 -D Bits=64 -D Win64=yes -D InterfacesGuid=2E48EFBB-8F67-4920-900F-F2F54391A92D -D ProgramFilesFolder=ProgramFiles64Folder -D SystemFolder=System64Folder
              -D MenuName=Trevask)
else()
  set(upgrade_code B2AF7704-6CD0-41CA-B0E1-5C6D60C26649)
  set(defines -a x86 -D Bits=32 -D Win64=no -D ProgramFilesFolder=ProgramFilesFolder -D SystemFolder=SystemFolder
              -D "MenuName=Trevask (32-bit)")
endif()
list(APPEND defines -D Interfaces32Guid=5FC88B24-C412-45AD-8205-9F200CC4A302)
string(UUID product_code NAMESPACE ${upgrade_code} NAME "trevask ${VERSION}" TYPE SHA1 UPPER)

set(actions ${BUILD_DIR}/packaging/msi/trevask-msi-actions.dll)
if(NOT EXISTS ${actions})
  message(FATAL_ERROR "no ${actions} (cmake --build ${BUILD_DIR} --target msi)")
endif()

set(stage ${OUTPUT}.stage)
file(REMOVE_RECURSE ${stage})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${stage} --strip
                OUTPUT_QUIET RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "staging the installed files failed")
endif()
file(COPY ${actions} DESTINATION ${stage}/installer)  # carried inside the installer, not installed
execute_process(COMMAND ${WIXL} ${defines} -D Version=${VERSION} -D ProductCode=${product_code}
                        -D UpgradeCode=${upgrade_code} -D Stage=. -D Actions=installer/trevask-msi-actions.dll -I ${BUILD_DIR}/packaging/msi -o ${OUTPUT}
                        ${CMAKE_CURRENT_LIST_DIR}/trevask.wxs
                WORKING_DIRECTORY ${stage}  # wixl finds the files by paths relative to where it runs
                RESULT_VARIABLE failed)
file(REMOVE_RECURSE ${stage})
if(failed)
  message(FATAL_ERROR "wixl failed")
endif()
message(STATUS "${OUTPUT}: version ${VERSION}, ProductCode {${product_code}}")
