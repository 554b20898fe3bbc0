#include "host/host_port.h"

namespace zeb::host {

bool splitHostPort(const std::string& text, std::string& host, int& port, int lowestPort) {
  std::size_t colon = text.rfind(':');
  if (colon == std::string::npos) return false;
  std::string name = text.substr(0, colon);
  std::string digits = text.substr(colon + 1);
  if (name.size() >= 2 && name.front() == '[' && name.back() == ']') {
    name = name.substr(1, name.size() - 2);
  }
  if (name.empty() || digits.empty() || digits.size() > 5 ||
      digits.find_first_not_of("0123456789") != std::string::npos) {
    return false;
  }
  int number = std::stoi(digits);
  if (number < lowestPort || number > 65535) return false;
  host = std::move(name);
  port = number;
  return true;
}

bool splitServerAddress(const std::string& text, std::string& host, int& port, bool& tls) {
  std::string rest = text;
  bool secure = false;
  if (rest.starts_with("https://")) {
    secure = true;
    rest.erase(0, 8);
  } else if (rest.starts_with("http://")) {
    rest.erase(0, 7);
  }
  if (rest.size() != text.size() && rest.ends_with("/")) rest.pop_back();
  if (!splitHostPort(rest, host, port)) return false;
  tls = secure;
  return true;
}

}  // namespace zeb::host
