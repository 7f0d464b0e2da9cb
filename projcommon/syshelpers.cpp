#include "projcommon/syshelpers.h"

#include <algorithm>
#include <new>

#include "platform/clipboard.h"
#include "platform/errortext.h"
#include "platform/lasterror.h"
#include "platform/process.h"
#include "platform/shell.h"
#include "projcommon/textfile.h"
#include "projcommon/wformat.h"

int RegReadString(plat::RegRootKey hRootKey, std::u16string_view subKey, std::u16string_view valueName,
                  std::u16string& strValue) {
    plat::RegKey key;
    if (!key.Open(hRootKey, subKey)) return 0;
    std::u16string strRead;
    if (key.QueryString(valueName, &strRead)) strValue = std::move(strRead);
    return 1;
}

int RegWriteString(plat::RegRootKey hRootKey, std::u16string_view subKey, std::u16string_view valueName,
                   std::u16string_view text) {
    plat::RegKey key;
    if (!key.Create(hRootKey, subKey)) return 0;
    key.SetString(valueName, text);
    return 1;
}

std::u16string GuidToText(const plat::Guid& guid) {
    const uint8_t* d = guid.Data4;
    return WFormat(u"{%08lX-%04X-%04x-%02X%02X-%02X%02X%02X%02X%02X%02X}", guid.Data1, guid.Data2, guid.Data3, d[0],
                   d[1], d[2], d[3], d[4], d[5], d[6], d[7]);
}

std::u16string NewGuidText() {
    plat::Guid guid{};
    // Warning statuses (a GUID unique to this computer only) count as failure
    // too: such a GUID must not reach other machines.
    if (plat::UuidCreate(&guid) != plat::RPC_S_OK) {
        plat::MessageBox(nullptr, u"Unable to get a GUID.", u"", plat::MB_OK);
        return {};
    }
    static const plat::Guid kZero{};
    if (guid.Data1 == kZero.Data1 && guid.Data2 == kZero.Data2 && guid.Data3 == kZero.Data3 &&
        std::equal(guid.Data4, guid.Data4 + 8, kZero.Data4)) {
        plat::MessageBox(nullptr, u"Unable to create new GUID.", u"", plat::MB_OK);
        return {};
    }
    return GuidToText(guid);
}

std::u16string LastErrorText() { return plat::FormatErrorText(plat::GetLastError()); }

int ShowOutOfMemory() {
    // There is no focus window on this platform; the box has no owner.
    return plat::MessageBox(nullptr, u"Out of Memory", u"", plat::MB_SYSTEMMODAL | plat::MB_ICONERROR);
}

int CopyTextToClipboard(plat::WindowHandle, std::u16string_view text) {
    std::u16string copy;
    try {
        copy.assign(text);
    } catch (const std::bad_alloc&) {
        ShowOutOfMemory();
        return 0;
    }
    plat::SetClipboardText(copy);
    return 1;
}

int ShellOpen(plat::WindowHandle hOwner, std::u16string_view filePath, std::u16string_view parameters) {
    std::u16string full = GetFullPath(filePath);
    int r = plat::ShellExecute(hOwner, u"open", full, parameters, GetDirectoryPart(full), plat::SW_SHOWDEFAULT);
    return r == plat::SE_ERR_FNF ? 0 : 1;
}

int ShellOpenFile(plat::WindowHandle hOwner, std::u16string_view filePath) {
    int r = plat::ShellExecute(hOwner, u"open", filePath, u"", u"", plat::SW_SHOWNORMAL);
    return r == plat::SE_ERR_FNF ? 0 : 1;
}

int RunAndWait(std::u16string_view programPath, std::u16string_view arguments) {
    std::u16string full = GetFullPath(programPath);
    if (full.empty()) return 0;
    plat::ProcessId pid = 0;
    // The program path is handed over whole, so a path with blanks stays one
    // program and never leaks pieces into the arguments.
    if (!plat::StartProcess(full, plat::SplitCommandLine(arguments), GetDirectoryPart(full), &pid)) return 0;
    uint32_t nExit = 0;
    plat::WaitProcess(pid, plat::kWaitInfinite, &nExit);
    return 1;
}
