// The names under which a plug-in may run. A plug-in writes its own URL path
// (SCRIPT_NAME) into its pages as it is, in attributes and in text, so a
// file named q"<i>.tvx would put markup of the file's choosing on them. The
// server refuses to run a plug-in whose URL path holds a byte that HTML gives
// a meaning there: " < > ' & or a control byte (0x00-0x1F, 0x7F). It answers
// 500 and logs UnsafePluginLogLine; the plug-ins themselves are unchanged.
//
// None of these bytes can be part of a Shift_JIS or UTF-8 character, so
// Japanese file names pass in either form.
#ifndef HOST_GUARD_PLUGIN_PATH_CHECK_H_
#define HOST_GUARD_PLUGIN_PATH_CHECK_H_

#include <string>

// `url_path` as the plug-in will see it in SCRIPT_NAME (percent-decoded).
// True when it holds none of the bytes above.
bool IsSafePluginPath(const std::string& url_path);

// The log line for a refused plug-in: "plug-in FILE not run: its URL path
// PATH holds ..., which its pages would show unescaped; rename the file",
// with both made log-safe.
std::string UnsafePluginLogLine(const std::string& file, const std::string& url_path);

#endif  // HOST_GUARD_PLUGIN_PATH_CHECK_H_
