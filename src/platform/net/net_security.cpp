#include "platform/net/net_security.h"

#include <cerrno>
#include <fstream>
#include <sstream>

#include "platform/core/exceptions.h"

namespace zeb::platform::net {

std::string readTokenFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) throw EInOutError(errno, path, "reading the token file");
  std::string line;
  std::getline(file, line);
  if (file.bad()) throw EInOutError(errno, path, "reading the token file");
  auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  std::size_t begin = 0, end = line.size();
  while (begin < end && blank(line[begin])) ++begin;
  while (end > begin && blank(line[end - 1])) --end;
  if (begin == end)
    throw Exception("the token file '" + path + "' holds no token on its first line");
  return line.substr(begin, end - begin);
}

}  // namespace zeb::platform::net
