#include "app/failure_box.h"

#include "ui/end_box.h"

#include <exception>

void ShowFailureBox(const char* message, MessageConverter convert) noexcept {
    std::wstring text;
    try {
        text = convert(message);
    } catch (const std::exception&) {
        // Building the text failed; the fixed text below needs no memory of its own.
    }
    ShowEndBox(text.empty() ? L"Unbekannter Fehler" : text.c_str(), MB_ICONERROR);
}
