// tvxcall: one call of a plug-in from the shell, as one runs a CGI program by
// hand. Loads the .tvx, builds the request variables and body from the
// command line, calls fnTvx once and writes the response bytes to stdout.
#include <errno.h>
#include <getopt.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "ceplatform.h"
#include "tvx_library.h"

namespace {

const int kExitUsage = 2;

const char kUsage[] =
    "Usage: tvxcall [OPTIONS] PLUGIN.tvx [NAME=VALUE...]\n"
    "\n"
    "Calls fnTvx of PLUGIN.tvx once, as the server would for one request, and\n"
    "writes the response (header lines, empty line, page) to stdout.\n"
    "\n"
    "Request variables:\n"
    "  -s, --script-name PATH    SCRIPT_NAME (default: / and the plug-in's file name)\n"
    "  -r, --document-root DIR   DOCUMENT_ROOT (default: the current directory)\n"
    "  -m, --method METHOD       REQUEST_METHOD (default: POST with a body, else GET)\n"
    "  -q, --query TEXT          QUERY_STRING, URL-encoded (default: empty)\n"
    "  -t, --content-type TYPE   CONTENT_TYPE (default with a body:\n"
    "                            application/x-www-form-urlencoded)\n"
    "  -l, --content-length N    CONTENT_LENGTH (default: the body's length)\n"
    "  NAME=VALUE                any other variable (also overrides the above)\n"
    "\n"
    "Request body:\n"
    "  -d, --data TEXT           the body, as sent (URL-encoded for a form)\n"
    "  -f, --data-file FILE      the body from FILE; '-' reads standard input\n"
    "\n"
    "Other:\n"
    "      --store STORE         object-store file, or a PostgreSQL URI (postgresql://...)\n"
    "                            (default: $" CEPLATFORM_STORE_ENV ", else\n"
    "                            " CEPLATFORM_DEFAULT_STORE " in the current directory)\n"
    "  -v, --verbose             report fnTvx's result on standard error\n"
    "  -h, --help                this text\n"
    "\n"
    "Exit status: 0 when the plug-in was called (whatever it answered), 1 when the\n"
    "request could not be built or the response not written, 2 for bad usage or a\n"
    "plug-in that cannot be loaded.\n"
    "\n"
    "Examples:\n"
    "  # post to a board, then show its first page\n"
    "  tvxcall --store board.db -s /cgi/board.tvx -r ./www corkwall.tvx \\\n"
    "      -d 'name=Taro&email=&subject=Hi&body=Hello&postitem=Post'\n"
    "  tvxcall --store board.db -s /cgi/board.tvx -r ./www corkwall.tvx\n"
    "  # the second page\n"
    "  tvxcall --store board.db -s /cgi/board.tvx corkwall.tvx -q row=20\n";

int Usage(const std::string& problem) {
  std::cerr << "tvxcall: " << problem << "\n"
            << "Try 'tvxcall --help' for more information.\n";
  return kExitUsage;
}

bool ReadAll(std::istream& in, std::string* out) {
  std::ostringstream bytes;
  bytes << in.rdbuf();
  if (in.bad()) return false;
  *out = bytes.str();
  return true;
}

std::string BaseName(const std::string& path) {
  size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string CurrentDirectory() {
  char buffer[4096];
  if (getcwd(buffer, sizeof(buffer)) == nullptr) return ".";
  return buffer;
}

}  // namespace

int main(int argc, char** argv) {
  enum { kStoreOption = 1000 };
  static const struct option kOptions[] = {
      {"script-name", required_argument, nullptr, 's'},
      {"document-root", required_argument, nullptr, 'r'},
      {"method", required_argument, nullptr, 'm'},
      {"query", required_argument, nullptr, 'q'},
      {"content-type", required_argument, nullptr, 't'},
      {"content-length", required_argument, nullptr, 'l'},
      {"data", required_argument, nullptr, 'd'},
      {"data-file", required_argument, nullptr, 'f'},
      {"store", required_argument, nullptr, kStoreOption},
      {"verbose", no_argument, nullptr, 'v'},
      {"help", no_argument, nullptr, 'h'},
      {nullptr, 0, nullptr, 0},
  };

  std::string scriptName, documentRoot, method, query, contentType, contentLength;
  bool haveScript = false, haveRoot = false, haveMethod = false, haveType = false,
       haveLength = false;
  std::string body;
  bool haveBody = false;
  std::string store;
  bool verbose = false;

  opterr = 0;
  int c;
  while ((c = getopt_long(argc, argv, ":s:r:m:q:t:l:d:f:vh", kOptions, nullptr)) != -1) {
    switch (c) {
      case 's': scriptName = optarg; haveScript = true; break;
      case 'r': documentRoot = optarg; haveRoot = true; break;
      case 'm': method = optarg; haveMethod = true; break;
      case 'q': query = optarg; break;
      case 't': contentType = optarg; haveType = true; break;
      case 'l': contentLength = optarg; haveLength = true; break;
      case 'd':
        if (haveBody) return Usage("give the body only once");
        body = optarg;
        haveBody = true;
        break;
      case 'f': {
        if (haveBody) return Usage("give the body only once");
        std::string file = optarg;
        bool ok;
        if (file == "-") {
          ok = ReadAll(std::cin, &body);
        } else {
          std::ifstream in(file, std::ios::binary);
          if (!in) return Usage("cannot read " + file + ": " + strerror(errno));
          ok = ReadAll(in, &body);
        }
        if (!ok) return Usage("cannot read the body from " + file);
        haveBody = true;
        break;
      }
      case kStoreOption:
        store = optarg;
        if (store.empty()) return Usage("--store needs a file name or a PostgreSQL URI");
        break;
      case 'v': verbose = true; break;
      case 'h': std::cout << kUsage; return 0;
      case ':': return Usage(std::string("option needs a value: ") + argv[optind - 1]);
      default:
        // A short option may sit inside a group ("-vx"): name the letter.
        if (optopt != 0) return Usage(std::string("unknown option: -") + static_cast<char>(optopt));
        return Usage(std::string("unknown option: ") + argv[optind - 1]);
    }
  }
  if (optind >= argc) return Usage("no plug-in given");
  std::string pluginPath = argv[optind++];

  std::vector<std::pair<std::string, std::string>> extra;
  for (int i = optind; i < argc; i++) {
    std::string argument = argv[i];
    size_t equals = argument.find('=');
    if (equals == std::string::npos || equals == 0) {
      return Usage("expected NAME=VALUE, got '" + argument + "'");
    }
    extra.emplace_back(argument.substr(0, equals), argument.substr(equals + 1));
  }

  if (haveLength) {
    char* end = nullptr;
    errno = 0;
    long value = strtol(contentLength.c_str(), &end, 10);
    if (contentLength.empty() || *end != '\0' || errno != 0 || value < 0) {
      return Usage("--content-length needs a number of bytes, got '" + contentLength + "'");
    }
  }

  // dlopen wants a path to find a file in the current directory.
  std::string loadPath = pluginPath.find('/') == std::string::npos ? "./" + pluginPath : pluginPath;
  std::string error;
  std::unique_ptr<TvxLibrary> library = TvxLibrary::Open(loadPath, &error);
  if (!library) return Usage("cannot load plug-in " + pluginPath + ": " + error);

  if (!store.empty() && !PlatformSetStorePath(store.c_str())) {
    return Usage("cannot use store " + store);
  }

  if (!haveScript) scriptName = "/" + BaseName(pluginPath);
  if (!haveRoot) documentRoot = CurrentDirectory();
  if (!haveMethod) method = haveBody ? "POST" : "GET";
  if (!haveType && haveBody) {
    contentType = "application/x-www-form-urlencoded";
    haveType = true;
  }
  if (!haveLength && haveBody) {
    contentLength = std::to_string(body.size());
    haveLength = true;
  }

  int result;
  std::string response;
  {
    TvxRequest request;
    bool ok = request.Set("SCRIPT_NAME", scriptName) && request.Set("DOCUMENT_ROOT", documentRoot) &&
              request.Set("REQUEST_METHOD", method) && request.Set("QUERY_STRING", query);
    if (ok && haveType) ok = request.Set("CONTENT_TYPE", contentType);
    if (ok && haveLength) ok = request.Set("CONTENT_LENGTH", contentLength);
    for (const auto& pair : extra) {
      if (ok) ok = request.Set(pair.first, pair.second);
    }
    if (ok && haveBody) ok = request.SetBody(body);
    if (!ok) {
      std::cerr << "tvxcall: out of memory building the request\n";
      return 1;
    }
    result = request.Run(*library);
    response = request.Response();
  }
  PlatformCloseStore();

  std::cout.write(response.data(), static_cast<std::streamsize>(response.size()));
  std::cout.flush();
  if (verbose) std::cerr << "tvxcall: fnTvx returned " << result << "\n";
  if (!std::cout) {
    std::cerr << "tvxcall: cannot write the response\n";
    return 1;
  }
  return 0;
}
