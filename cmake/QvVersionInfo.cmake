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

# On Windows both are real resources instead (VERSIONINFO and ICON in a
# resource script compiled by windres), which the system's own version and
# icon calls read.
if(WIN32)
  enable_language(RC)
else()
  enable_language(ASM)
endif()

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

# A text as a resource-script string literal ("" for ", \\ for \).
function(_qv_rc_string out text)
  string(REPLACE "\\" "\\\\" text "${text}")
  string(REPLACE "\"" "\"\"" text "${text}")
  set(${out} "\"${text}\"" PARENT_SCOPE)
endfunction()

# The VERSIONINFO resource of qv_add_version_info on Windows, from the
# caller's parsed arguments (V_*, file_type); the script is UTF-8.
macro(_qv_version_resource_script target)
  string(REPLACE "." "," rc_file_version "${V_FILE_VERSION}")
  string(REPLACE "." "," rc_product_version "${V_PRODUCT_VERSION}")
  math(EXPR rc_language "${V_LANGUAGE}" OUTPUT_FORMAT HEXADECIMAL)
  math(EXPR rc_codepage "${V_CODEPAGE}" OUTPUT_FORMAT HEXADECIMAL)
  string(SUBSTRING "${rc_language}" 2 -1 rc_language_hex)
  string(SUBSTRING "${rc_codepage}" 2 -1 rc_codepage_hex)
  string(LENGTH "${rc_language_hex}" n)
  while(n LESS 4)
    string(PREPEND rc_language_hex 0)
    math(EXPR n "${n} + 1")
  endwhile()
  string(LENGTH "${rc_codepage_hex}" n)
  while(n LESS 4)
    string(PREPEND rc_codepage_hex 0)
    math(EXPR n "${n} + 1")
  endwhile()
  if(file_type STREQUAL "app")
    set(rc_file_type VFT_APP)
  else()
    set(rc_file_type VFT_DLL)
  endif()
  set(rc_strings "")
  foreach(pair
      "CompanyName;COMPANY_NAME" "FileDescription;FILE_DESCRIPTION" "FileVersion;FILE_VERSION"
      "OriginalFilename;ORIGINAL_FILENAME" "ProductName;PRODUCT_NAME" "ProductVersion;PRODUCT_VERSION")
    list(GET pair 0 name)
    list(GET pair 1 key)
    if(DEFINED V_${key})
      _qv_rc_string(value "${V_${key}}")
      string(APPEND rc_strings "      VALUE \"${name}\", ${value}\n")
    endif()
  endforeach()
  foreach(extra IN LISTS V_STRINGS)
    string(FIND "${extra}" "=" at)
    if(at LESS 1)
      message(FATAL_ERROR "qv_add_version_info(${target}): STRINGS entry \"${extra}\" is not Name=Value")
    endif()
    string(SUBSTRING "${extra}" 0 ${at} name)
    math(EXPR at "${at} + 1")
    string(SUBSTRING "${extra}" ${at} -1 value)
    _qv_rc_string(value "${value}")
    string(APPEND rc_strings "      VALUE \"${name}\", ${value}\n")
  endforeach()
  set(rc_translation "")
  if(NOT V_NO_TRANSLATION)
    set(rc_translation "  BLOCK \"VarFileInfo\"\n  BEGIN\n    VALUE \"Translation\", ${rc_language}, ${V_CODEPAGE}\n  END\n")
  endif()
  file(MAKE_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/qvres)
  set(rc ${CMAKE_CURRENT_BINARY_DIR}/qvres/${target}.version.rc)
  file(CONFIGURE OUTPUT "${rc}" CONTENT
"#pragma code_page(65001)
#include <winver.h>
1 VERSIONINFO
FILEVERSION @rc_file_version@
PRODUCTVERSION @rc_product_version@
FILEFLAGSMASK 0x3F
FILEFLAGS 0
FILEOS VOS_NT_WINDOWS32
FILETYPE @rc_file_type@
FILESUBTYPE 0
BEGIN
  BLOCK \"StringFileInfo\"
  BEGIN
    BLOCK \"@rc_language_hex@@rc_codepage_hex@\"
    BEGIN
@rc_strings@    END
  END
@rc_translation@END
" @ONLY)
  target_sources(${target} PRIVATE ${rc})
endmacro()

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

  if(WIN32)
    _qv_version_resource_script(${target})
    return()
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
  if(WIN32)
    _qv_rc_string(rc_path "${ico}")
    set(rc ${CMAKE_CURRENT_BINARY_DIR}/qvres/${target}.icon.rc)
    file(CONFIGURE OUTPUT "${rc}" CONTENT "1 ICON @rc_path@\n" @ONLY)
    set_source_files_properties(${rc} PROPERTIES OBJECT_DEPENDS ${ico})
    target_sources(${target} PRIVATE ${rc})
    return()
  endif()
  set(asm ${CMAKE_CURRENT_BINARY_DIR}/qvres/${target}.qvicon.S)
  _qv_write_section_source(${asm} .qvicon ${ico})
  set_source_files_properties(${asm} PROPERTIES OBJECT_DEPENDS ${ico})
  target_sources(${target} PRIVATE ${asm})
endfunction()
