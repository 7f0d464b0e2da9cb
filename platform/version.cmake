# Version resources and icons read from the ELF sections ".qvversion" and
# ".qvicon" (GetFileVersionInfo*/VerQueryValue/ExtractIcon), and the encoder
# that builds version blocks (qv_platform_version).
add_library(qv_platform_version STATIC
  ${CMAKE_CURRENT_LIST_DIR}/elfsection.cpp
  ${CMAKE_CURRENT_LIST_DIR}/verres.cpp
  ${CMAKE_CURRENT_LIST_DIR}/verresbuild.cpp
)
target_link_libraries(qv_platform_version PUBLIC qv_platform)
