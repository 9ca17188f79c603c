# Installs the library, its one public header, the tools, the ONNX Runtime it
# was linked against (no distribution packages it), the default model package,
# a CMake package (find_package(KeshOCR) -> KeshOCR::KeshOCR) and keshocr.pc.
set(KESHOCR_CMAKE_DIR "${CMAKE_INSTALL_LIBDIR}/cmake/KeshOCR")

install(TARGETS KeshOCR EXPORT KeshOCRTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

get_filename_component(_ort_real "${ONNXRUNTIME_LIBRARY}" REALPATH)
install(FILES "${_ort_real}" DESTINATION ${CMAKE_INSTALL_LIBDIR} RENAME libonnxruntime.so.1)

if(EXISTS "${CMAKE_SOURCE_DIR}/models/keshocr-default.pkg")
  install(FILES "${CMAKE_SOURCE_DIR}/models/keshocr-default.pkg"
          DESTINATION ${CMAKE_INSTALL_DATADIR}/keshocr)
endif()

install(EXPORT KeshOCRTargets NAMESPACE KeshOCR:: DESTINATION ${KESHOCR_CMAKE_DIR})
configure_package_config_file(cmake/KeshOCRConfig.cmake.in
  "${CMAKE_CURRENT_BINARY_DIR}/KeshOCRConfig.cmake"
  INSTALL_DESTINATION ${KESHOCR_CMAKE_DIR})
write_basic_package_version_file("${CMAKE_CURRENT_BINARY_DIR}/KeshOCRConfigVersion.cmake"
  COMPATIBILITY SameMajorVersion)
install(FILES "${CMAKE_CURRENT_BINARY_DIR}/KeshOCRConfig.cmake"
              "${CMAKE_CURRENT_BINARY_DIR}/KeshOCRConfigVersion.cmake"
        DESTINATION ${KESHOCR_CMAKE_DIR})

configure_file(cmake/keshocr.pc.in "${CMAKE_CURRENT_BINARY_DIR}/keshocr.pc" @ONLY)
install(FILES "${CMAKE_CURRENT_BINARY_DIR}/keshocr.pc" DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
