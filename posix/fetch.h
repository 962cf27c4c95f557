#pragma once

// The Linux stand-in for PowerShell's download: fetches an HTTPS address into
// a file, all or nothing.

#include <string>

// Downloads url into file (a native path). Certificates are always verified
// (CURL_CA_BUNDLE, SSL_CERT_FILE and SSL_CERT_DIR name extra trust, as for
// curl's own command); redirects are followed, at most 10, HTTPS only. The body
// goes to a temporary file beside file and replaces it only once it has
// arrived whole, in a 200 answer or in a 206 that continues a partial file.
// An attempt that breaks off after part of the body keeps it beside file as
// ".NAME.partial" (never file itself), ending with a record of the address,
// the resource's strong ETag or else its Last-Modified date, and its length;
// a resource with neither, or of unknown length, is not kept. The next
// download of the same address to file continues it with a range request
// conditional on that identity (If-Range): a 206 whose Content-Range and
// validator match appends, a 200 starts over, and so does a 416. A partial
// file kept more than a day ago (or dated more than a day ahead, the clock
// set back since) is removed; one kept by another address stays until this
// download keeps its own or succeeds, which removes it. A signal that ends the
// program removes the partial file with the rest. Shows progress on a
// terminal, in one row that fits its width, the bytes resumed counted as
// there. Returns 0, or 1 after printing why it failed in Chinese, naming the
// address.
int fetch(const std::string& url, const std::string& file);
