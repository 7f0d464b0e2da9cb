# Version resources and icons (GetFileVersionInfo*/VerQueryValue/ExtractIcon)
# and the encoder that builds version blocks (qv_platform_version). The block
# parser and the encoder are portable; Linux reads the blocks and icons from
# the ELF sections ".qvversion" and ".qvicon", Windows from the VERSIONINFO
# and icon resources of the PE file.
set(_qv_platform_version_sources
  ${CMAKE_CURRENT_LIST_DIR}/verres.cpp
  ${CMAKE_CURRENT_LIST_DIR}/verresbuild.cpp
)
if(WIN32)
  list(APPEND _qv_platform_version_sources ${CMAKE_CURRENT_LIST_DIR}/win32/verresfile.cpp)
else()
  list(APPEND _qv_platform_version_sources
    ${CMAKE_CURRENT_LIST_DIR}/elfsection.cpp
    ${CMAKE_CURRENT_LIST_DIR}/verresfile.cpp
  )
endif()
add_library(qv_platform_version STATIC ${_qv_platform_version_sources})
target_link_libraries(qv_platform_version PUBLIC qv_platform)
if(WIN32)
  target_link_libraries(qv_platform_version PUBLIC version)
endif()
