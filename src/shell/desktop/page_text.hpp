// Text rules of the desktop side that need no toolkit: valid UTF-8 for GTK and
// WebKit, menu captions, the address a navigation loads, and the base tag of the
// first page.
#pragma once

#include <string>
#include <string_view>

namespace vantrel::desktop {

// The text with every byte sequence that is not valid UTF-8 replaced by U+FFFD
// (one replacement per invalid byte). Valid text comes back unchanged.
std::string MakeValidUtf8(std::string_view text);

// A caption with "&" access keys as a GTK mnemonic label: "&x" -> "_x",
// "&&" -> "&", "_" -> "__" (a literal underscore), a trailing lone "&" is dropped.
std::string MnemonicLabel(std::string_view caption);

// The address the browser loads for a navigation text: a text with a scheme is
// used as it is; without one an absolute path becomes a file:// address and
// anything else is taken as a host (name, address, or host:port) for http://.
std::string NavigationUri(std::string_view text);

// The base tag written after the first "<head>" of the first page.
std::string BaseTag(std::string_view folder);

// Inserts BaseTag(folder) directly after the first "<head>" of the html, found
// without regard to letter case but otherwise exactly (no attributes, no blanks).
// A text without "<head>" comes back unchanged.
std::string InsertBaseTag(std::string_view html, std::string_view folder);

// The find bar's count: "3 of 17", "No matches"; above `limit` (where the
// engine stops counting) "More than 1000 matches".
std::string MatchCountText(unsigned current, unsigned count, unsigned limit);

}  // namespace vantrel::desktop
