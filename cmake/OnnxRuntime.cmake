# ONNX Runtime is not packaged by Debian: scripts/setup places its official
# headers and library under third_party/. Point ONNXRUNTIME_ROOT elsewhere to
# use another copy (for example a CUDA-capable build).
if(KESHOCR_GPU)
  set(_ort_default "${CMAKE_SOURCE_DIR}/third_party/onnxruntime-gpu")
else()
  set(_ort_default "${CMAKE_SOURCE_DIR}/third_party/onnxruntime")
endif()
set(ONNXRUNTIME_ROOT "${_ort_default}" CACHE PATH "ONNX Runtime with include/ and lib/")

find_path(ONNXRUNTIME_INCLUDE_DIR onnxruntime_cxx_api.h
  PATHS "${ONNXRUNTIME_ROOT}/include" NO_DEFAULT_PATH)
find_library(ONNXRUNTIME_LIBRARY NAMES onnxruntime
  PATHS "${ONNXRUNTIME_ROOT}/lib" NO_DEFAULT_PATH)
if(NOT ONNXRUNTIME_INCLUDE_DIR OR NOT ONNXRUNTIME_LIBRARY)
  message(FATAL_ERROR "ONNX Runtime not found under '${ONNXRUNTIME_ROOT}'. "
                      "Run scripts/setup, or pass -DONNXRUNTIME_ROOT=<dir with include/ and lib/>.")
endif()

add_library(onnxruntime::onnxruntime SHARED IMPORTED GLOBAL)
set_target_properties(onnxruntime::onnxruntime PROPERTIES
  IMPORTED_LOCATION "${ONNXRUNTIME_LIBRARY}"
  IMPORTED_SONAME "libonnxruntime.so.1"
  INTERFACE_INCLUDE_DIRECTORIES "${ONNXRUNTIME_INCLUDE_DIR}")
