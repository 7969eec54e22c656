#include "plugin_harness.h"

#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "ceplatform.h"
#include "fuzz_check.h"
#include "wince.h"

namespace {

const char kHeadTemplate[] =
    "<HTML><HEAD><TITLE>open</TITLE></HEAD><BODY><!-- $HIDE_DELETE_FLAG$ -->\n"
    "<FORM METHOD=POST ACTION=\"/bbs/open.tvx\"><INPUT NAME=name><INPUT NAME=email>"
    "<INPUT NAME=subject><TEXTAREA NAME=body></TEXTAREA>"
    "<INPUT TYPE=submit NAME=postitem VALUE=post></FORM>\n";
const char kFootTemplate[] = "<P>open board</BODY></HTML>\n";

void WriteFile(const std::filesystem::path& path, const char* text) {
  std::ofstream out(path, std::ios::binary);
  out << text;
  if (!out) {
    fprintf(stderr, "cannot write %s\n", path.c_str());
    exit(2);
  }
}

// The process's folder in the temporary folder, removed when it exits.
std::filesystem::path temporary;

void RemoveTemporary() {
  PlatformCloseStore();
  std::error_code ignored;
  std::filesystem::remove_all(temporary, ignored);
}

bool StartsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

// The header block of a response: lines "Name: value" ended by CRLF, with no
// other CR or LF, the first a Content-Type or a Location, and the empty line.
// Returns where the page starts.
size_t CheckHeaders(const std::string& response) {
  size_t end = response.find("\r\n\r\n");
  FUZZ_CHECK(end != std::string::npos);
  FUZZ_CHECK(StartsWith(response, "Content-Type: ") || StartsWith(response, "Location: "));
  size_t at = 0;
  while (at < end + 2) {
    size_t line_end = response.find("\r\n", at);
    std::string line = response.substr(at, line_end - at);
    FUZZ_CHECK(line.find('\r') == std::string::npos && line.find('\n') == std::string::npos);
    size_t colon = line.find(": ");
    FUZZ_CHECK(colon != std::string::npos && colon > 0);
    at = line_end + 2;
  }
  return end + 4;
}

// The decimal (with its sign) after the first `marker` in `text`, or "".
std::string NumberAfter(const std::string& text, const std::string& marker) {
  size_t at = text.find(marker);
  if (at == std::string::npos) return "";
  at += marker.size();
  size_t end = at;
  if (end < text.size() && text[end] == '-') end++;
  while (end < text.size() && text[end] >= '0' && text[end] <= '9') end++;
  return text.substr(at, end - at);
}

void ReplaceAll(std::string* text, const std::string& from, const std::string& to) {
  for (size_t at = text->find(from); at != std::string::npos; at = text->find(from, at + to.size())) {
    text->replace(at, from.size(), to);
  }
}

}  // namespace

std::string PluginPath(const char* built, const char* file) {
  const char* dir = getenv("FUZZ_PLUGIN_DIR");
  if (dir != nullptr && *dir != '\0') return std::string(dir) + "/" + file;
  return built;
}

void PluginHarness::Start(const std::vector<std::string>& plugins) {
  for (const std::string& path : plugins) {
    std::string error;
    std::unique_ptr<TvxLibrary> library = TvxLibrary::Open(path, &error);
    if (!library) {
      fprintf(stderr, "cannot load %s: %s\n", path.c_str(), error.c_str());
      exit(2);
    }
    libraries_.push_back(std::move(library));
  }
  std::filesystem::path dir = std::filesystem::temp_directory_path() /
                              ("corkwall-fuzz-" + std::to_string(getpid()));
  std::error_code ignored;
  std::filesystem::remove_all(dir, ignored);
  std::filesystem::create_directories(dir / "www" / "bbs");
  WriteFile(dir / "www" / "bbs" / "openHEAD.HTML", kHeadTemplate);
  WriteFile(dir / "www" / "bbs" / "openFOOT.HTML", kFootTemplate);
  temporary = dir;
  atexit(RemoveTemporary);
  root_ = (dir / "www").string();
  std::string store = (dir / "store.db").string();
  if (!PlatformSetStorePath(store.c_str())) {
    fprintf(stderr, "cannot use %s as the store\n", store.c_str());
    exit(2);
  }
}

std::vector<CEOID> PluginHarness::Databases() {
  std::vector<CEOID> databases;
  HANDLE enumeration = CeFindFirstDatabase(0);
  FUZZ_CHECK(enumeration != INVALID_HANDLE_VALUE);
  for (CEOID oid = CeFindNextDatabase(enumeration); oid != 0;
       oid = CeFindNextDatabase(enumeration)) {
    databases.push_back(oid);
  }
  CloseHandle(enumeration);
  return databases;
}

long PluginHarness::CountRecords() {
  long records = 0;
  for (CEOID oid : Databases()) {
    CEOIDINFO info;
    FUZZ_CHECK(CeOidGetInfo(oid, &info) && info.wObjType == OBJTYPE_DATABASE);
    records += info.infDatabase.wNumRecords;
  }
  return records;
}

std::string PluginHarness::Sent(const std::string& name) const {
  for (const auto& [sent_name, value] : sent_) {
    if (sent_name == name) return value;
  }
  return "";
}

void PluginHarness::Reset() {
  for (CEOID oid : Databases()) FUZZ_CHECK(CeDeleteDatabase(oid));
  calls_ = 0;
  record_ = database_ = "0";
}

std::string PluginHarness::Substitute(const std::string& text) const {
  std::string out = text;
  ReplaceAll(&out, "$RECORD$", record_);
  ReplaceAll(&out, "$DB$", database_);
  return out;
}

void PluginHarness::Remember(const std::string& response) {
  std::string record = NumberAfter(response, "name=\"deleteitemid\" value=\"");
  if (record.empty()) record = NumberAfter(response, "&deleteitem=");
  if (!record.empty()) record_ = record;
  std::string database = NumberAfter(response, "&db=");
  if (!database.empty()) database_ = database;
}

std::string PluginHarness::Call(size_t index, const FuzzRequest& request,
                                const std::string& script) {
  // Posts of one input get distinct times, a minute apart.
  SYSTEMTIME time = {2026, 4, 2, 15, 9, static_cast<WORD>(calls_ % 60), 0, 0};
  calls_++;
  PlatformFixClock(&time);

  long blocks = PlatformLiveHeapBlocks();
  long handles = PlatformOpenHandles();
  std::string response;
  std::string script_name = script;
  {
    TvxRequest call;
    bool has_script = false, has_method = false, has_type = false, has_length = false;
    for (const auto& [raw_name, value] : request.variables) {
      // Names and values are C strings in the block: each ends at a NUL.
      std::string name = raw_name.c_str();
      if (name.empty() || name == "DOCUMENT_ROOT") continue;
      std::string text = Substitute(value.c_str());
      if (name == "SCRIPT_NAME") {
        text.clear();
        for (char c : value) {
          if (static_cast<unsigned char>(c) >= 0x20) text += c;
        }
        script_name = text;
        has_script = true;
      }
      has_method = has_method || name == "REQUEST_METHOD";
      has_type = has_type || name == "CONTENT_TYPE";
      has_length = has_length || name == "CONTENT_LENGTH";
      FUZZ_CHECK(call.Set(name, text));
    }
    FUZZ_CHECK(call.Set("DOCUMENT_ROOT", root_));
    if (!has_script) FUZZ_CHECK(call.Set("SCRIPT_NAME", script));
    bool body = !request.body.empty();
    if (!has_method) FUZZ_CHECK(call.Set("REQUEST_METHOD", body ? "POST" : "GET"));
    if (!has_type && body) {
      FUZZ_CHECK(call.Set("CONTENT_TYPE", "application/x-www-form-urlencoded"));
    }
    if (!has_length) {
      FUZZ_CHECK(call.Set("CONTENT_LENGTH", std::to_string(Substitute(request.body).size())));
    }
    FUZZ_CHECK(call.SetBody(Substitute(request.body)));

    sent_.clear();
    ServerVariables& variables = call.variables();
    for (char* at = variables.Rewind(); at != nullptr; at = variables.Next()) {
      sent_.emplace_back(variables.CurrentName(), variables.CurrentValue());
    }
    int result = call.Run(*libraries_.at(index));
    response = call.Response();
    FUZZ_CHECK(result == static_cast<int>(response.size()));
  }
  FUZZ_CHECK(PlatformLiveHeapBlocks() == blocks);
  FUZZ_CHECK(PlatformOpenHandles() == handles);

  size_t page = CheckHeaders(response);
  if (StartsWith(response, "Location: ")) {
    FUZZ_CHECK(response == "Location: " + script_name + "\r\n\r\n");
  } else {
    FUZZ_CHECK(page < response.size());
  }
  Remember(response);
  if (getenv("FUZZ_SHOW") != nullptr) {
    fprintf(stderr, "---- answer %d\n%s\n", calls_, response.c_str());
  }
  return response;
}
