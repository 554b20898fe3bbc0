#include "import/content_filter.h"

#include "host/host_port.h"
#include "platform/core/exceptions.h"
#include "platform/core/text.h"

namespace zeb::import {

ContentFilters::ContentFilters(const std::vector<std::string>& entries) {
  for (const std::string& entry : entries) {
    Filter filter;
    if (!host::splitHostPort(entry, filter.host, filter.port)) {
      throw platform::Exception("content filter '" + entry + "' is not HOST:PORT");
    }
    filters_.push_back(std::move(filter));
  }
}

bool ContentFilters::isHandOver(std::string_view text) const {
  constexpr std::string_view kRelay = " relay=";
  std::size_t at = text.find(kRelay);
  if (at == std::string_view::npos) return false;
  std::string_view relay = text.substr(at + kRelay.size());
  relay = relay.substr(0, relay.find_first_of(", "));

  // NAME[ADDR]:PORT; an IPv6 address stands in the brackets as it is, colons and all.
  std::size_t open = relay.find('[');
  std::size_t close = relay.find(']', open == std::string_view::npos ? relay.size() : open);
  if (close == std::string_view::npos || close + 1 >= relay.size() || relay[close + 1] != ':') {
    return false;
  }
  std::string_view digits = relay.substr(close + 2);
  if (digits.empty() || digits.size() > 5) return false;
  int port = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return false;
    port = port * 10 + (c - '0');
  }
  std::string_view name = relay.substr(0, open);
  std::string_view address = relay.substr(open + 1, close - open - 1);
  for (const Filter& filter : filters_) {
    if (filter.port == port && (platform::equalsIgnoreAsciiCase(name, filter.host) ||
                                platform::equalsIgnoreAsciiCase(address, filter.host))) {
      return true;
    }
  }
  return false;
}

}  // namespace zeb::import
