# Version resources and icons for the system's modules and programs.
#
# qv_add_version_info(target FILE_DESCRIPTION text FILE_VERSION a.b.c.d
#     [PRODUCT_VERSION a.b.c.d] [COMPANY_NAME text] [PRODUCT_NAME text]
#     [ORIGINAL_FILENAME text] [LANGUAGE 0x0804] [CODEPAGE 1200]
#     [NO_TRANSLATION] [STRINGS Name=Value ...])
#   Builds a genuine version-information block (VS_VERSIONINFO) at build time
#   with the tool qvverres and embeds it into the target as ELF section
#   ".qvversion", which platform/verres.h reads back. FILE_VERSION fills the
#   fixed file information and the "FileVersion" string; PRODUCT_VERSION
#   (default: FILE_VERSION) likewise "ProductVersion". STRINGS adds further
#   strings (e.g. Comments=..., InternalName=...). The string table is named
#   after LANGUAGE and CODEPAGE (defaults 0x0804 and 1200); NO_TRANSLATION
#   leaves out the translation table, and the string table then takes the
#   readers' fallback language 0 and code page 1252 unless LANGUAGE or
#   CODEPAGE are given. Executables get file type "app", libraries "dll".
#   Call it from the directory that defines the target.
#
# qv_add_icon(target FILE icon.ico)
#   Embeds the bytes of an .ico file into the target as ELF section ".qvicon".
#
# Both sections are allocated and marked to be retained, so they survive
# --gc-sections and strip.

enable_language(ASM)

# The tool that writes the block: the target qvverres in the framework's own
# build, the installed program when a module is built out of tree (the
# package configuration sets it first).
if(NOT DEFINED QV_VERRES_COMMAND)
  set(QV_VERRES_COMMAND qvverres)
endif()

# Writes the assembler source that places FILE into SECTION.
function(_qv_write_section_source asm_path section file)
  string(REPLACE "\\" "\\\\" escaped "${file}")
  string(REPLACE "\"" "\\\"" escaped "${escaped}")
  file(CONFIGURE OUTPUT "${asm_path}" CONTENT
"  .section ${section},\"aR\",@progbits
  .balign 4
  .incbin \"${escaped}\"
  .section .note.GNU-stack,\"\",@progbits
" @ONLY)
endfunction()

function(qv_add_version_info target)
  cmake_parse_arguments(PARSE_ARGV 1 V "NO_TRANSLATION"
    "FILE_DESCRIPTION;FILE_VERSION;PRODUCT_VERSION;COMPANY_NAME;PRODUCT_NAME;ORIGINAL_FILENAME;LANGUAGE;CODEPAGE"
    "STRINGS")
  if(V_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "qv_add_version_info(${target}): unknown arguments ${V_UNPARSED_ARGUMENTS}")
  endif()
  if(NOT DEFINED V_FILE_VERSION)
    message(FATAL_ERROR "qv_add_version_info(${target}): FILE_VERSION is required")
  endif()
  get_target_property(already ${target} QV_VERSION_INFO)
  if(already)
    message(FATAL_ERROR "qv_add_version_info(${target}): the target has version information already")
  endif()
  set_target_properties(${target} PROPERTIES QV_VERSION_INFO ON)

  if(NOT DEFINED V_PRODUCT_VERSION)
    set(V_PRODUCT_VERSION ${V_FILE_VERSION})
  endif()
  if(V_NO_TRANSLATION)
    if(NOT DEFINED V_LANGUAGE)
      set(V_LANGUAGE 0)
    endif()
    if(NOT DEFINED V_CODEPAGE)
      set(V_CODEPAGE 1252)
    endif()
  endif()
  if(NOT DEFINED V_LANGUAGE)
    set(V_LANGUAGE 0x0804)
  endif()
  if(NOT DEFINED V_CODEPAGE)
    set(V_CODEPAGE 1200)
  endif()
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "EXECUTABLE")
    set(file_type app)
  else()
    set(file_type dll)
  endif()

  set(dir ${CMAKE_CURRENT_BINARY_DIR}/qvres)
  set(block ${dir}/${target}.qvversion)
  set(args --out ${block} --file-version ${V_FILE_VERSION} --product-version ${V_PRODUCT_VERSION}
      --file-type ${file_type} --language ${V_LANGUAGE} --codepage ${V_CODEPAGE})
  if(V_NO_TRANSLATION)
    list(APPEND args --no-translation)
  endif()
  # The usual strings first, in the order resource scripts list them.
  foreach(pair
      "CompanyName;COMPANY_NAME" "FileDescription;FILE_DESCRIPTION" "FileVersion;FILE_VERSION"
      "OriginalFilename;ORIGINAL_FILENAME" "ProductName;PRODUCT_NAME" "ProductVersion;PRODUCT_VERSION")
    list(GET pair 0 name)
    list(GET pair 1 key)
    if(DEFINED V_${key})
      list(APPEND args --string "${name}=${V_${key}}")
    endif()
  endforeach()
  foreach(extra IN LISTS V_STRINGS)
    list(APPEND args --string "${extra}")
  endforeach()

  file(MAKE_DIRECTORY ${dir})
  add_custom_command(OUTPUT ${block}
    COMMAND ${QV_VERRES_COMMAND} ${args}
    DEPENDS ${QV_VERRES_COMMAND}
    COMMENT "Version information of ${target}"
    VERBATIM)
  set(asm ${dir}/${target}.qvversion.S)
  _qv_write_section_source(${asm} .qvversion ${block})
  set_source_files_properties(${asm} PROPERTIES OBJECT_DEPENDS ${block})
  set_source_files_properties(${block} PROPERTIES HEADER_FILE_ONLY ON GENERATED ON)
  target_sources(${target} PRIVATE ${asm} ${block})
endfunction()

function(qv_add_icon target)
  cmake_parse_arguments(PARSE_ARGV 1 I "" "FILE" "")
  if(NOT DEFINED I_FILE)
    message(FATAL_ERROR "qv_add_icon(${target}): FILE is required")
  endif()
  get_filename_component(ico "${I_FILE}" ABSOLUTE)
  set(asm ${CMAKE_CURRENT_BINARY_DIR}/qvres/${target}.qvicon.S)
  _qv_write_section_source(${asm} .qvicon ${ico})
  set_source_files_properties(${asm} PROPERTIES OBJECT_DEPENDS ${ico})
  target_sources(${target} PRIVATE ${asm})
endfunction()
