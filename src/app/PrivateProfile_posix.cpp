// Private-profile files on POSIX, read and written the way the Windows
// private-profile functions treat them:
// - "[Section]" lines open a section; "key=value" lines inside it are keys.
//   Names are compared without regard to (ASCII) case; the first section and
//   the first key of a name count.
// - Blanks (spaces, tabs) around section names, key names and values are
//   dropped; a value enclosed in a matching pair of double or single quotes
//   loses the quotes. Values are cut to kProfileValueMax characters.
// - Lines starting with ';' are comments; lines without '=' and lines before
//   the first section belong to no key. Both are kept as they are on writes.
// - CR LF and LF line ends are read; a write keeps the file's own line end
//   (CR LF for a new file) and every line it does not change, byte for byte.
// - A write replaces the file through a temporary file beside it, so a crash
//   leaves the old or the new file, never a truncated one.
// Nothing is cached: every call opens the file, reads or writes it, closes it.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <filesystem>
#include <optional>
#include <string_view>
#include <vector>

#include "app/PrivateProfile.h"

namespace mx {
namespace {

constexpr std::string_view kBlanks = " \t\r\v\f";
constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";

// ---- Reading and splitting ------------------------------------------------

struct Line {
  std::string text;  // without the line end
  std::string end;   // "\r\n", "\n" or empty for a last line without one
};

enum class FileState { Missing, Read, Unreadable };

struct FileContent {
  FileState state = FileState::Missing;
  std::string bytes;
  struct stat info {};
};

FileContent ReadWholeFile(const std::string& path) {
  FileContent file;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    file.state = (errno == ENOENT || errno == ENOTDIR) ? FileState::Missing : FileState::Unreadable;
    return file;
  }
  file.state = FileState::Read;
  ::fstat(fd, &file.info);
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n > 0) {
      file.bytes.append(buffer, static_cast<std::size_t>(n));
    } else if (n == 0) {
      break;
    } else if (errno != EINTR) {
      file.state = FileState::Unreadable;
      break;
    }
  }
  ::close(fd);
  return file;
}

std::vector<Line> SplitLines(const std::string& bytes) {
  std::vector<Line> lines;
  std::size_t start = 0;
  while (start < bytes.size()) {
    const std::size_t newline = bytes.find('\n', start);
    if (newline == std::string::npos) {
      lines.push_back({bytes.substr(start), ""});
      break;
    }
    const bool crlf = newline > start && bytes[newline - 1] == '\r';
    const std::size_t textEnd = crlf ? newline - 1 : newline;
    lines.push_back({bytes.substr(start, textEnd - start), crlf ? "\r\n" : "\n"});
    start = newline + 1;
  }
  return lines;
}

std::string_view Trim(std::string_view text) {
  const std::size_t first = text.find_first_not_of(kBlanks);
  if (first == std::string_view::npos) return {};
  const std::size_t last = text.find_last_not_of(kBlanks);
  return text.substr(first, last - first + 1);
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  auto lower = [](unsigned char c) { return (c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c; };
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [&](char x, char y) { return lower(x) == lower(y); });
}

std::string_view Unquote(std::string_view value) {
  const bool quoted =
      value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front();
  return quoted ? value.substr(1, value.size() - 2) : value;
}

// ---- Parsing --------------------------------------------------------------

enum class LineKind { Other, Section, Key };

struct ParsedLine {
  LineKind kind = LineKind::Other;
  std::string_view name;
  std::string_view value;  // trimmed, quotes kept
};

ParsedLine ParseLine(std::string_view text) {
  const std::string_view line = Trim(text);
  if (line.empty() || line.front() == ';') return {};
  if (line.front() == '[') {
    const std::size_t close = line.find(']');
    if (close == std::string_view::npos) return {};
    return {LineKind::Section, Trim(line.substr(1, close - 1)), {}};
  }
  const std::size_t equals = line.find('=');
  if (equals == std::string_view::npos) return {};
  return {LineKind::Key, Trim(line.substr(0, equals)), Trim(line.substr(equals + 1))};
}

// The parse of line `index`; a byte order mark before the first line is not
// part of its text.
ParsedLine ParseLineAt(const std::vector<Line>& lines, std::size_t index) {
  std::string_view text = lines[index].text;
  if (index == 0 && text.starts_with(kUtf8Bom)) text.remove_prefix(kUtf8Bom.size());
  return ParseLine(text);
}

// Where a key of a section is, or would go.
struct Location {
  std::optional<std::size_t> section;  // the header line
  std::optional<std::size_t> key;      // the key's line
  std::size_t insertAt = 0;            // after the section's last non-blank line
};

Location Locate(const std::vector<Line>& lines, std::string_view section, std::string_view key) {
  Location where;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const ParsedLine parsed = ParseLineAt(lines, i);
    if (parsed.kind == LineKind::Section) {
      if (where.section) break;  // the end of the first matching section
      if (EqualsNoCase(parsed.name, section)) {
        where.section = i;
        where.insertAt = i + 1;
      }
      continue;
    }
    if (!where.section) continue;
    if (parsed.kind == LineKind::Key && !where.key && EqualsNoCase(parsed.name, key)) where.key = i;
    if (!Trim(lines[i].text).empty()) where.insertAt = i + 1;
  }
  return where;
}

// ---- Writing --------------------------------------------------------------

// Texts that would break the file apart: line breaks anywhere, a ']' in a
// section name, a key that would read as a section, a comment or a value.
bool IsStorable(std::string_view section, std::string_view key, std::string_view value) {
  auto breaksLines = [](std::string_view text) {
    return text.find_first_of(std::string_view("\r\n\0", 3)) != text.npos;
  };
  if (breaksLines(section) || breaksLines(key) || breaksLines(value)) return false;
  const std::string_view name = Trim(key);
  return !Trim(section).empty() && section.find(']') == section.npos && !name.empty() && key.find('=') == key.npos &&
         name.front() != '[' && name.front() != ';';
}

std::string LineEndOf(const std::string& bytes) {
  const std::size_t newline = bytes.find('\n');
  return (newline != std::string::npos && newline > 0 && bytes[newline - 1] != '\r') ? "\n" : "\r\n";
}

void InsertLine(std::vector<Line>& lines, std::size_t at, std::string text, const std::string& end) {
  if (at > 0 && lines[at - 1].end.empty()) lines[at - 1].end = end;
  lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(at), Line{std::move(text), end});
}

void StoreKey(std::vector<Line>& lines, const std::string& section, const std::string& key, const std::string& value,
              const std::string& end) {
  const Location where = Locate(lines, section, key);
  if (where.key) {
    // Keep the key's own spelling and line end.
    Line& line = lines[*where.key];
    line.text = std::string(ParseLineAt(lines, *where.key).name) + "=" + value;
    return;
  }
  if (where.section) {
    InsertLine(lines, where.insertAt, key + "=" + value, end);
    return;
  }
  InsertLine(lines, lines.size(), "[" + section + "]", end);
  InsertLine(lines, lines.size(), key + "=" + value, end);
}

std::string JoinLines(const std::vector<Line>& lines) {
  std::string bytes;
  for (const Line& line : lines) bytes += line.text + line.end;
  return bytes;
}

bool WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

// A new file beside `path` that no one else uses; -1 when the directory
// takes no new file.
int CreateTemporaryBeside(const std::string& path, std::string& tempPath) {
  static std::atomic<unsigned> counter{0};
  for (int attempt = 0; attempt < 100; ++attempt) {
    tempPath = path + ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
    const int fd = ::open(tempPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

void SyncDirectoryOf(const std::string& path) {
  const std::string directory = std::filesystem::path(path).parent_path().string();
  const int fd = ::open(directory.empty() ? "." : directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}

void KeepModeAndOwner(int fd, const struct stat& info) {
  ::fchmod(fd, info.st_mode & 07777);
  // Only a privileged writer can give the file back to its owner; otherwise
  // it is the writer's own file anyway.
  const int ignored = ::fchown(fd, info.st_uid, info.st_gid);
  static_cast<void>(ignored);
}

// Writes `bytes` to a temporary file and renames it over `path`, keeping the
// mode and owner of an existing file.
bool ReplaceFile(const std::string& path, const std::string& bytes, const FileContent& old) {
  std::string tempPath;
  const int fd = CreateTemporaryBeside(path, tempPath);
  if (fd < 0) return false;
  if (old.state == FileState::Read) KeepModeAndOwner(fd, old.info);
  const bool written = WriteAll(fd, bytes) && ::fsync(fd) == 0;
  const bool closed = ::close(fd) == 0;
  if (!written || !closed || ::rename(tempPath.c_str(), path.c_str()) != 0) {
    ::unlink(tempPath.c_str());
    return false;
  }
  SyncDirectoryOf(path);
  return true;
}

// A settings file reached through a symbolic link is written where the link
// points, so that the link stays.
std::string ResolveLink(const std::string& path) {
  std::error_code error;
  if (!std::filesystem::is_symlink(path, error)) return path;
  const std::filesystem::path target = std::filesystem::canonical(path, error);
  return error ? path : target.string();
}

}  // namespace

std::string ReadProfileString(const std::string& section, const std::string& key, const std::string& fallback,
                              const std::string& path) {
  const FileContent file = ReadWholeFile(path);
  if (file.state != FileState::Read) return fallback.substr(0, kProfileValueMax);
  const std::vector<Line> lines = SplitLines(file.bytes);
  const Location where = Locate(lines, section, key);
  if (!where.key) return fallback.substr(0, kProfileValueMax);
  return std::string(Unquote(ParseLineAt(lines, *where.key).value).substr(0, kProfileValueMax));
}

bool WriteProfileString(const std::string& section, const std::string& key, const std::string& value,
                        const std::string& path) {
  if (!IsStorable(section, key, value)) return false;
  const std::string target = ResolveLink(path);
  const FileContent old = ReadWholeFile(target);
  if (old.state == FileState::Unreadable) return false;
  // A read-only settings file is refused, as the platform's own function does.
  if (old.state == FileState::Read && ::access(target.c_str(), W_OK) != 0) return false;
  std::vector<Line> lines = SplitLines(old.bytes);
  StoreKey(lines, std::string(Trim(section)), std::string(Trim(key)), value, LineEndOf(old.bytes));
  return ReplaceFile(target, JoinLines(lines), old);
}

}  // namespace mx
