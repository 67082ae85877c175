#pragma once

#include <cstddef>
#include <string>

// Lower-case hexadecimal text of `length` digest bytes, high four bits first.
std::string DigestText(const unsigned char* digest, std::size_t length);
