// tvxhost --check: everything the server opens before it serves, opened and
// let go again without listening, so that a bad configuration is found before
// a running server is stopped for it (the service unit runs this first).
#ifndef HOST_CONFIG_CHECK_H_
#define HOST_CONFIG_CHECK_H_

#include <string>
#include <vector>

#include "host_options.h"

// Checks, for `options` as parsed:
//  - the listening address resolves;
//  - the document root is a folder the server can read;
//  - the store is reachable: opened through the platform and its databases
//    enumerated (a store file must be one the server can write, in a folder
//    it can write: StoreFileProblem; one that does not exist yet is not
//    created here);
//  - the access log can be appended to, or created in its folder (it is not
//    created here);
//  - every htpasswd file can be read, and every --allow address parses;
//  - the TLS certificate and key load and belong together, in the context
//    the server serves with;
//  - and shows the Content-Security-Policy and, with TLS, the
//    Strict-Transport-Security that every answer will carry.
// Appends one line per problem to *problems, starting with "FILE:LINE: "
// when the option came from the configuration file, and one line per item
// found good to *passed; with `in_order` given, every line also goes there in
// the order found, a good item's with "ok: " before it. True when there is
// no problem. Leaves the store closed.
bool CheckHostOptions(const HostOptions& options, std::vector<std::string>* problems,
                      std::vector<std::string>* passed,
                      std::vector<std::string>* in_order = nullptr);

#endif  // HOST_CONFIG_CHECK_H_
