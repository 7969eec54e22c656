// tvxhost's configuration file: the same options as the command line, one a
// line, each named as its long option without the dashes, then its value:
//
//   # the board on every address, port 80
//   listen 0.0.0.0:80
//   root /var/lib/corkwall/www
//   auth /admin=/etc/corkwall/admin.htpasswd
//   auth /owner=/etc/corkwall/owner.htpasswd
//
// The name ends at the first space or tab; the value is the rest of the line
// without the blanks around it (so it may hold spaces, but cannot begin or
// end with one). Blank lines and lines whose first non-blank character is
// '#' are skipped; a '#' later on a line is part of the value. A switch (an
// option without a value) is its name alone; config and check belong on the
// command line only. An option that takes one value may appear once; auth
// and allow repeat, one rule a line.
#ifndef HOST_CONFIG_FILE_H_
#define HOST_CONFIG_FILE_H_

#include <string>
#include <vector>

#include "host_options.h"

// Files larger than this are refused: a configuration is a few hundred bytes.
constexpr size_t kMaxConfigFileBytes = 1 << 20;

// Splits the text of a configuration file into its options, in order, each
// with origin "PATH:LINE" (lines counted from 1). Only the form of a line is
// checked here, not whether its option exists or its value is good. False
// with "PATH:LINE: reason" in *error for a line that is not an option (a NUL
// byte, a name with dashes or other characters than a-z, 0-9 and '-').
// With `every` given, a bad line is skipped and its reason appended there,
// and the lines after it are read too; *error is then the first reason.
bool ParseConfigText(const std::string& text, const std::string& path,
                     std::vector<OptionEntry>* entries, std::string* error,
                     std::vector<std::string>* every = nullptr);

// Reads the file and parses it as above. False with the reason in *error
// when it cannot be read (naming the path) or a line is bad.
bool ReadConfigFile(const std::string& path, std::vector<OptionEntry>* entries,
                    std::string* error, std::vector<std::string>* every = nullptr);

// Checks every option of the file as tvxhost will apply it (known, allowed
// in a file, a good value, not repeated unless repeatable) and makes the list
// to apply: the file's options except those the command line gives as well,
// then the command line's. So a command-line option replaces the file's value
// for a single-valued option and the file's whole set of rules for a
// repeatable one (--auth on the command line drops every auth line of the
// file). False with "PATH:LINE: reason" in *error for the first bad line;
// with `every` given, every bad line's reason is appended there as well.
bool CombineWithCommandLine(const std::vector<OptionEntry>& file,
                            const std::vector<OptionEntry>& command_line,
                            std::vector<OptionEntry>* combined, std::string* error,
                            std::vector<std::string>* every = nullptr);

#endif  // HOST_CONFIG_FILE_H_
