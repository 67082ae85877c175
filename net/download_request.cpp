#include "net/download_request.h"

#include "app/failure_messages.h"
#include "net/url_parts.h"

#include <stdexcept>
#include <string>

DownloadRequest OpenHttpsGet(const wchar_t* url) { return OpenHttpsRequest(url, L"GET"); }

DownloadRequest OpenHttpsRequest(const wchar_t* url, const wchar_t* verb) {
    const UrlParts parts = ParseUrl(url);
    // Checked before anything is opened: a plain http URL causes no traffic at all.
    if (parts.scheme != INTERNET_SCHEME_HTTPS) {
        throw std::runtime_error(HttpsOnlyMessage);
    }

    DownloadRequest download;
    download.session.reset(WinHttpOpen(L"KestrovaSetup/1.0", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                                       WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
    if (!download.session) throw std::runtime_error(SessionFailedMessage);

    download.connection.reset(WinHttpConnect(download.session.get(), parts.host.c_str(), parts.port, 0));
    if (!download.connection) throw std::runtime_error(ConnectionFailedMessage);

    download.request.reset(WinHttpOpenRequest(download.connection.get(), verb, parts.path.c_str(),
                                              nullptr, WINHTTP_NO_REFERER,
                                              WINHTTP_DEFAULT_ACCEPT_TYPES, WINHTTP_FLAG_SECURE));
    if (!download.request) throw std::runtime_error(RequestFailedMessage);

    // Redirects are followed, but never from https down to plain http, where anyone on
    // the network could answer in the server's place. A failure here leaves the
    // platform's default, which refuses that downgrade as well.
    DWORD redirectPolicy = WINHTTP_OPTION_REDIRECT_POLICY_DISALLOW_HTTPS_TO_HTTP;
    WinHttpSetOption(download.request.get(), WINHTTP_OPTION_REDIRECT_POLICY, &redirectPolicy,
                     sizeof(redirectPolicy));

    if (!WinHttpSendRequest(download.request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0,
                            WINHTTP_NO_REQUEST_DATA, 0, 0, 0)) {
        throw std::runtime_error(SendFailedMessage);
    }
    if (!WinHttpReceiveResponse(download.request.get(), nullptr)) {
        throw std::runtime_error(NoResponseMessage);
    }

    DWORD status = 0;
    DWORD statusSize = sizeof(status);
    if (!WinHttpQueryHeaders(download.request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                             WINHTTP_HEADER_NAME_BY_INDEX, &status, &statusSize,
                             WINHTTP_NO_HEADER_INDEX)) {
        throw std::runtime_error(NoStatusMessage);
    }
    if (status < 200 || status > 299) {
        throw std::runtime_error(HttpStatusMessagePrefix + std::to_string(status));
    }
    return download;
}
