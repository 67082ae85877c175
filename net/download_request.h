#pragma once

#include "app/handles.h"

// An open HTTPS GET whose response has arrived with a status from 200 to 299. Owns
// its three WinHTTP handles; members are destroyed in reverse order, so releasing it
// closes the request, then the connection, then the session. Movable, not copyable;
// not assignable, since member-wise assignment would close in the wrong order.
struct DownloadRequest {
    WinHttpHandle session;
    WinHttpHandle connection;
    WinHttpHandle request;

    DownloadRequest() = default;
    DownloadRequest(DownloadRequest&&) = default;
    DownloadRequest& operator=(DownloadRequest&&) = delete;
};

// Opens a GET for an https `url`, follows redirects except https to http, and checks
// the status. Raises the German message of the step that failed ("URL konnte nicht
// gelesen werden", "Nur HTTPS-Downloads sind erlaubt", ..., "Download-Server meldet
// HTTP <code>"); every handle it opened is closed by then. Does not pump messages.
DownloadRequest OpenHttpsGet(const wchar_t* url);

// The same with another method: "HEAD" asks for the headers of `url` without its body.
DownloadRequest OpenHttpsRequest(const wchar_t* url, const wchar_t* verb);
