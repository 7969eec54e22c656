// The request variables a plug-in gets, in the CGI tradition: SCRIPT_NAME,
// DOCUMENT_ROOT, REQUEST_METHOD, QUERY_STRING (raw, as sent), CONTENT_TYPE
// and CONTENT_LENGTH for a request with a body, the server and client
// addresses, and HTTP_* for the request headers.
#ifndef HOST_CGI_VARIABLES_H_
#define HOST_CGI_VARIABLES_H_

#include <string>
#include <utility>
#include <vector>

#include "http_message.h"

struct CgiInputs {
  std::string script_name_ansi;    // URL path of the script, Shift_JIS
  std::string document_root_ansi;  // real path of the root, Shift_JIS
  std::string user;  // REMOTE_USER when a login was checked
  bool tls = false;
};

// The variables in the order they are set. Header names become HTTP_ + the
// name in upper case with '-' made '_'; headers whose names hold anything
// but letters, digits and '-' are left out (so "X_Forwarded" cannot pose as
// "X-Forwarded"), and so are Content-Type and Content-Length (they have
// their own variables) and the credentials (Authorization). Repeated headers
// are joined with ", ".
std::vector<std::pair<std::string, std::string>> CgiVariables(const HttpRequest& request,
                                                              const CgiInputs& inputs);

#endif  // HOST_CGI_VARIABLES_H_
