// Package metadata: the .PKGINFO text ("key = value" lines) in both directions, and the
// PackageInfo calls that compare names.
#include <string.h>

#include "qpk_format.h"

namespace {

bool isSpace(char c) {
  return c == ' ' || c == '\t' || c == '\r';
}

std::string trim(const char* begin, const char* end) {
  while (begin < end && isSpace(*begin)) ++begin;
  while (end > begin && isSpace(end[-1])) --end;
  return std::string(begin, end);
}

bool isNameChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '@' ||
         c == '.' || c == '_' || c == '+' || c == '-';
}

bool isValidVersion(const std::string& version) {
  if (version.empty()) return false;
  for (char c : version) {
    if (!isNameChar(c) && c != ':' && c != '~') return false;
  }
  return true;
}

bool hasControlChar(const std::string& text) {
  for (unsigned char c : text) {
    if (c < 0x20 && c != '\t') return true;
    if (c == 0x7f) return true;
  }
  return false;
}

}  // namespace

bool isValidPackageName(const std::string& name) {
  if (name.empty() || name[0] == '.' || name[0] == '-') return false;
  for (char c : name) {
    if (!isNameChar(c)) return false;
  }
  return true;
}

bool parsePkgInfo(const char* text, size_t length, PackageInfo& info, std::string& error) {
  info = PackageInfo();
  bool haveName = false, haveVersion = false, haveDesc = false;
  const char* end = text + length;
  const char* line = text;
  int lineNumber = 0;
  while (line < end) {
    ++lineNumber;
    const char* eol = static_cast<const char*>(memchr(line, '\n', static_cast<size_t>(end - line)));
    if (!eol) eol = end;
    std::string whole = trim(line, eol);
    line = eol + 1;
    if (whole.empty() || whole[0] == '#') continue;
    if (memchr(whole.data(), '\0', whole.size())) {
      error = ".PKGINFO line " + std::to_string(lineNumber) + " holds a NUL byte";
      return false;
    }
    size_t eq = whole.find('=');
    if (eq == std::string::npos) {
      error = ".PKGINFO line " + std::to_string(lineNumber) + " is not 'key = value'";
      return false;
    }
    std::string key = trim(whole.data(), whole.data() + eq);
    std::string value = trim(whole.data() + eq + 1, whole.data() + whole.size());
    if (hasControlChar(value)) {
      error = ".PKGINFO line " + std::to_string(lineNumber) + " holds a control character";
      return false;
    }
    bool duplicate = false;
    if (key == "pkgname") {
      duplicate = haveName;
      haveName = true;
      info.name = value;
    } else if (key == "pkgver") {
      duplicate = haveVersion;
      haveVersion = true;
      info.version = value;
    } else if (key == "pkgdesc") {
      duplicate = haveDesc;
      haveDesc = true;
      info.description = value;
    } else if (key == "arch") {
      info.arch = value;
    } else if (key == "depend") {
      // Other package managers write "name>=1.0": only the name counts here.
      size_t op = value.find_first_of("<>=");
      std::string name =
          trim(value.data(), value.data() + (op == std::string::npos ? value.size() : op));
      if (!isValidPackageName(name)) {
        error = ".PKGINFO depend '" + value + "' is not a package name";
        return false;
      }
      info.depends.push_back(PackageDep(name));
    }
    // Other keys (size, url, builddate, ...) are informational and ignored.
    if (duplicate) {
      error = ".PKGINFO repeats '" + key + "'";
      return false;
    }
  }
  if (!haveName || !isValidPackageName(info.name)) {
    error = haveName ? ".PKGINFO pkgname '" + info.name + "' is not a valid package name"
                     : ".PKGINFO has no pkgname";
    return false;
  }
  if (!haveVersion || !isValidVersion(info.version)) {
    error = haveVersion ? ".PKGINFO pkgver '" + info.version + "' is not a valid version"
                        : ".PKGINFO has no pkgver";
    return false;
  }
  return true;
}

std::string formatPkgInfo(const PackageInfo& info) {
  std::string text = "pkgname = " + info.name + "\npkgver = " + info.version + "\n";
  text += "pkgdesc = " + info.description + "\n";
  if (!info.arch.empty()) text += "arch = " + info.arch + "\n";
  for (const PackageDep& dep : info.depends) text += "depend = " + dep.name + "\n";
  return text;
}

std::string PackageInfo::getFullName() const {
  if (name.empty()) return std::string();
  return name + "-" + version;
}

bool PackageInfo::requires(PackageInfo const& other) const {
  if (other.name.empty()) return false;
  for (const PackageDep& dep : depends) {
    if (dep.name == other.name) return true;
  }
  return false;
}
