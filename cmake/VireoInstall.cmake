# Install rules and the package config that gives find_package(Vireo) its Vireo:: targets.
include_guard(GLOBAL)
include(CMakePackageConfigHelpers)

get_property(vireo_targets GLOBAL PROPERTY VIREO_INSTALL_TARGETS)
get_property(vireo_packages GLOBAL PROPERTY VIREO_PUBLIC_PACKAGES)
get_property(vireo_include_dirs GLOBAL PROPERTY VIREO_INCLUDE_DIRS)
list(REMOVE_DUPLICATES vireo_packages)
list(REMOVE_DUPLICATES vireo_include_dirs)
set(VIREO_CONFIG_DEPENDENCIES ${vireo_packages})

install(TARGETS ${vireo_targets}
        EXPORT VireoTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
        INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
foreach(dir ${vireo_include_dirs})
  install(DIRECTORY ${dir}/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
endforeach()
install(DIRECTORY ${VIREO_GENERATED_INCLUDE_DIR}/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

set(VIREO_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Vireo)
install(EXPORT VireoTargets NAMESPACE Vireo:: DESTINATION ${VIREO_CMAKE_DIR})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/VireoConfig.cmake.in
  ${CMAKE_BINARY_DIR}/VireoConfig.cmake
  INSTALL_DESTINATION ${VIREO_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/VireoConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/VireoConfig.cmake ${CMAKE_BINARY_DIR}/VireoConfigVersion.cmake
        DESTINATION ${VIREO_CMAKE_DIR})
