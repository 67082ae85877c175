#pragma once

#include <string>

// Turns a failure's UTF-8 message into the error box's text.
using MessageConverter = std::wstring (*)(const std::string& utf8);

// The error box for a failure: its message converted by `convert`, or "Unbekannter Fehler"
// when that is empty or cannot be built (memory may be what ran out). Never raises, so the
// run still ends in its box and with status 0.
void ShowFailureBox(const char* message, MessageConverter convert) noexcept;
