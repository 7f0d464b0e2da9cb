// Small stateless helpers over platform services: string values in the
// registry, new GUIDs as text, the last error's text, the clipboard with its
// out-of-memory notice, opening documents and running a program to its end.
// Results are 1 (success) and 0 (failure) unless stated; failures show up in
// the result only, except the message boxes named below.
// Thread-safe.
#pragma once

#include <string>
#include <string_view>

#include "platform/guid.h"
#include "platform/messagebox.h"
#include "platform/registry.h"

// Reads the string value valueName of the key hRootKey\subKey. Returns 1 when
// the key exists (whether or not it holds the value) and 0 otherwise;
// strValue is replaced only when the value was read, so callers set their
// default first.
int RegReadString(plat::RegRootKey hRootKey, std::u16string_view subKey, std::u16string_view valueName,
                  std::u16string& strValue);
// Stores text as the string value valueName, creating the key and its parents
// as needed. Returns 1 when the key could be opened or created, 0 otherwise;
// a failure of the store itself does not change the result.
int RegWriteString(plat::RegRootKey hRootKey, std::u16string_view subKey, std::u16string_view valueName,
                   std::u16string_view text);

// A new GUID as "{%08lX-%04X-%04x-%02X%02X-%02X%02X%02X%02X%02X%02X}" (the
// third group in lower case). On any non-success status of the platform shows
// "Unable to get a GUID.", for an all-zero GUID "Unable to create new GUID.",
// and returns an empty string.
std::u16string NewGuidText();
// The GUID in that text form.
std::u16string GuidToText(const plat::Guid& guid);

// Message text of the calling thread's last platform error.
std::u16string LastErrorText();

// Shows the system-modal error box "Out of Memory"; returns the box's result.
int ShowOutOfMemory();
// Places a copy of the text on the clipboard. 0 (after ShowOutOfMemory) when
// the copy could not be allocated; 1 otherwise, also when the clipboard was
// not available.
int CopyTextToClipboard(plat::WindowHandle hOwner, std::u16string_view text);

// Opens the file (expanded to its full path) with the parameters, in the
// file's directory. 0 only when the file was not found, 1 otherwise.
int ShellOpen(plat::WindowHandle hOwner, std::u16string_view filePath, std::u16string_view parameters);
// Opens the file as given, without parameters or working directory. 0 only
// when the file was not found, 1 otherwise.
int ShellOpenFile(plat::WindowHandle hOwner, std::u16string_view filePath);

// Runs the program (expanded to its full path) with the argument text, split
// like a command line, in the program's directory, and waits without limit
// for it to end. 1 when it started, 0 otherwise.
int RunAndWait(std::u16string_view programPath, std::u16string_view arguments);
