#include <array>
#include <cctype>
#include <string_view>

#include "records/RecordStore.h"

namespace mx::records {

namespace {

constexpr std::array<std::string_view, 2> kUriSchemes = {"postgresql://", "postgres://"};

// The keys a libpq "key=value" string may start with.
constexpr std::array<std::string_view, 14> kConnectionKeys = {"host",
                                                              "hostaddr",
                                                              "port",
                                                              "dbname",
                                                              "user",
                                                              "password",
                                                              "passfile",
                                                              "sslmode",
                                                              "connect_timeout",
                                                              "application_name",
                                                              "options",
                                                              "service",
                                                              "target_session_attrs",
                                                              "sslrootcert"};

bool IsUri(std::string_view location) {
  for (auto scheme : kUriSchemes) {
    if (location.starts_with(scheme)) return true;
  }
  return false;
}

bool StartsWithKey(std::string_view location) {
  const auto begin = location.find_first_not_of(" \t");
  if (begin == std::string_view::npos) return false;
  const auto equals = location.find('=', begin);
  if (equals == std::string_view::npos) return false;
  std::string_view key = location.substr(begin, equals - begin);
  while (!key.empty() && (key.back() == ' ' || key.back() == '\t')) key.remove_suffix(1);
  for (auto known : kConnectionKeys) {
    if (key == known) return true;
  }
  return false;
}

// Where the value that starts at `begin` ends: a quoted one at its closing
// quote (a backslash escapes), a plain one at the next blank.
std::size_t ValueEnd(const std::string& text, std::size_t begin) {
  if (begin < text.size() && text[begin] == '\'') {
    for (std::size_t i = begin + 1; i < text.size(); ++i) {
      if (text[i] == '\\') {
        ++i;
      } else if (text[i] == '\'') {
        return i + 1;
      }
    }
    return text.size();
  }
  const auto blank = text.find_first_of(" \t", begin);
  return blank == std::string::npos ? text.size() : blank;
}

// Leaves out every password=value of a key=value string.
std::string WithoutPasswordKey(const std::string& text) {
  std::string out;
  std::size_t pos = 0;
  while (pos < text.size()) {
    const auto begin = text.find_first_not_of(" \t", pos);
    if (begin == std::string::npos) break;
    const auto equals = text.find('=', begin);
    const auto keyEnd = text.find_first_of(" \t=", begin);
    const auto valueBegin = equals == std::string::npos ? text.size() : text.find_first_not_of(" \t", equals + 1);
    const auto end = equals == std::string::npos ? text.size() : ValueEnd(text, std::min(valueBegin, text.size()));
    if (text.compare(begin, keyEnd - begin, "password") != 0) {
      if (!out.empty()) out += ' ';
      out += text.substr(begin, end - begin);
    }
    pos = end;
  }
  return out;
}

// Leaves out a URI's password: user:password@host becomes user@host, and a
// password=... query parameter goes.
std::string WithoutPasswordUri(const std::string& uri) {
  std::string out = uri;
  const auto authority = out.find("://") + 3;
  const auto query = out.find('?', authority);
  const auto at = out.rfind('@', query == std::string::npos ? std::string::npos : query);
  if (at != std::string::npos && at >= authority) {
    const auto colon = out.find(':', authority);
    if (colon < at) out.erase(colon, at - colon);
  }
  const auto parameters = out.find('?', authority);
  if (parameters == std::string::npos) return out;
  std::string kept = out.substr(0, parameters);
  char separator = '?';
  std::size_t pos = parameters + 1;
  while (pos <= out.size()) {
    const auto end = std::min(out.find('&', pos), out.size());
    const std::string parameter = out.substr(pos, end - pos);
    if (!parameter.empty() && !parameter.starts_with("password=")) {
      kept += separator + parameter;
      separator = '&';
    }
    pos = end + 1;
  }
  return kept;
}

}  // namespace

bool IsConnectionString(const std::string& location) { return IsUri(location) || StartsWithKey(location); }

std::string WithoutPassword(const std::string& location) {
  if (IsUri(location)) return WithoutPasswordUri(location);
  if (StartsWithKey(location)) return WithoutPasswordKey(location);
  return location;
}

}  // namespace mx::records
