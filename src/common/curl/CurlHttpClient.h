// IHttpClient over the libcurl easy interface: one synchronous GET per call,
// each with its own easy handle, cleaned up before the call returns.
//
// Time-outs: WinInet-style clients wait minutes for a dead host, and every
// lookup runs on the GUI thread, so the window would freeze that long. The
// defaults in THttpRequest (3 s to connect, 8 s for the whole request) keep a
// dead or silent host to seconds while leaving a slow but working host (a
// loaded PHP page answers in well under a second) ample room; the request
// may ask for other values. Only http and https are allowed, redirects too.
// The system's proxy settings (http_proxy, https_proxy, no_proxy) apply, as
// libcurl reads them itself.
//
// Download streams the body into a file with its own bounds: bytes
// (Content-Length checked before the body), connect, total and stall time-outs,
// and a cancel flag.
#pragma once

#include "common/Http.h"

namespace wavecrate {

class TCurlHttpClient : public IHttpClient {
 public:
  TCurlHttpClient();
  THttpResponse Get(const THttpRequest& request) override;
  THttpDownloadResponse Download(const THttpDownloadRequest& request, const std::string& path) override;
};

}  // namespace wavecrate
