# What a Windows build compiles its type library with on this machine: widl, the system's interface
# descriptions (oaidl.idl and those it imports), which wine's development files carry, and the
# system's stdole2.tlb, which wine itself carries.
#   WIDL             the interface compiler (the build processor's mingw-w64 one where there is one)
#   SYSTEM_IDL_DIR   the folder of oaidl.idl
#   STDOLE2_DIR      the folder of stdole2.tlb
# The files are this machine's, not the target system's: the find root is not applied to them.
find_program(WIDL NAMES ${CMAKE_SYSTEM_PROCESSOR}-w64-mingw32-widl widl)
find_path(SYSTEM_IDL_DIR oaidl.idl PATHS /usr/include/wine/wine/windows NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
find_path(STDOLE2_DIR stdole2.tlb NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH
          PATHS /usr/lib/x86_64-linux-gnu/wine/x86_64-windows /usr/lib/i386-linux-gnu/wine/i386-windows)
include(FindPackageHandleStandardArgs)
find_package_handle_standard_args(WindowsTypeLibraryInputs
  REQUIRED_VARS WIDL SYSTEM_IDL_DIR STDOLE2_DIR
  REASON_FAILURE_MESSAGE "the type library needs them: apt-get install mingw-w64-tools libwine-dev wine")
