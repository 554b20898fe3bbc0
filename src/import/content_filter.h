// Content filters (amavis and the like). A mail server with a content filter hands every
// message to the filter, which gives it back under a new queue id, so that its log holds each
// message twice: a delivery to the filter on a port of its own
// ("relay=127.0.0.1[127.0.0.1]:10024"), then the real delivery of the message given back. A
// delivery to a listed filter is a hand-over, not traffic.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace zeb::import {

class ContentFilters {
 public:
  // No filter: every delivery is traffic.
  ContentFilters() = default;
  // "entries" as the host settings hold them, "HOST:PORT" each, the host in brackets when it
  // holds ":" ("[::1]:10024"). An entry that is not one raises Exception naming it.
  explicit ContentFilters(const std::vector<std::string>& entries);

  bool empty() const { return filters_.empty(); }

  // True when "text", the rest of a delivery line after its recipient address, holds the item
  // relay=NAME[ADDR]:PORT (the first "relay=" after a blank) with NAME or ADDR equal to a
  // filter's host, letter case ignored, and PORT equal to that filter's port. Hosts compare as
  // texts: "::1" is not "0:0:0:0:0:0:0:1", and a name is not its address. A relay without
  // brackets or port (relay=local, relay=none, relay=host[private/lmtp]) is never a filter.
  bool isHandOver(std::string_view text) const;

 private:
  struct Filter {
    std::string host;
    int port;
  };
  std::vector<Filter> filters_;
};

}  // namespace zeb::import
