# The Windows zip (cpack): engine.exe beside the runtime's DLLs, the licences of what it ships and
# a short README. The notices come from the packages the parts were taken from.
install(FILES
  "${KW_ONNXRUNTIME_DIR}/LICENSE"
  "${KW_ONNXRUNTIME_DIR}/ThirdPartyNotices.txt"
  DESTINATION licenses/onnxruntime)
if(MINGW)
  # Linked into engine.exe: the MinGW-w64 runtime with winpthreads, and GCC's runtime libraries.
  install(FILES /usr/share/doc/mingw-w64-x86-64-dev/copyright
          DESTINATION licenses/mingw-w64-runtime)
  install(FILES /usr/share/doc/gcc-mingw-w64-base/copyright DESTINATION licenses/gcc-runtime)
endif()
install(FILES "${PROJECT_SOURCE_DIR}/packaging/windows/README.txt" DESTINATION .)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME engine)
set(CPACK_PACKAGE_FILE_NAME engine-windows-x64)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_STRIP_FILES ON)
include(CPack)
