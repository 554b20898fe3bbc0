#include "import/log_paths.h"

#include "platform/core/exceptions.h"

namespace zeb::import {

namespace {

bool isBlank(char c) { return c == ' ' || c == '\t'; }

[[noreturn]] void notAList(std::string_view text, std::size_t at, const char* what) {
  throw platform::EConvertError("the file list '" + std::string(text) + "' " + what +
                                " at character " + std::to_string(at + 1));
}

}  // namespace

std::vector<std::string> splitLogPaths(std::string_view text) {
  if (text.empty()) return {};
  if (text.front() != '"') return {std::string(text)};
  std::vector<std::string> paths;
  std::size_t at = 0;
  while (at < text.size()) {
    if (isBlank(text[at])) {
      ++at;
      continue;
    }
    if (text[at] != '"') notAList(text, at, "has a path without quotes");
    std::string path;
    std::size_t open = at++;
    for (;;) {
      if (at == text.size()) notAList(text, open, "has a quote left open");
      if (text[at] == '"') {
        if (at + 1 < text.size() && text[at + 1] == '"') {
          path += '"';
          at += 2;
          continue;
        }
        ++at;
        break;
      }
      path += text[at++];
    }
    if (at < text.size() && !isBlank(text[at])) notAList(text, at, "needs a blank");
    paths.push_back(std::move(path));
  }
  return paths;
}

std::string joinLogPaths(const std::vector<std::string>& paths) {
  if (paths.size() == 1 && (paths[0].empty() || paths[0].front() != '"')) return paths[0];
  std::string text;
  for (const std::string& path : paths) {
    if (!text.empty()) text += ' ';
    text += '"';
    for (char c : path) {
      if (c == '"') text += '"';
      text += c;
    }
    text += '"';
  }
  return text;
}

}  // namespace zeb::import
