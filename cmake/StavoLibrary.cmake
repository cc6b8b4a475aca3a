# stavo_add_library(NAME <name> VERSION <x.y.z> SOVERSION <n> SOURCES ... PUBLIC_HEADERS ...
#                   INCLUDE_DIR <dir> [PUBLIC_LIBS ...] [PRIVATE_LIBS ...] [PC_REQUIRES ...]
#                   [PC_REQUIRES_PRIVATE ...] [PC_LIBS_PRIVATE ...] [DEPENDS_PACKAGES ...]
#                   [DESCRIPTION text])
#
# Builds the sources once as an object library <name>_objects (tests link it to reach internal
# functions), then a shared library <name> from those objects with a SONAME, hidden visibility,
# install rules, a pkg-config file and a CMake package config.
function(stavo_add_library)
  cmake_parse_arguments(L "" "NAME;VERSION;SOVERSION;INCLUDE_DIR;DESCRIPTION"
    "SOURCES;PUBLIC_HEADERS;PUBLIC_LIBS;PRIVATE_LIBS;PC_REQUIRES;PC_REQUIRES_PRIVATE;PC_LIBS_PRIVATE;DEPENDS_PACKAGES" ${ARGN})

  add_library(${L_NAME}_objects OBJECT ${L_SOURCES})
  stavo_set_warnings(${L_NAME}_objects)
  target_include_directories(${L_NAME}_objects PUBLIC
    $<BUILD_INTERFACE:${L_INCLUDE_DIR}>
    PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
  target_link_libraries(${L_NAME}_objects PUBLIC ${L_PUBLIC_LIBS} PRIVATE ${L_PRIVATE_LIBS})

  add_library(${L_NAME} SHARED $<TARGET_OBJECTS:${L_NAME}_objects>)
  add_library(stavo::${L_NAME} ALIAS ${L_NAME})
  set_target_properties(${L_NAME} PROPERTIES
    OUTPUT_NAME ${L_NAME}
    VERSION ${L_VERSION}
    SOVERSION ${L_SOVERSION}
    PUBLIC_HEADER "${L_PUBLIC_HEADERS}"
    # Installed side by side, each library finds its siblings (libstavoc: libbrindle, libember)
    # wherever the prefix is, without relying on the program's own run path.
    INSTALL_RPATH "$ORIGIN")
  target_include_directories(${L_NAME} PUBLIC
    $<BUILD_INTERFACE:${L_INCLUDE_DIR}>
    $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
  target_link_libraries(${L_NAME} PUBLIC ${L_PUBLIC_LIBS} PRIVATE ${L_PRIVATE_LIBS})
  target_link_options(${L_NAME} PRIVATE -Wl,--no-undefined -Wl,--as-needed)

  # Components are the Debian packages (cmake/StavoPackaging.cmake): the shared objects go to the
  # runtime package, what a build needs (headers, the .so link, CMake and pkg-config files) to dev.
  install(TARGETS ${L_NAME} EXPORT ${L_NAME}Targets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev
    PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev)
  install(EXPORT ${L_NAME}Targets NAMESPACE stavo::
    DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/${L_NAME} COMPONENT dev)

  # CMake package config: find_package(<name>) gives the target stavo::<name>.
  set(PACKAGE_NAME ${L_NAME})
  set(PACKAGE_DEPENDENCIES "")
  foreach(dep IN LISTS L_DEPENDS_PACKAGES)
    string(APPEND PACKAGE_DEPENDENCIES "find_dependency(${dep})\n")
  endforeach()
  include(CMakePackageConfigHelpers)
  configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/PackageConfig.cmake.in
    ${CMAKE_CURRENT_BINARY_DIR}/${L_NAME}Config.cmake
    INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/${L_NAME})
  write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/${L_NAME}ConfigVersion.cmake
    VERSION ${L_VERSION} COMPATIBILITY SameMinorVersion)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/${L_NAME}Config.cmake
    ${CMAKE_CURRENT_BINARY_DIR}/${L_NAME}ConfigVersion.cmake
    DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/${L_NAME} COMPONENT dev)

  # pkg-config file, relocatable: the prefix is found relative to the file itself.
  file(RELATIVE_PATH PC_PREFIX_FROM_PCFILEDIR "/prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/prefix")
  set(PC_NAME ${L_NAME})
  set(PC_DESCRIPTION "${L_DESCRIPTION}")
  set(PC_VERSION ${L_VERSION})
  string(REPLACE ";" ", " PC_REQUIRES "${L_PC_REQUIRES}")
  string(REPLACE ";" ", " PC_REQUIRES_PRIVATE "${L_PC_REQUIRES_PRIVATE}")
  string(REPLACE ";" " " PC_LIBS_PRIVATE "${L_PC_LIBS_PRIVATE}")
  configure_file(${PROJECT_SOURCE_DIR}/cmake/library.pc.in
    ${CMAKE_CURRENT_BINARY_DIR}/${L_NAME}.pc @ONLY)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/${L_NAME}.pc
    DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)
endfunction()
