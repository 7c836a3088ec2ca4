#include "support/host.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <cstring>

namespace talmo::host {

namespace {

bool all_digits(std::string_view text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::string lower(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

}  // namespace

bool is_loopback(std::string_view host) {
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  if (!host.empty() && host.back() == '.') host.remove_suffix(1);
  const std::string text = lower(host);
  if (text == "localhost") return true;
  in_addr v4{};
  if (::inet_pton(AF_INET, text.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
  in6_addr v6{};
  if (::inet_pton(AF_INET6, text.c_str(), &v6) == 1) {
    if (IN6_IS_ADDR_LOOPBACK(&v6)) return true;
    return IN6_IS_ADDR_V4MAPPED(&v6) && v6.s6_addr[12] == 127;
  }
  return false;
}

std::optional<std::string> name_of(std::string_view header) {
  std::string_view name = header;
  if (!name.empty() && name.front() == '[') {
    const std::size_t close = name.find(']');
    if (close == std::string_view::npos) return std::nullopt;
    std::string_view rest = name.substr(close + 1);
    if (!rest.empty() && (rest.front() != ':' || !all_digits(rest.substr(1)))) return std::nullopt;
    name = name.substr(1, close - 1);
    in6_addr v6{};
    if (::inet_pton(AF_INET6, std::string(name).c_str(), &v6) != 1) return std::nullopt;
  } else {
    const std::size_t colon = name.find(':');
    if (colon != std::string_view::npos) {
      if (!all_digits(name.substr(colon + 1))) return std::nullopt;
      name = name.substr(0, colon);
    }
    if (!name.empty() && name.back() == '.') name.remove_suffix(1);
    for (char c : name) {
      const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
                      c == '.' || c == '_';
      if (!ok) return std::nullopt;
    }
  }
  if (name.empty()) return std::nullopt;
  return lower(name);
}

}  // namespace talmo::host
