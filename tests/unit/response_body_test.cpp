// These cases talk to the local HTTPS host (tests/e2e/https_host.py --unit), which
// the private network of scripts/test serves as download.kestrova.example.
#include "net/download_request.h"
#include "net/response_body.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

namespace {

std::string Fetch(const wchar_t* path) {
    return ReadResponseBody(OpenHttpsGet((std::wstring(L"https://download.kestrova.example") + path).c_str()));
}

std::string FailureOf(const wchar_t* url) {
    try {
        OpenHttpsGet(url);
    } catch (const std::runtime_error& failure) {
        return failure.what();
    }
    return "no failure";
}

}  // namespace

TEST(OpenHttpsGet, RefusesPlainHttpBeforeAnyTraffic) {
    EXPECT_EQ(FailureOf(L"http://download.kestrova.example/unit/empty"), "Nur HTTPS-Downloads sind erlaubt");
    EXPECT_EQ(FailureOf(L"no url"), "URL konnte nicht gelesen werden");
}

TEST(OpenHttpsGet, ReportsTheStatusOutsideTwoHundreds) {
    EXPECT_EQ(FailureOf(L"https://download.kestrova.example/unit/missing"), "Download-Server meldet HTTP 404");
}

TEST(ReadResponseBody, ReturnsAnEmptyBodyAsEmptyText) {
    EXPECT_EQ(Fetch(L"/unit/empty"), "");
}

TEST(ReadResponseBody, JoinsManySmallBlocksByteForByte) {
    const std::string body = Fetch(L"/unit/chunks");
    ASSERT_EQ(body.size(), 100000u);
    for (size_t at = 0; at < body.size(); ++at) {
        ASSERT_EQ(static_cast<unsigned char>(body[at]), (at * 31 + 7) % 251) << "at byte " << at;
    }
}

TEST(ReadResponseBody, KeepsAZeroByte) {
    EXPECT_EQ(Fetch(L"/unit/zero"), std::string("a\0b", 3));
}
