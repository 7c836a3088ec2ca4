// Host names and addresses as a local HTTP server sees them.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace talmo::host {

// True for names and addresses that only reach this machine: "localhost"
// (any case, with or without a final dot), any IPv4 address in 127.0.0.0/8,
// and "::1" or an IPv4-mapped 127.x.x.x (with or without brackets).
bool is_loopback(std::string_view host);

// The host part of a Host header value, lower-cased, without its port, final
// dot or IPv6 brackets: "LocalHost:8000" -> "localhost", "[::1]:80" -> "::1".
// Nothing for a value that is not a host with an optional numeric port.
std::optional<std::string> name_of(std::string_view host_header);

}  // namespace talmo::host
