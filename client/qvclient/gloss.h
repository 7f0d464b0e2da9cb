// English meanings of the texts the server sends to clients (refusals,
// notices), so that the terminal tools can print them beside the server's own
// words. The server's texts stay as they are; a text the table does not know
// has no gloss.
#pragma once

#include <string>
#include <string_view>

namespace qvc {

// The English meaning of a server text, or "" when it is not known. Texts
// with numbers in them (a room number, a coin count) are matched with the
// numbers left out.
std::string EnglishGloss(std::u16string_view text);

// "TEXT (meaning)" in UTF-8, or just TEXT when it has no gloss.
std::string WithGloss(std::u16string_view text);

}  // namespace qvc
