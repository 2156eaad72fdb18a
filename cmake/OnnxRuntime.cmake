# ONNX Runtime as a prebuilt dependency: headers and libraries under one prefix, laid out by
# scripts/bootstrap.sh. Nothing is fetched here.
if(WIN32)
  set(kw_ort_default "/opt/kw-deps/onnxruntime-1.31.1-win-x64")
else()
  set(kw_ort_default "/opt/kw-deps/onnxruntime-1.29.0")
endif()
set(KW_ONNXRUNTIME_DIR "${kw_ort_default}"
    CACHE PATH "ONNX Runtime prefix holding include/onnxruntime_c_api.h and lib/ with the library")

# Not cached, so pointing KW_ONNXRUNTIME_DIR elsewhere takes effect on the next configure. The
# prefix lies outside a cross build's system root.
find_path(kw_ort_include onnxruntime_c_api.h
          PATHS "${KW_ONNXRUNTIME_DIR}/include" NO_DEFAULT_PATH NO_CACHE NO_CMAKE_FIND_ROOT_PATH)
if(WIN32)
  find_file(kw_ort_library onnxruntime.dll
            PATHS "${KW_ONNXRUNTIME_DIR}/lib" NO_DEFAULT_PATH NO_CACHE NO_CMAKE_FIND_ROOT_PATH)
else()
  find_library(kw_ort_library onnxruntime
               PATHS "${KW_ONNXRUNTIME_DIR}/lib" NO_DEFAULT_PATH NO_CACHE NO_CMAKE_FIND_ROOT_PATH)
endif()
if(NOT kw_ort_include OR NOT kw_ort_library)
  message(FATAL_ERROR "ONNX Runtime nicht gefunden unter ${KW_ONNXRUNTIME_DIR} "
                      "(scripts/bootstrap.sh legt es an, oder -DKW_ONNXRUNTIME_DIR=... setzen)")
endif()
add_library(kw::onnxruntime SHARED IMPORTED GLOBAL)

if(WIN32)
  # Windows looks for DLLs beside the program: every executable goes into bin/ together with the
  # runtime's DLLs (onnxruntime.dll, and DirectML.dll, which it loads itself, where the build has
  # DirectML).
  set(KW_RUNTIME_LIB_DIR "${CMAKE_BINARY_DIR}/bin")
  set(CMAKE_RUNTIME_OUTPUT_DIRECTORY "${KW_RUNTIME_LIB_DIR}")
  file(GLOB kw_ort_dlls "${KW_ONNXRUNTIME_DIR}/lib/*.dll")
  file(COPY ${kw_ort_dlls} DESTINATION "${KW_RUNTIME_LIB_DIR}")
  # MinGW's linker imports from the DLL itself; MSVC needs the import library that the runtime's
  # own Windows archive ships.
  if(MSVC)
    set(kw_ort_implib "${KW_ONNXRUNTIME_DIR}/lib/onnxruntime.lib")
  else()
    set(kw_ort_implib "${KW_RUNTIME_LIB_DIR}/onnxruntime.dll")
  endif()
  set_target_properties(kw::onnxruntime PROPERTIES
    IMPORTED_LOCATION "${KW_RUNTIME_LIB_DIR}/onnxruntime.dll"
    IMPORTED_IMPLIB "${kw_ort_implib}"
    INTERFACE_INCLUDE_DIRECTORIES "${kw_ort_include}")

  install(FILES ${kw_ort_dlls} DESTINATION .)
  # The installed program sits beside the DLLs.
  function(kw_install_executable target)
    install(TARGETS ${target} RUNTIME DESTINATION .)
  endfunction()
  return()
endif()

# The library and its symlink chain (libonnxruntime.so -> .so.1 -> real file) are copied into the
# build tree, and every binary finds them through an $ORIGIN-relative RUNPATH: the build tree can
# be moved, and no absolute path of this machine ends up in a binary.
# Copies of another KW_ONNXRUNTIME_DIR are removed first (the copy keeps time stamps: no relink).
set(KW_RUNTIME_LIB_DIR "${CMAKE_BINARY_DIR}/lib")
get_filename_component(kw_ort_name "${kw_ort_library}" NAME)
file(GLOB kw_ort_copies "${KW_RUNTIME_LIB_DIR}/${kw_ort_name}*")
if(kw_ort_copies)
  file(REMOVE ${kw_ort_copies})
endif()
file(COPY "${kw_ort_library}" DESTINATION "${KW_RUNTIME_LIB_DIR}" FOLLOW_SYMLINK_CHAIN)
file(GLOB kw_ort_copies "${KW_RUNTIME_LIB_DIR}/${kw_ort_name}*")

set_target_properties(kw::onnxruntime PROPERTIES
  IMPORTED_LOCATION "${KW_RUNTIME_LIB_DIR}/${kw_ort_name}"
  INTERFACE_INCLUDE_DIRECTORIES "${kw_ort_include}")

# CMake puts the directory of every linked shared library into the build RUNPATH; with this it
# writes it relative to each binary ($ORIGIN/../../lib for src/protocol/engine, $ORIGIN/../lib for
# tests/*), so one setting serves executables at any depth.
set(CMAKE_BUILD_RPATH_USE_ORIGIN ON)

# Installed layout: <prefix>/bin/<executable> beside <prefix>/lib/libonnxruntime.so*.
install(FILES ${kw_ort_copies} DESTINATION lib)

# Installs an executable into bin/ and points its RUNPATH at ../lib. Not install(TARGETS): for an
# installed target CMake pads the build-tree RUNPATH with a trailing empty entry, which the loader
# reads as the current directory.
function(kw_install_executable target)
  install(PROGRAMS "$<TARGET_FILE:${target}>" DESTINATION bin)
  install(CODE "file(RPATH_SET FILE \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/bin/$<TARGET_FILE_NAME:${target}>\"
                    NEW_RPATH \"\\\$ORIGIN/../lib\")")
endfunction()
