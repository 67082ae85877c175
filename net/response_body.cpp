#include "net/response_body.h"

#include "app/failure_messages.h"
#include "ui/status_window.h"

#include <algorithm>
#include <stdexcept>

std::string ReadResponseBody(DownloadRequest request) {
    std::string body;
    {
        // Owned here so that the handles close before the text is handed on.
        const DownloadRequest owned = std::move(request);
        for (;;) {
            PumpMessages();
            DWORD available = 0;
            if (!WinHttpQueryDataAvailable(owned.request.get(), &available)) {
                throw std::runtime_error(BodyUnreadableMessage);
            }
            if (available == 0) break;

            const size_t oldLength = body.size();
            const size_t needed = oldLength + available;
            // At least doubling keeps the total copying linear in the body size.
            if (needed > body.capacity()) body.reserve(std::max(needed, body.capacity() * 2));
            body.resize(needed);

            DWORD read = 0;
            if (!WinHttpReadData(owned.request.get(), body.data() + oldLength, available, &read)) {
                throw std::runtime_error(BlockUnreadableMessage);
            }
            // A short block leaves no zero padding behind; a block of 0 bytes is no end.
            body.resize(oldLength + read);
        }
    }
    return body;
}
