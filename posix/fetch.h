#pragma once

// The Linux stand-in for PowerShell's download: fetches an HTTPS address into
// a file, all or nothing.

#include <string>

// Downloads url into file (a native path). Certificates are always verified
// (CURL_CA_BUNDLE, SSL_CERT_FILE and SSL_CERT_DIR name extra trust, as for
// curl's own command); redirects are followed, at most 10, HTTPS only. The body
// goes to a temporary file beside file and replaces it only once it has
// arrived whole, in a 200 answer. Shows progress on a terminal. Returns 0, or
// 1 after printing why it failed in Chinese, naming the address.
int fetch(const std::string& url, const std::string& file);
