#include "platform/shell.h"

#include "platform/textconv.h"
#include "platform/win32/winapi.h"

namespace plat {

int ShellExecute(WindowHandle hOwner, std::u16string_view verb, std::u16string_view file,
                 std::u16string_view parameters, std::u16string_view directory, int nShowCmd) {
    // Only "open" is this layer's verb, as on every platform.
    if (!verb.empty() && !WideEqualsNoCase(verb, u"open")) return SE_ERR_NOASSOC;
    if (file.empty()) return SE_ERR_FNF;
    const std::u16string strFile = win::WinPath(file);
    const std::u16string strParameters(parameters);
    const std::u16string strDirectory = win::WinPath(directory);
    // The result is a number dressed as a module handle: above 32 on
    // success (given as SE_SUCCESS), else the reason.
    const auto nResult = reinterpret_cast<INT_PTR>(
        ::ShellExecuteW(static_cast<HWND>(hOwner), L"open", win::Wide(strFile),
                        strParameters.empty() ? nullptr : win::Wide(strParameters),
                        strDirectory.empty() ? nullptr : win::Wide(strDirectory), nShowCmd));
    if (nResult > 32) return SE_SUCCESS;
    return nResult == 0 ? SE_ERR_OOM : static_cast<int>(nResult);
}

}  // namespace plat
