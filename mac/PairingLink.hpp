// The pairing link that the phone scans. One rule for the bridge, which prints it as a QR Code
// in a terminal, and the app, which shows and copies it.
#pragma once

#include <string>
#include <string_view>

namespace orvane {

// "orvane://pair?host=", the host percent-encoded for a URL query (every byte outside RFC
// 3986's unreserved characters and "!$&'()*+,;=:@/?" as "%XX"), "&code=", the code as it is.
// Both are UTF-8.
std::string pairingLink(std::string_view host, std::string_view code);

}  // namespace orvane
