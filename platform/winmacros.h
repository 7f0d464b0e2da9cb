// Internal to the platform headers: removes the macros of <windows.h> that
// would rename or replace names the platform headers declare (function names
// such as CreateDirectory or FreeModule, constants such as MB_OK or
// HKEY_CURRENT_USER, which the headers define with the Windows values), so
// that a file may include <windows.h> before them. Such a file names the
// Windows functions by their W forms (CreateDirectoryW). A <windows.h>
// included after a platform header brings the macros back: include it first.
// Deliberately without an include guard: every platform header that needs it
// removes the macros again. Nothing happens outside Windows builds.
#ifdef _WIN32
// Function names.
#undef CopyFile
#undef CreateDirectory
#undef DeleteFile
#undef ExtractIcon
#undef FreeModule
#undef GetCurrentDirectory
#undef GetFileAttributes
#undef GetFileVersionInfo
#undef GetFileVersionInfoSize
#undef GetFullPathName
#undef GetModuleFileName
#undef MessageBox
#undef RemoveDirectory
#undef ReplaceFile
#undef SetFileAttributes
#undef ShellExecute
#undef VerQueryValue
// Constants.
#undef HKEY_CLASSES_ROOT
#undef HKEY_CURRENT_USER
#undef HKEY_LOCAL_MACHINE
#undef HKEY_USERS
#undef HKEY_CURRENT_CONFIG
#undef MB_OK
#undef MB_OKCANCEL
#undef MB_ABORTRETRYIGNORE
#undef MB_YESNOCANCEL
#undef MB_YESNO
#undef MB_RETRYCANCEL
#undef MB_ICONERROR
#undef MB_ICONWARNING
#undef MB_ICONINFORMATION
#undef MB_SYSTEMMODAL
#undef IDOK
#undef IDCANCEL
#undef IDABORT
#undef IDRETRY
#undef IDIGNORE
#undef IDYES
#undef IDNO
#undef SE_ERR_FNF
#undef SE_ERR_PNF
#undef SE_ERR_ACCESSDENIED
#undef SE_ERR_OOM
#undef SE_ERR_NOASSOC
#undef SW_SHOWNORMAL
#undef SW_SHOWDEFAULT
#undef RPC_S_OK
#undef RPC_S_UUID_NO_ADDRESS
#undef RPC_S_UUID_LOCAL_ONLY
#undef VS_FFI_SIGNATURE
#undef VS_FFI_STRUCVERSION
#undef VS_FFI_FILEFLAGSMASK
#undef VS_FF_DEBUG
#undef VFT_UNKNOWN
#undef VFT_APP
#undef VFT_DLL
#endif
