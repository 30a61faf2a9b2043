# Installation: the library (shared with its SONAME links, or the static
# archive), the public headers under one include folder, a pkg-config file and
# a CMake package exporting hbbtv_hac::hbbtv_hac that describe that library,
# and the hac tool. Included after every subdirectory, so the tool's target
# exists here when it is built at all.
include(CMakePackageConfigHelpers)

set(HAC_INSTALL_INCLUDEDIR ${CMAKE_INSTALL_INCLUDEDIR}/hbbtv_hac)
set(HAC_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/hbbtv_hac)

# vetu_hac.h declares aitappinfo_unpacket with a Json::Value parameter:
# installed consumers get jsoncpp with the library (the build tree keeps it
# private, where nothing needs it).
target_link_libraries(hbbtv_hac INTERFACE $<INSTALL_INTERFACE:JsonCpp::JsonCpp>)
install(TARGETS hbbtv_hac EXPORT hbbtv_hacTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})

# The headers include each other by bare name, so they share one folder.
install(FILES
  ${CMAKE_CURRENT_SOURCE_DIR}/ipc/msgqueue/vetu_ipc.h
  ${CMAKE_CURRENT_SOURCE_DIR}/ipc/msgqueue/vetu_status.h
  ${CMAKE_CURRENT_SOURCE_DIR}/log/vetu_log.h
  ${CMAKE_CURRENT_SOURCE_DIR}/ipc/hac_common/vetu_hac.h
  ${CMAKE_CURRENT_SOURCE_DIR}/ipc/hac_common/hac_message_type.h
  ${CMAKE_CURRENT_SOURCE_DIR}/ipc/hac_common/hac_catalogue.h
  ${HAC_GENERATED_INCLUDE_DIR}/hbbtv_hac_version.h
  DESTINATION ${HAC_INSTALL_INCLUDEDIR})

if(TARGET hac AND HAC_LIBRARY_TYPE STREQUAL "SHARED_LIBRARY")
  # The tool finds the library beside it wherever the prefix is moved to;
  # a system library folder needs no search path.
  file(RELATIVE_PATH _hac_bin_to_lib
    ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_FULL_LIBDIR})
  list(FIND CMAKE_CXX_IMPLICIT_LINK_DIRECTORIES ${CMAKE_INSTALL_FULL_LIBDIR} _hac_system_libdir)
  if(_hac_system_libdir EQUAL -1)
    set_target_properties(hac PROPERTIES INSTALL_RPATH "$ORIGIN/${_hac_bin_to_lib}")
  endif()
endif()
if(TARGET hac)
  install(TARGETS hac RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/tools/hac.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  # Where bash-completion looks for a command's completion by its name.
  install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/tools/hac.bash-completion
    DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME hac)
endif()

# CMake package: find_package(hbbtv_hac) gives hbbtv_hac::hbbtv_hac.
install(EXPORT hbbtv_hacTargets
  NAMESPACE hbbtv_hac::
  DESTINATION ${HAC_INSTALL_CMAKEDIR})
configure_package_config_file(
  ${CMAKE_CURRENT_SOURCE_DIR}/cmake/hbbtv_hacConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/hbbtv_hacConfig.cmake
  INSTALL_DESTINATION ${HAC_INSTALL_CMAKEDIR})
write_basic_package_version_file(
  ${CMAKE_CURRENT_BINARY_DIR}/hbbtv_hacConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES
  ${CMAKE_CURRENT_BINARY_DIR}/hbbtv_hacConfig.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/hbbtv_hacConfigVersion.cmake
  DESTINATION ${HAC_INSTALL_CMAKEDIR})

# pkg-config file. It is written at install time so that its prefix is the
# one installed to, also when `cmake --install --prefix` overrides it. The
# shared library names its own dependencies; a program linking the static
# archive needs the threads and C++ runtime the library uses (jsoncpp comes
# through Requires either way).
if(HAC_LIBRARY_TYPE STREQUAL "STATIC_LIBRARY")
  set(_hac_pc_libs_private "-pthread -lstdc++")
else()
  set(_hac_pc_libs_private "-pthread")
endif()
install(CODE "
  set(HAC_PC_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
  set(HAC_PC_LIBDIR \"${CMAKE_INSTALL_LIBDIR}\")
  set(HAC_PC_INCLUDEDIR \"${CMAKE_INSTALL_INCLUDEDIR}\")
  set(HAC_PC_LIBS_PRIVATE \"${_hac_pc_libs_private}\")
  set(HAC_PC_VERSION \"${PROJECT_VERSION}\")
  configure_file(\"${CMAKE_CURRENT_SOURCE_DIR}/cmake/hbbtv_hac.pc.in\"
    \"${CMAKE_CURRENT_BINARY_DIR}/hbbtv_hac.pc\" @ONLY)
")
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/hbbtv_hac.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
