#include "net/url_parts.h"

#include "app/failure_messages.h"

#include <windows.h>
#include <winhttp.h>

#include <cwctype>
#include <stdexcept>

UrlParts ParseUrl(const wchar_t* url) {
    // Fixed buffers: a component that does not fit makes the split fail.
    wchar_t host[256] = {};
    wchar_t path[4096] = {};
    wchar_t extra[2048] = {};

    URL_COMPONENTS components{};
    components.dwStructSize = sizeof(components);
    components.lpszHostName = host;
    components.dwHostNameLength = ARRAYSIZE(host);
    components.lpszUrlPath = path;
    components.dwUrlPathLength = ARRAYSIZE(path);
    components.lpszExtraInfo = extra;
    components.dwExtraInfoLength = ARRAYSIZE(extra);

    if (!WinHttpCrackUrl(url, 0, 0, &components)) {
        throw std::runtime_error(UrlUnreadableMessage);
    }

    UrlParts parts;
    parts.scheme = components.nScheme;
    parts.port = components.nPort;
    parts.host.assign(host, components.dwHostNameLength);
    parts.path.assign(path, components.dwUrlPathLength);
    parts.path.append(extra, components.dwExtraInfoLength);
    return parts;
}

std::wstring LowercaseWide(std::wstring text) {
    // The C runtime stays in its "C" locale, where only A to Z change.
    for (wchar_t& unit : text) unit = static_cast<wchar_t>(std::towlower(unit));
    return text;
}
