#include "deny_list.h"

#include <sys/stat.h>

#include <fstream>
#include <iterator>
#include <sstream>

#include "guard_text.h"

namespace {

const std::chrono::seconds kCheckInterval(1);

std::string Describe(const std::string& path, const DenyLineError& bad) {
  return path + ":" + std::to_string(bad.line) + ": '" + bad.text +
         "' is not an address or network (e.g. 203.0.113.7, 198.51.100.0/24, 2001:db8::/32)";
}

}  // namespace

void ParseDenyText(const std::string& text, std::vector<AddressRange>* ranges,
                   std::vector<DenyLineError>* bad) {
  std::istringstream in(text);
  std::string line;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    size_t hash = line.find('#');
    if (hash != std::string::npos) line.erase(hash);
    std::string entry = TrimBlanks(line);
    if (entry.empty()) continue;
    AddressRange range;
    if (AddressRange::Parse(entry, &range)) {
      ranges->push_back(range);
    } else {
      bad->push_back(DenyLineError{number, entry});
    }
  }
}

bool DenyList::FileStamp::operator==(const FileStamp& other) const {
  return mtime.tv_sec == other.mtime.tv_sec && mtime.tv_nsec == other.mtime.tv_nsec &&
         size == other.size && inode == other.inode;
}

DenyList::DenyList(std::string path, Log log, Clock clock)
    : path_(std::move(path)),
      log_(std::move(log)),
      clock_(std::move(clock)),
      ranges_(std::make_shared<const std::vector<AddressRange>>()) {}

bool DenyList::ReadFile(std::string* text, FileStamp* stamp, std::string* error) const {
  struct stat info;
  if (stat(path_.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
    *error = "cannot read deny file " + path_ + ": not a readable file";
    return false;
  }
  std::ifstream in(path_, std::ios::binary);
  if (in) text->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  if (!in.is_open() || in.bad()) {
    *error = "cannot read deny file " + path_;
    return false;
  }
  stamp->mtime = info.st_mtim;
  stamp->size = info.st_size;
  stamp->inode = info.st_ino;
  return true;
}

bool DenyList::Load(std::string* error) {
  std::string text;
  FileStamp stamp;
  if (!ReadFile(&text, &stamp, error)) return false;
  std::vector<AddressRange> ranges;
  std::vector<DenyLineError> bad;
  ParseDenyText(text, &ranges, &bad);
  if (!bad.empty()) {
    error->clear();
    for (const DenyLineError& line : bad) {
      if (!error->empty()) *error += "; ";
      *error += Describe(path_, line);
    }
    return false;
  }
  std::lock_guard<std::mutex> lock(mu_);
  ranges_ = std::make_shared<const std::vector<AddressRange>>(std::move(ranges));
  stamp_ = stamp;
  next_check_ = clock_() + kCheckInterval;
  return true;
}

void DenyList::ReloadIfChanged() {
  auto now = clock_();
  if (now < next_check_) return;
  next_check_ = now + kCheckInterval;

  struct stat info;
  FileStamp seen;
  if (stat(path_.c_str(), &info) == 0) {
    seen.mtime = info.st_mtim;
    seen.size = info.st_size;
    seen.inode = info.st_ino;
  }
  if (seen == stamp_) return;

  std::string text, error;
  FileStamp stamp;
  if (!ReadFile(&text, &stamp, &error)) {
    // Logged once per change: the stamp of the missing file is kept.
    stamp_ = seen;
    log_(error + "; keeping the " + std::to_string(ranges_->size()) + " networks read before");
    return;
  }
  std::vector<AddressRange> ranges;
  std::vector<DenyLineError> bad;
  ParseDenyText(text, &ranges, &bad);
  for (const DenyLineError& line : bad) log_(Describe(path_, line) + "; line skipped");
  log_("deny file " + path_ + " read again: " + std::to_string(ranges.size()) + " networks");
  ranges_ = std::make_shared<const std::vector<AddressRange>>(std::move(ranges));
  stamp_ = stamp;
}

bool DenyList::Denies(const std::string& address) {
  std::shared_ptr<const std::vector<AddressRange>> ranges;
  {
    std::lock_guard<std::mutex> lock(mu_);
    ReloadIfChanged();
    ranges = ranges_;
  }
  if (ranges->empty()) return false;
  IpAddress ip;
  if (!IpAddress::Parse(address, &ip)) return false;
  for (const AddressRange& range : *ranges) {
    if (range.Contains(ip)) return true;
  }
  return false;
}

size_t DenyList::size() const {
  std::lock_guard<std::mutex> lock(mu_);
  return ranges_->size();
}
