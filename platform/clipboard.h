// The clipboard's Unicode text, standing in for OpenClipboard /
// SetClipboardData(CF_UNICODETEXT) / GetClipboardData. The text lives in one
// UTF-8 file, $XDG_RUNTIME_DIR/quorvel-clipboard.txt (without that variable
// /tmp/quorvel-clipboard-<uid>.txt), replaced in one step on every store, so
// other programs of the same user can read it. On Windows it is the system
// clipboard itself; an open clipboard held by another program is waited for
// briefly.
// Thread-safe.
#pragma once

#include <string>
#include <string_view>

namespace plat {

// Replaces the clipboard's text; 1/0 (plat::GetLastError holds the reason).
int SetClipboardText(std::u16string_view text);
// 1 and the clipboard's text in *pText; 0 when it holds none (*pText unchanged).
int GetClipboardText(std::u16string* pText);
#ifndef _WIN32
// The clipboard file's operating-system path.
std::string ClipboardFilePath();
#endif

}  // namespace plat
