#include "platform/hostname.h"

#include "platform/win32/winapi.h"

namespace plat {

std::u16string GetHostName() {
    // The DNS host name is what gethostname gives elsewhere; the NetBIOS
    // computer name is the fallback for systems without one.
    for (COMPUTER_NAME_FORMAT eFormat : {ComputerNameDnsHostname, ComputerNameNetBIOS}) {
        DWORD nUnits = 0;
        ::GetComputerNameExW(eFormat, nullptr, &nUnits);  // the size it needs, terminator included
        if (nUnits == 0) continue;
        std::u16string strName(nUnits, u'\0');
        if (::GetComputerNameExW(eFormat, win::Wide(strName.data()), &nUnits) && nUnits > 0) {
            strName.resize(nUnits);
            return strName;
        }
    }
    return {};
}

}  // namespace plat
