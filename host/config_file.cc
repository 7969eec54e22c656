#include "config_file.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

#include <map>
#include <set>

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string Trim(const std::string& text) {
  size_t begin = 0;
  size_t end = text.size();
  while (begin < end && IsBlank(text[begin])) ++begin;
  while (end > begin && IsBlank(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

bool IsNameCharacter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-';
}

// The reasons of bad lines: the first in *error, each in *every when given.
class BadLines {
 public:
  BadLines(std::string* error, std::vector<std::string>* every) : error_(error), every_(every) {}
  // Notes a bad line; true when reading stops at it (no `every`).
  bool Stop(const std::string& reason) {
    if (!found_) *error_ = reason;
    found_ = true;
    if (every_ == nullptr) return true;
    every_->push_back(reason);
    return false;
  }
  bool found() const { return found_; }

 private:
  std::string* error_;
  std::vector<std::string>* every_;
  bool found_ = false;
};

// The option whose configuration-file key is `key` ("listen"), or null.
const OptionRow<HostOptions>* OptionForConfigKey(const std::string& key) {
  for (const OptionRow<HostOptions>& row : HostOptionTable()) {
    if (row.config_key != nullptr && key == row.config_key) return &row;
  }
  return nullptr;
}

}  // namespace

bool ParseConfigText(const std::string& text, const std::string& path,
                     std::vector<OptionEntry>* entries, std::string* error,
                     std::vector<std::string>* every) {
  BadLines bad(error, every);
  std::vector<OptionEntry> result;
  size_t start = 0;
  int number = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    start = end + 1;
    ++number;
    std::string origin = path + ":" + std::to_string(number);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.find('\0') != std::string::npos) {
      if (bad.Stop(origin + ": a NUL byte; is this a text file?")) return false;
      continue;
    }
    line = Trim(line);
    if (line.empty() || line[0] == '#') continue;

    size_t blank = 0;
    while (blank < line.size() && !IsBlank(line[blank])) ++blank;
    std::string name = line.substr(0, blank);
    if (name[0] == '-') {
      size_t dashes = name.find_first_not_of('-');
      if (bad.Stop(origin + ": write the option's name without its dashes ('" +
                   (dashes == std::string::npos ? name : name.substr(dashes)) + "', not '" +
                   name + "')")) {
        return false;
      }
      continue;
    }
    bool named = true;
    for (char c : name) named = named && IsNameCharacter(c);
    if (!named) {
      if (bad.Stop(origin + ": '" + name +
                   "' is not an option name (a long option without its dashes, e.g. 'listen')")) {
        return false;
      }
      continue;
    }
    result.push_back(OptionEntry{"--" + name, Trim(line.substr(blank)), origin});
  }
  *entries = result;
  return !bad.found();
}

bool ReadConfigFile(const std::string& path, std::vector<OptionEntry>* entries,
                    std::string* error, std::vector<std::string>* every) {
  FILE* file = fopen(path.c_str(), "rb");
  if (file == nullptr) {
    *error = "cannot read the configuration file " + path + ": " + strerror(errno);
    return false;
  }
  std::string text;
  char buffer[8192];
  bool failed = false;
  size_t count;
  while ((count = fread(buffer, 1, sizeof buffer, file)) > 0) {
    text.append(buffer, count);
    if (text.size() > kMaxConfigFileBytes) break;
  }
  // A folder opens but fails to read, with EISDIR.
  if (ferror(file)) failed = true;
  int read_errno = errno;
  fclose(file);
  if (failed) {
    *error = "cannot read the configuration file " + path + ": " + strerror(read_errno);
    return false;
  }
  if (text.size() > kMaxConfigFileBytes) {
    *error = "the configuration file " + path + " is larger than " +
             std::to_string(kMaxConfigFileBytes) + " bytes";
    return false;
  }
  return ParseConfigText(text, path, entries, error, every);
}

bool CombineWithCommandLine(const std::vector<OptionEntry>& file,
                            const std::vector<OptionEntry>& command_line,
                            std::vector<OptionEntry>* combined, std::string* error,
                            std::vector<std::string>* every) {
  // Every line is checked on options of its own, so that a bad line is found
  // even when the command line overrides it.
  BadLines bad(error, every);
  HostOptions scratch;
  std::map<std::string, std::string> first_seen;
  for (const OptionEntry& entry : file) {
    const std::string bare = entry.name.substr(2);
    const OptionRow<HostOptions>* row = OptionForConfigKey(bare);
    OptionKind kind = row != nullptr ? row->kind : OptionKind::kUnknown;
    std::string reason;
    if (row == nullptr && HostOptionKind(entry.name) == OptionKind::kUnknown) {
      reason = "unknown option '" + bare + "'";
    } else if (row == nullptr) {
      reason = "'" + bare + "' belongs on the command line, not in the file";
    } else if (kind == OptionKind::kSwitch && !entry.value.empty()) {
      reason = "'" + bare + "' takes no value";
    } else if (kind != OptionKind::kSwitch && entry.value.empty()) {
      reason = "'" + bare + "' needs a value";
    } else {
      auto seen = first_seen.emplace(entry.name, entry.origin);
      if (!seen.second && kind != OptionKind::kRepeatable) {
        reason = "'" + bare + "' takes one value and was given at " + seen.first->second +
                 " already";
      } else if (row->apply(entry.value, &scratch, &reason)) {
        reason.clear();
      } else if (reason.empty()) {
        reason = "'" + bare + "' has a bad value";
      }
    }
    if (!reason.empty() && bad.Stop(entry.origin + ": " + reason)) return false;
  }
  if (bad.found()) return false;

  std::set<std::string> given;
  for (const OptionEntry& entry : command_line) given.insert(entry.name);
  std::vector<OptionEntry> result;
  for (const OptionEntry& entry : file) {
    if (given.count(entry.name) == 0) result.push_back(entry);
  }
  result.insert(result.end(), command_line.begin(), command_line.end());
  *combined = result;
  return true;
}
