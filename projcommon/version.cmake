# The version-information reader CVersionInfo (qv_projcommon_version), over
# the version-resource layer of platform/.
add_library(qv_projcommon_version STATIC
  ${CMAKE_CURRENT_LIST_DIR}/versioninfo.cpp
)
target_link_libraries(qv_projcommon_version PUBLIC qv_projcommon_text qv_platform_version)
