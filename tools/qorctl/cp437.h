// Code page 437, the driver's banner's character set, to UTF-8.
#pragma once

#include <string>
#include <string_view>

namespace qorctl {

// Printable ASCII, line feed and the box and shade characters the banner
// draws with pass; any other byte becomes U+FFFD.
std::string Cp437ToUtf8(std::string_view text);

}  // namespace qorctl
