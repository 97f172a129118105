# The product version, kept in the file VERSION at the top of the tree as
# MAJOR.MINOR.PATCH. The version resources of both programs, the applet's
# version page and the MSI package's name and ProductVersion all take it from
# here. -DQW_VERSION=X.Y.Z overrides it for one build folder (the upgrade test
# builds an older package that way).
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/VERSION)
if(NOT QW_VERSION)
  file(STRINGS ${PROJECT_SOURCE_DIR}/VERSION QW_VERSION LIMIT_COUNT 1)
endif()
string(STRIP "${QW_VERSION}" QW_VERSION)
if(NOT QW_VERSION MATCHES "^([0-9]+)\\.([0-9]+)\\.([0-9]+)$")
  message(FATAL_ERROR "version '${QW_VERSION}' is not MAJOR.MINOR.PATCH")
endif()
set(QW_VERSION_MAJOR ${CMAKE_MATCH_1})
set(QW_VERSION_MINOR ${CMAKE_MATCH_2})
set(QW_VERSION_PATCH ${CMAKE_MATCH_3})
# Windows Installer compares the first three fields, at most 255.255.65535.
if(QW_VERSION_MAJOR GREATER 255 OR QW_VERSION_MINOR GREATER 255 OR QW_VERSION_PATCH GREATER 65535)
  message(FATAL_ERROR "version '${QW_VERSION}' is beyond what Windows Installer compares")
endif()
configure_file(${PROJECT_SOURCE_DIR}/cmake/qw_version.h.in
               ${CMAKE_BINARY_DIR}/generated/qw_version.h @ONLY)
target_include_directories(qw_options INTERFACE ${CMAKE_BINARY_DIR}/generated)
